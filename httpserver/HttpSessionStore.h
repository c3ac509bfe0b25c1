#pragma once

#include "HttpSession.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QQueue>
#include <QSet>
#include <QTimer>

class HttpRequest;
class HttpResponse;
class QSettings;

// The browser sessions, tied to the browsers by a session cookie and removed when idle too long.
// The settings are copied at construction, so connection threads never touch the shared object.
class HttpSessionStore : public QObject
{
    Q_OBJECT
public:
    // Sessions created but whose cookie never came back are kept up to this number; the oldest
    // of them goes first, so a client that ignores cookies cannot fill the memory.
    static constexpr int DefaultPendingLimit = 1000;

    HttpSessionStore(QSettings *settings, QObject *parent = nullptr);
    ~HttpSessionStore() override;

    // The id of the request's session if the store holds it, else empty.
    QByteArray getSessionId(HttpRequest &request, HttpResponse &response);
    // The request's session with its cookie refreshed; else a new one when allowCreate; else null.
    HttpSession getSession(HttpRequest &request, HttpResponse &response, bool allowCreate = true);
    void removeSession(HttpSession session);
    // Moves the session's values under a fresh id (against session fixation at login): the old id
    // is no longer known, the response carries the cookie of the new one, which is returned.
    HttpSession renewSession(HttpSession session, HttpResponse &response);

    // The name of the session cookie, so that a page never sets a cookie of that name.
    QByteArray cookieName() const { return m_cookieName; }

    void setPendingLimit(int limit);
    int sessionCount();

public slots:
    // The expiry check, every 60000 ms.
    void timerEvent();

protected:
    using QObject::timerEvent;

private:
    void setSessionCookie(HttpResponse &response, const QByteArray &id) const;
    void addPending(const QByteArray &id);

    QMap<QByteArray, HttpSession> m_sessions;
    QTimer m_cleanupTimer;
    QByteArray m_cookieName;
    int m_expirationTime = 3600000;
    QByteArray m_cookiePath;
    QByteArray m_cookieComment;
    QByteArray m_cookieDomain;
    QMutex m_mutex;
    QSet<QByteArray> m_pending;
    QQueue<QByteArray> m_pendingOrder;
    int m_pendingLimit = DefaultPendingLimit;
};
