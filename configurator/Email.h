#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>

namespace vexo {

// The support message of the contact form, written as a small MIME file and handed to curl, which
// sends it over SMTPS. At most one message per 900 s (across runs) and three per run. The mail
// host, mailboxes and login come from config.ini, group "supportMail"; nothing secret is built in.
class Email : public QObject
{
    Q_OBJECT
public:
    Email(const QString &configPath, QObject *parent = nullptr);

    QByteArray sendEmail(const t_GetArray &params);
    // Replaces "emailError.txt" in the working directory; nothing when it cannot be opened.
    static void writeErrorFile(const QString &text);

    static constexpr int MinSecondsBetweenMails = 900;
    static constexpr int MaxMailsPerRun = 3;
    // How long curl may run, and how long a capped call waits before its reply; tests shorten them.
    static void setToolTimeoutMs(int ms) { s_toolTimeoutMs = ms; }
    static void setCapWaitMs(int ms) { s_capWaitMs = ms; }

private:
    QByteArray send(const QStringList &fields);

    QString m_configPath;
    QMutex m_sendLock;
    int m_sendCount = 0;

    static std::atomic<int> s_toolTimeoutMs;
    static std::atomic<int> s_capWaitMs;
};

} // namespace vexo
