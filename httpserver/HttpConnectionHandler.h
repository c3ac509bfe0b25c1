#pragma once

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMutex>
#include <QSemaphore>
#include <QSslConfiguration>
#include <QThread>
#include <QTimer>

class QSettings;
class QTcpSocket;
class HttpRequest;
class HttpRequestHandler;

// The native socket descriptor, as wide as a pointer; registered under this name so that it can
// travel through a queued signal to a handler thread.
typedef qintptr tSocketDescriptor;

// One worker thread of the HTTP server. The pool hands it one accepted connection at a time; it
// reads the requests of that connection, passes each to the request handler's service() and
// keeps the connection open for the next request unless the client or the protocol ends it.
class HttpConnectionHandler : public QThread
{
    Q_OBJECT
public:
    // settings: the listener's settings (group "listener"), not owned; sslConfiguration: owned by
    // the pool, null for plain TCP. The thread starts at once and waits for connections.
    HttpConnectionHandler(QSettings *settings, HttpRequestHandler *requestHandler,
                          const QSslConfiguration *sslConfiguration = nullptr);
    // Stops the thread, waiting as long as it takes; call finish() first to bound the wait.
    ~HttpConnectionHandler() override;

    // The busy flag: set by the pool when it hands the handler out, cleared here when the
    // connection has ended. Safe from both threads.
    bool isBusy() const;
    void setBusy();
    // Asks the thread to end and waits up to timeoutMs for it; false when it is still running.
    bool finish(int timeoutMs);

    // For the pool, which hands out connections and may take one back. Times are ms of
    // monotonicMs(). assign: a connection from peer is on its way to this (busy) handler.
    void assign(const QHostAddress &peer, qint64 now);
    // When the current connection began waiting for its request head (and its peer), or -1
    // once the head is complete, between the requests of a kept-alive connection and when idle.
    qint64 headWaitingSince(QHostAddress *peer = nullptr) const;
    // Drops the current connection for a new one from peer, provided it still waits for its
    // request head since notAfter or earlier; false when it does not (the head came meanwhile).
    bool takeOver(const QHostAddress &peer, qint64 now, qint64 notAfter);
    static qint64 monotonicMs();

protected:
    void run() override;

public slots:
    void handleConnection(tSocketDescriptor socketDescriptor);

private slots:
    void readTimeout();
    void read();
    void disconnected();

private:
    void createSocket(const QSslConfiguration *sslConfiguration);
    void readSettings();
    void serveRequest();
    bool keepAliveAfter(const HttpRequest &request) const;
    bool flushWithin(int timeoutMs);
    void refuse(const QByteArray &reply);
    void closeAfterReply();
    void becomeIdle();
    // The read time-out ends at m_readDeadline; disarming only clears the deadline, and a
    // timer that fires without one does nothing.
    void armReadTimer(int timeoutMs);
    void disarmReadTimer();
    void stopReadTimer();
    // False when the pool has handed this handler a newer connection: the current one is
    // dropped without being served.
    bool startHeadWait();
    bool endHeadWait();

    // Shared with the pool and the other handlers: read only under HttpRequest::settingsLock().
    QSettings *m_settings;
    int m_readTimeout = 10000;
    int m_maxRequestSize = 16000;
    int m_maxMultiPartSize = 1000000;
    HttpRequestHandler *m_requestHandler;
    QTcpSocket *m_socket = nullptr;
    QTimer m_readTimer;
    QElapsedTimer m_timerClock;
    qint64 m_readDeadline = -1;
    HttpRequest *m_currentRequest = nullptr;
    QAtomicInt m_busy{0};
    // Shared with the pool's thread, under m_headLock: the wait for the current request head,
    // the peer of the current connection and the connections handed over but not yet taken.
    mutable QMutex m_headLock;
    qint64 m_headSince = -1;
    QHostAddress m_peer;
    int m_queuedConnections = 0;
    // Released when the thread runs, its event loop's descriptors taken.
    QSemaphore m_started;
    // Started with each request: the whole request must arrive within a bound, not only each piece.
    QElapsedTimer m_requestClock;
    // After a refusal or a close the connection only discards what the client still sends.
    bool m_draining = false;
    qint64 m_drainedBytes = 0;
    int m_readDepth = 0;
    bool m_idlePending = false;
    bool m_active = false;
    bool m_encrypted = false;
};
