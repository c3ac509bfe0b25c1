#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QSslConfiguration>
#include <QThread>
#include <QTimer>

#include <functional>

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

    // What the thread's connection is doing, as the pool sees it when it looks for a thread.
    enum class Phase {
        idle,           // no connection
        waitingForHead, // the request head is not complete yet
        readingBody,    // the head is complete, the body is still coming
        serving,        // the request is being answered or refused, or the connection is closing
        keptAlive       // between two requests of a kept-alive connection
    };
    // The state of the thread, one value: set and read only under the handler's lock.
    struct State
    {
        Phase phase = Phase::idle;
        // When the current request began to be awaited: the accept of the connection for its
        // first request, the first byte for each later one (ms of monotonicMs()).
        qint64 requestSince = -1;
        // When the current phase began, while the thread waits for a head or a body.
        qint64 phaseSince = -1;
        // readingBody: the body bytes received so far.
        qint64 bodyBytes = 0;
        // The number of the connection that the pool handed to this thread last. The thread
        // acts on behalf of that one only: what it does for an earlier one changes nothing.
        quint64 handOut = 0;
    };
    State state() const;
    // Whether the thread has a connection, or one on its way to it.
    bool isBusy() const;
    // Hands the thread a connection accepted at now, provided it is idle.
    bool handOut(qint64 now);
    // The same, accepted now.
    void setBusy();
    // Gives the thread to a new connection accepted at now, provided that mayGiveWay, asked
    // under the lock, agrees with the state of the current one; that one is closed unanswered.
    bool takeOver(qint64 now, const std::function<bool(const State &)> &mayGiveWay);
    // Asks the thread to end and waits up to timeoutMs for it; false when it is still running.
    bool finish(int timeoutMs);
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
    // Moves the current connection's state on; false when the pool has handed the thread a
    // newer connection meanwhile, and the current one is to be dropped unserved.
    bool enter(Phase phase);
    bool reportBody(qint64 bytes);
    void dropSuperseded();
    // Under m_stateLock: the state of a connection just handed to the thread.
    void startConnection(qint64 now);

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
    mutable QMutex m_stateLock;
    State m_state;
    // Thread side: the descriptors received so far, and the number of the connection served.
    quint64 m_received = 0;
    quint64 m_connection = 0;
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
