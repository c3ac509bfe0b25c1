#pragma once

#include "RateLimitedLog.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>

class QSettings;
class HttpConnectionHandler;
class HttpRequestHandler;

// The connection-handler threads of one listener: created on demand up to maxThreads, reused
// for later connections, and retired one per cleanup run while more than minThreads are idle.
// Also holds the TLS configuration that every handler shares. Lives in the listener's thread.
// A free thread always goes to the next connection. Only once all maxThreads threads are busy
// may a new connection, one that has shown its request, take the place of a connection that has
// sent no complete request and is past its bound: a head that takes longer than about a second,
// or a body that comes slower than a floor rate once a grace time is over. A connection being
// served, kept alive between requests, or sending its body at a fair rate keeps its thread.
class HttpConnectionHandlerPool : public QObject
{
    Q_OBJECT
public:
    // settings: the listener's settings (group "listener"), not owned.
    HttpConnectionHandlerPool(QSettings *settings, HttpRequestHandler *requestHandler);
    // Stops every handler thread; the waits for all of them share one bound.
    ~HttpConnectionHandlerPool() override;

    // An idle or a new handler, now handed the new connection; null when all maxThreads threads
    // are busy (or no new one can be started).
    HttpConnectionHandler *getConnectionHandler();
    // Whether the first bytes that a new connection has sent (up to newcomerBytes of them) show
    // its request. Only such a connection may take a slow one's place: a slow newcomer would
    // only take the place of another, which would come back at once and take the next one's.
    bool showsRequest(const QByteArray &firstBytes) const;
    static constexpr int newcomerBytes = 4096;
    // A busy handler whose slow connection gives way to the new one; null when none does.
    HttpConnectionHandler *takeOver();
    int maxThreads() const;

    // How long a slow connection keeps its thread before it gives way to a newcomer, and how
    // long a newcomer waits for a thread while all are busy.
    struct Bounds
    {
        // A request head that is not complete after this long.
        int headMs = 1000;
        // A body that, after this grace time, has come slower than bodyMinRate bytes a second.
        int bodyGraceMs = 1000;
        int bodyMinRate = 500;
        // A newcomer that finds every thread busy and no connection that gives way waits this
        // long for one before it is refused.
        int newcomerWaitMs = 2000;
        // At most this many newcomers wait, as many as the system's queue of connections not yet
        // accepted holds.
        int newcomersWaiting = 4096;
    };
    static void setBounds(const Bounds &bounds) { s_bounds = bounds; }
    static Bounds bounds() { return s_bounds; }

    // Whether a pool of this process has left a handler thread running because it did not stop
    // within the wait: that thread may still be inside the request handler, so what the request
    // handler uses must not be destroyed.
    static bool anyHandlerLeftRunning();

public slots:
    void cleanup();

private:
    void loadSslConfig();
    QString resolvedFileName(const QString &name) const;
    QVariant setting(const QString &key, const QVariant &fallback) const;
    // Stops and deletes one handler, waiting up to waitMs (what is left of boundMs, the bound
    // named in the log); one whose thread will not end is left, not destroyed running.
    void retire(HttpConnectionHandler *handler, int waitMs, int boundMs);

    QSettings *m_settings;
    HttpRequestHandler *m_requestHandler;
    QList<HttpConnectionHandler *> m_pool;
    QTimer m_cleanupTimer;
    QMutex m_mutex;
    QSslConfiguration *m_sslConfiguration = nullptr;
    RateLimitedLog m_descriptorsShort;

    static Bounds s_bounds;
};
