#pragma once

#include "HttpRequestHandler.h"

class StaticFileController;

// The test server's calls: "/json" answers a small JSON object, "/upload" echoes the uploaded
// file "file", "/echo" echoes the request body, "/big?size=N" streams N bytes in many parts,
// "/throw" sets a length and a cookie and throws before writing anything ("/throw?after=piece":
// after writing one piece), "/sleep?ms=N" answers after N ms; every other path goes to the
// static file controller.
class TestRequestHandler : public HttpRequestHandler
{
    Q_OBJECT
public:
    TestRequestHandler(StaticFileController *staticFiles, bool logRequests, QObject *parent = nullptr);
    void service(HttpRequest &request, HttpResponse &response) override;

private:
    StaticFileController *m_staticFiles;
    bool m_logRequests;
};
