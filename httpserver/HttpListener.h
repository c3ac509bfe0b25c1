#pragma once

#include "HttpConnectionHandler.h"
#include "RateLimitedLog.h"

#include <QList>
#include <QTcpServer>
#include <QTimer>

class QSettings;
class HttpConnectionHandlerPool;
class HttpRequestHandler;

// The front door of the HTTP server: binds the port of the "listener" settings and hands every
// accepted connection to a pooled handler thread. A connection that finds all threads busy
// waits here, without a thread, for one to come free or for a slow connection to give way to it
// once it has shown its request; after the pool's bound of that wait it gets a fixed 503 reply.
// Callers test the outcome of binding with isListening().
class HttpListener : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpListener)
public:
    // settings: positioned in the group "listener", not owned; requestHandler: not owned.
    // Binds at once.
    HttpListener(QSettings *settings, HttpRequestHandler *requestHandler, QObject *parent = nullptr);
    ~HttpListener() override;

    // Creates the pool if there is none and binds host and port.
    void listen();
    // Stops listening and stops every handler thread.
    void close();

protected:
    void incomingConnection(tSocketDescriptor socketDescriptor) override;

signals:
    void handleConnection(tSocketDescriptor socketDescriptor);

private:
    // A connection that waits for a thread; until is in ms of HttpConnectionHandler::monotonicMs().
    struct Newcomer
    {
        tSocketDescriptor descriptor;
        qint64 until;
        // Whether its first bytes show its request.
        bool shown;
    };
    // Gives the newcomers threads, those that have shown their requests first; threadsFree false
    // when the caller has just found none free. Only the newcomers from lookFrom on are asked
    // for what they have sent meanwhile.
    void seatNewcomers(bool threadsFree, int lookFrom);
    void handOver(HttpConnectionHandler *handler, tSocketDescriptor socketDescriptor);
    void refuseBusy(tSocketDescriptor socketDescriptor);

    QSettings *m_settings;
    HttpRequestHandler *m_requestHandler;
    HttpConnectionHandlerPool *m_pool = nullptr;
    QList<Newcomer> m_newcomers;
    QTimer m_newcomerTimer;
    RateLimitedLog m_refusals;
};
