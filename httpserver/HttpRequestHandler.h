#pragma once

#include <QObject>

class HttpRequest;
class HttpResponse;

// Base of everything that answers a request. One object serves all connection threads at once,
// so an override of service() must be safe to run concurrently.
class HttpRequestHandler : public QObject
{
    Q_OBJECT
public:
    explicit HttpRequestHandler(QObject *parent = nullptr);
    ~HttpRequestHandler() override;

    // Answers one complete request on the connection's thread; the default answers 501.
    virtual void service(HttpRequest &request, HttpResponse &response);
};
