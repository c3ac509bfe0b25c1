#pragma once

#include <QString>

class HttpRequest;
class HttpResponse;

// The one check both programs make before a request may act: a page of another site must not
// drive the program through the user's browser (cross-site requests), and while the server
// listens on loopback only, a name that is not a loopback name must not reach it (DNS rebinding).
class RequestGate
{
public:
    RequestGate() = default;
    // The gate of the listener configured in the group "listener" of the settings file.
    explicit RequestGate(const QString &configFile);

    // admit() below, for this gate's listener.
    bool admit(const HttpRequest &request, HttpResponse &response, bool staticFile) const;

    // listenerHost and listenerPort are the "host" and "port" of the listener settings (an empty
    // host listens on every address). staticFile: the request is served as a file of the
    // document root, which a foreign page may embed, so only the Host rule applies to it.
    // True when the request may go on; otherwise the reply 403 "403 forbidden" has been written
    // as the last part and the caller does nothing more.
    static bool admit(const HttpRequest &request, HttpResponse &response, const QString &listenerHost,
                      int listenerPort, bool staticFile);

    // The decision alone, without a reply.
    static bool allows(const HttpRequest &request, const QString &listenerHost, int listenerPort,
                       bool staticFile);

private:
    QString m_listenerHost;
    int m_listenerPort = 0;
};
