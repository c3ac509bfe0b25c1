#include "StaticFileController.h"

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QSettings>

StaticFileController::StaticFileController(QSettings *settings, QObject *parent)
    : HttpRequestHandler(parent)
{
    (void)settings;
}
StaticFileController::~StaticFileController() = default;
void StaticFileController::service(HttpRequest &, HttpResponse &response) { response.write("404 not found", true); }
void StaticFileController::setContentType(const QString &, HttpResponse &) const {}
bool StaticFileController::isInsideRoot(const QString &) const { return true; }
void StaticFileController::forbidden(HttpResponse &) const {}
