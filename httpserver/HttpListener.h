#pragma once

#include "HttpConnectionHandler.h"

#include <QTcpServer>
#include <QTimer>

class QSettings;
class HttpConnectionHandlerPool;
class HttpRequestHandler;

// The front door of the HTTP server: binds the port of the "listener" settings and hands every
// accepted connection to a pooled handler thread; when all are busy, the client gets a fixed
// 503 reply. Callers test the outcome of binding with isListening().
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
    void refuseBusy(tSocketDescriptor socketDescriptor);
    void reportRefusals();

    QSettings *m_settings;
    HttpRequestHandler *m_requestHandler;
    HttpConnectionHandlerPool *m_pool = nullptr;
    // Refusals are logged at most once a period: the first at once, the others as a count.
    QTimer m_refusalReport;
    int m_unreportedRefusals = 0;
};
