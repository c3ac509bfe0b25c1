#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// A log line that a crowd of clients could cause thousands of times a minute: the first time it
// is written at once, then at most once a period, as the count of the times since. Used in the
// thread that owns it.
class RateLimitedLog : public QObject
{
    Q_OBJECT
public:
    // line: the text written the first time; counted: the text of a later line, with %1 for the
    // count and %2 for the period in ms.
    RateLimitedLog(QtMsgType type, const QString &line, const QString &counted, int periodMs = 1000,
                   QObject *parent = nullptr);

    void report();

private:
    void write(const QString &text) const;
    void reportCount();

    QtMsgType m_type;
    QString m_line;
    QString m_counted;
    QTimer m_period;
    int m_unreported = 0;
};
