#pragma once

#include <QByteArray>
#include <QMap>
#include <QReadWriteLock>
#include <QVariant>

// A handle to the shared data of one browser session. Copies share the data, which is freed with
// the last handle. A handle itself belongs to one thread; the data may be used from many.
class HttpSession
{
public:
    // true: a new session with a fresh id and last access now; false: a null session.
    explicit HttpSession(bool canStore = false);
    HttpSession(const HttpSession &other);
    HttpSession &operator=(const HttpSession &other);
    virtual ~HttpSession();

    // "{8-4-4-4-12}" lowercase hexadecimal; empty for a null session.
    QByteArray getId() const;
    bool isNull() const;
    qint64 getLastAccess() const;
    void setLastAccess();

    QVariant get(const QByteArray &key) const;
    bool contains(const QByteArray &key) const;
    void set(const QByteArray &key, const QVariant &value);
    // A snapshot of all values, taken under the read lock.
    QMap<QByteArray, QVariant> getAll() const;

    // A new session (fresh id, last access now) holding a copy of this one's values; the store
    // uses it to change the id of a session at login. A null session gives a null session.
    HttpSession copyUnderNewId() const;

private:
    struct Data;
    void release();

    Data *m_data = nullptr;
};
