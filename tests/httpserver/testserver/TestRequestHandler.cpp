#include "TestRequestHandler.h"

#include "HttpRequest.h"
#include "HttpResponse.h"
#include "StaticFileController.h"

#include <QTemporaryFile>
#include <QThread>

#include <stdexcept>

TestRequestHandler::TestRequestHandler(StaticFileController *staticFiles, bool logRequests, QObject *parent)
    : HttpRequestHandler(parent), m_staticFiles(staticFiles), m_logRequests(logRequests)
{
}

void TestRequestHandler::service(HttpRequest &request, HttpResponse &response)
{
    const QByteArray path = request.getPath();
    if (m_logRequests)
        qInfo("TestServer: request %s %s", request.getMethod().constData(), path.constData());
    const t_GetArray params = request.getParameterMap();
    if (path == "/json") {
        response.setHeader("Content-Type", "application/json");
        response.write("{\"success\":true,\"value\":" + QByteArray::number(RequestParams::integer(params, "x")) + "}",
                       true);
    } else if (path == "/upload") {
        QTemporaryFile *file = request.getUploadedFile("file");
        if (!file) {
            response.setStatus(400, "no file");
            response.write("no file", true);
            return;
        }
        response.setHeader("X-File-Name", RequestParams::raw(params, "file"));
        response.write(file->readAll(), true);
    } else if (path == "/throw") {
        if (RequestParams::text(params, "after") == "piece") {
            response.write("partial", false);
        } else {
            // What a handler set before it failed must not reach the error reply.
            response.setHeader("Content-Length", 10);
            response.setCookie(HttpCookie("half", "done", 0, "/", QByteArray(), QByteArray(), false));
        }
        throw std::runtime_error("request handler failed");
    } else if (path == "/sleep") {
        QThread::msleep(static_cast<unsigned long>(RequestParams::integer(params, "ms")));
        response.write("slept", true);
    } else if (path == "/echo") {
        response.write(request.getBody(), true);
    } else if (path == "/big") {
        qint64 left = RequestParams::text(params, "size").toLongLong();
        const QByteArray piece(65536, 'x');
        while (left > 0 && !response.hasWriteFailed()) {
            const QByteArray part = left < piece.size() ? piece.left(static_cast<int>(left)) : piece;
            response.write(part, false);
            left -= part.size();
        }
        response.write(QByteArray(), true);
        if (m_logRequests)
            qInfo("TestServer: big reply ended, %s", response.hasWriteFailed() ? "write failed" : "complete");
    } else {
        m_staticFiles->service(request, response);
    }
}
