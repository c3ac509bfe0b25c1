#include "HttpSessionStore.h"

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QSettings>

HttpSessionStore::HttpSessionStore(QSettings *settings, QObject *parent) : QObject(parent)
{
    (void)settings;
}
HttpSessionStore::~HttpSessionStore() = default;
QByteArray HttpSessionStore::getSessionId(HttpRequest &, HttpResponse &) { return {}; }
HttpSession HttpSessionStore::getSession(HttpRequest &, HttpResponse &, bool) { return HttpSession(); }
void HttpSessionStore::removeSession(HttpSession) {}
HttpSession HttpSessionStore::renewSession(HttpSession session, HttpResponse &) { return session; }
void HttpSessionStore::setPendingLimit(int limit) { m_pendingLimit = limit; }
int HttpSessionStore::sessionCount() { return 0; }
void HttpSessionStore::timerEvent() {}
void HttpSessionStore::setSessionCookie(HttpResponse &, const QByteArray &) const {}
void HttpSessionStore::addPending(const QByteArray &) {}
