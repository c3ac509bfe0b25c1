#pragma once

#include <QHostAddress>
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
// A connection that has not sent its request head holds its thread only while nobody else needs
// it: when every thread is busy, a new connection takes the place of the connection that has
// waited longest for its head, once that wait is past a short bound; and an address whose
// connections wait for their heads on half of the maxThreads threads gets no further thread.
class HttpConnectionHandlerPool : public QObject
{
    Q_OBJECT
public:
    // settings: the listener's settings (group "listener"), not owned.
    HttpConnectionHandlerPool(QSettings *settings, HttpRequestHandler *requestHandler);
    // Stops every handler thread; the waits for all of them share one bound.
    ~HttpConnectionHandlerPool() override;

    // A handler that is now marked busy for a connection from peer, or null when the client is
    // to be refused. The handler may be one whose slow connection is dropped for this one.
    HttpConnectionHandler *getConnectionHandler(const QHostAddress &peer = QHostAddress());

    // How long a connection may wait for its request head before a newcomer may take its place.
    static void setHeadWaitBoundMs(int ms) { s_headWaitBoundMs = ms; }

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

    static int s_headWaitBoundMs;
};
