#include "RateLimitedLog.h"

#include <QtDebug>

RateLimitedLog::RateLimitedLog(QtMsgType type, const QString &line, const QString &counted, int periodMs,
                               QObject *parent)
    : QObject(parent), m_type(type), m_line(line), m_counted(counted)
{
    m_period.setSingleShot(true);
    m_period.setInterval(periodMs);
    connect(&m_period, &QTimer::timeout, this, &RateLimitedLog::reportCount);
}

void RateLimitedLog::report()
{
    if (m_period.isActive()) {
        ++m_unreported;
        return;
    }
    write(m_line);
    m_period.start();
}

void RateLimitedLog::reportCount()
{
    if (m_unreported == 0)
        return;
    write(m_counted.arg(m_unreported).arg(m_period.interval()));
    m_unreported = 0;
    // The next period counts again; a quiet one ends the reports until the next time.
    m_period.start();
}

void RateLimitedLog::write(const QString &text) const
{
    const QByteArray bytes = text.toLocal8Bit();
    switch (m_type) {
    case QtWarningMsg:
        qWarning("%s", bytes.constData());
        break;
    case QtCriticalMsg:
        qCritical("%s", bytes.constData());
        break;
    case QtInfoMsg:
        qInfo("%s", bytes.constData());
        break;
    default:
        qDebug("%s", bytes.constData());
        break;
    }
}
