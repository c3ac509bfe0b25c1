#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>

class QSslCertificate;
class SmtpClient;

// The mail server settings (the one row of the SMTP table): read for the mail queue, shown and
// saved for the browser, and tried out with a test mail before they are saved.
class SMTPManager : public QObject
{
    Q_OBJECT
public:
    struct SMTPSettings
    {
        QString serverName;
        int port = 587;
        int security = 1;
        QString username;
        QString password;
        QString sourceEmailAddress;
    };

    explicit SMTPManager(QObject *parent = nullptr);

    // The row through this thread's own connection; the defaults above when it cannot be read.
    SMTPSettings readSMTPSettings();
    // "cfg_getSMTPSetting"; hidePassword blanks the password (for read-only users).
    QByteArray getSMTPSetting(bool hidePassword = false);
    // "cfg_saveSMTPSetting".
    QByteArray saveSMTPSetting(const t_GetArray &params);

    // Writes the warn event that names a self-signed certificate a client chose to trust.
    static void logTrustedCertificate(const SmtpClient &client, const QSslCertificate &certificate);

    // Time-outs of the test mail's client (the client's own defaults; tests shorten them).
    std::atomic<int> testConnectionTimeout{5000};
    std::atomic<int> testResponseTimeout{5000};

public slots:
    // "sendTestEmail": one mail with the posted settings, blocking the calling thread.
    QByteArray sendTestMail(const t_GetArray &GET);

private:
    std::atomic<bool> testMailBusy{false};
};

extern SMTPManager g_smtpManager;
