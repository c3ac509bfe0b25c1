#include "HttpSession.h"

#include <QDateTime>
#include <QUuid>
#include <QtDebug>

struct HttpSession::Data
{
    QByteArray id;
    qint64 lastAccess = 0;
    int refCount = 1;
    mutable QReadWriteLock lock;
    QMap<QByteArray, QVariant> values;
};

HttpSession::HttpSession(bool canStore)
{
    if (canStore) {
        m_data = new Data;
        m_data->id = QUuid::createUuid().toByteArray();
        m_data->lastAccess = QDateTime::currentMSecsSinceEpoch();
    }
}

HttpSession::HttpSession(const HttpSession &other) : m_data(other.m_data)
{
    if (m_data) {
        QWriteLocker locker(&m_data->lock);
        ++m_data->refCount;
    }
}

HttpSession &HttpSession::operator=(const HttpSession &other)
{
    if (other.m_data == m_data)
        return *this;
    Data *taken = other.m_data;
    if (taken) {
        QWriteLocker locker(&taken->lock);
        ++taken->refCount;
        taken->lastAccess = QDateTime::currentMSecsSinceEpoch();
    }
    release();
    m_data = taken;
    return *this;
}

HttpSession::~HttpSession() { release(); }

void HttpSession::release()
{
    if (!m_data)
        return;
    bool last = false;
    {
        QWriteLocker locker(&m_data->lock);
        last = --m_data->refCount == 0;
    }
    if (last) {
        qDebug("HttpSession: deleting data");
        delete m_data;
    }
    m_data = nullptr;
}

QByteArray HttpSession::getId() const { return m_data ? m_data->id : QByteArray(); }

bool HttpSession::isNull() const { return m_data == nullptr; }

qint64 HttpSession::getLastAccess() const
{
    if (!m_data)
        return 0;
    QReadLocker locker(&m_data->lock);
    return m_data->lastAccess;
}

void HttpSession::setLastAccess()
{
    if (!m_data)
        return;
    QWriteLocker locker(&m_data->lock);
    m_data->lastAccess = QDateTime::currentMSecsSinceEpoch();
}

QVariant HttpSession::get(const QByteArray &key) const
{
    if (!m_data)
        return QVariant();
    QReadLocker locker(&m_data->lock);
    return m_data->values.value(key);
}

bool HttpSession::contains(const QByteArray &key) const
{
    if (!m_data)
        return false;
    QReadLocker locker(&m_data->lock);
    return m_data->values.contains(key);
}

void HttpSession::set(const QByteArray &key, const QVariant &value)
{
    if (!m_data)
        return;
    QWriteLocker locker(&m_data->lock);
    m_data->values.insert(key, value);
}

QMap<QByteArray, QVariant> HttpSession::getAll() const
{
    if (!m_data)
        return {};
    QReadLocker locker(&m_data->lock);
    return m_data->values;
}

HttpSession HttpSession::copyUnderNewId() const
{
    if (!m_data)
        return HttpSession(false);
    HttpSession fresh(true);
    fresh.m_data->values = getAll();
    return fresh;
}
