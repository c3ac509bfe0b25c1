#include "HttpSessionStore.h"

#include "HttpCookie.h"
#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QSettings>
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

HttpSessionStore::HttpSessionStore(QSettings *settings, QObject *parent) : QObject(parent)
{
    connect(&m_cleanupTimer, &QTimer::timeout, this,
            static_cast<void (HttpSessionStore::*)()>(&HttpSessionStore::timerEvent));
    m_cleanupTimer.start(60000);
    {
        // Connection threads never read the shared settings object: the values are copied here.
        QMutexLocker locker(&HttpRequest::settingsLock());
        m_cookieName = settings->value("cookieName", "sessionid").toByteArray();
        m_expirationTime = settings->value("expirationTime", 3600000).toInt();
        m_cookiePath = settings->value("cookiePath").toByteArray();
        m_cookieComment = settings->value("cookieComment").toByteArray();
        m_cookieDomain = settings->value("cookieDomain").toByteArray();
    }
    qDebug("HttpSessionStore: Sessions expire after %i milliseconds", m_expirationTime);
}

HttpSessionStore::~HttpSessionStore()
{
    m_cleanupTimer.stop();
    QMutexLocker locker(&m_mutex);
    m_sessions.clear();
}

QByteArray HttpSessionStore::getSessionId(HttpRequest &request, HttpResponse &response)
{
    QMutexLocker locker(&m_mutex);
    QByteArray id;
    const auto cookies = response.getCookies();
    const auto own = cookies.constFind(m_cookieName);
    const bool fromResponse = own != cookies.constEnd() && !own.value().getValue().isEmpty();
    id = fromResponse ? own.value().getValue() : request.getCookie(m_cookieName);
    if (!id.isEmpty() && !m_sessions.contains(id)) {
        if (debugShown())
            qDebug("HttpSessionStore: received invalid session cookie with ID %s", id.constData());
        return QByteArray();
    }
    if (!id.isEmpty() && !fromResponse) {
        // The browser sent the cookie back: the session is in use and no longer counts against
        // the bound for sessions that nobody claims.
        m_pending.remove(id);
    }
    return id;
}

HttpSession HttpSessionStore::getSession(HttpRequest &request, HttpResponse &response,
                                         bool allowCreate)
{
    const QByteArray id = getSessionId(request, response);
    QMutexLocker locker(&m_mutex);
    if (!id.isEmpty()) {
        const auto it = m_sessions.constFind(id);
        if (it != m_sessions.constEnd()) {
            HttpSession session = it.value();
            locker.unlock();
            setSessionCookie(response, id);
            session.setLastAccess();
            return session;
        }
    }
    if (!allowCreate)
        return HttpSession();
    HttpSession session(true);
    if (debugShown())
        qDebug("HttpSessionStore: create new session with ID %s", session.getId().constData());
    m_sessions.insert(session.getId(), session);
    addPending(session.getId());
    setSessionCookie(response, session.getId());
    return session;
}

void HttpSessionStore::removeSession(HttpSession session)
{
    QMutexLocker locker(&m_mutex);
    m_sessions.remove(session.getId());
    m_pending.remove(session.getId());
}

HttpSession HttpSessionStore::renewSession(HttpSession session, HttpResponse &response)
{
    if (session.isNull())
        return session;
    HttpSession fresh = session.copyUnderNewId();
    QMutexLocker locker(&m_mutex);
    m_sessions.remove(session.getId());
    m_pending.remove(session.getId());
    m_sessions.insert(fresh.getId(), fresh);
    // The browser already holds a cookie of this store, so the new id is as good as claimed.
    setSessionCookie(response, fresh.getId());
    if (debugShown())
        qDebug("HttpSessionStore: session %s continues with ID %s", session.getId().constData(),
               fresh.getId().constData());
    return fresh;
}

void HttpSessionStore::setPendingLimit(int limit)
{
    QMutexLocker locker(&m_mutex);
    m_pendingLimit = qMax(1, limit);
}

int HttpSessionStore::sessionCount()
{
    QMutexLocker locker(&m_mutex);
    return m_sessions.size();
}

void HttpSessionStore::addPending(const QByteArray &id)
{
    m_pending.insert(id);
    m_pendingOrder.enqueue(id);
    while (m_pending.size() > m_pendingLimit && !m_pendingOrder.isEmpty()) {
        const QByteArray oldest = m_pendingOrder.dequeue();
        if (m_pending.remove(oldest)) {
            if (debugShown())
                qDebug("HttpSessionStore: session %s dropped, its cookie never came back",
                       oldest.constData());
            m_sessions.remove(oldest);
        }
    }
    // Ids claimed or removed meanwhile stay in the queue until they reach its head; keep the
    // queue from growing past a small multiple of the bound.
    if (m_pendingOrder.size() > 2 * m_pendingLimit + 16) {
        QQueue<QByteArray> kept;
        for (const QByteArray &queued : qAsConst(m_pendingOrder)) {
            if (m_pending.contains(queued))
                kept.enqueue(queued);
        }
        m_pendingOrder.swap(kept);
    }
}

void HttpSessionStore::timerEvent()
{
    QMutexLocker locker(&m_mutex);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (now - it.value().getLastAccess() > m_expirationTime) {
            if (debugShown())
                qDebug("HttpSessionStore: session %s expired", it.key().constData());
            m_pending.remove(it.key());
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}

void HttpSessionStore::setSessionCookie(HttpResponse &response, const QByteArray &id) const
{
    response.setCookie(HttpCookie(m_cookieName, id, m_expirationTime / 1000, m_cookiePath,
                                  m_cookieComment, m_cookieDomain, false));
}
