#include "HttpRequestHandler.h"

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QLoggingCategory>
#include <QtDebug>

namespace {

// qDebug builds its text before it asks whether debug lines are shown; these lines come with
// requests, so the question goes first.
bool debugShown()
{
    const QLoggingCategory *category = QLoggingCategory::defaultCategory();
    return category && category->isDebugEnabled();
}

} // namespace

HttpRequestHandler::HttpRequestHandler(QObject *parent) : QObject(parent) {}

HttpRequestHandler::~HttpRequestHandler() = default;

void HttpRequestHandler::service(HttpRequest &request, HttpResponse &response)
{
    qCritical("HttpRequestHandler: you need to override the service() function");
    if (debugShown())
        qDebug("HttpRequestHandler: request=%s %s %s", request.getMethod().constData(),
               request.getPath().constData(), request.getVersion().constData());
    response.setStatus(501, "not implemented");
    response.write("501 not implemented", true);
}
