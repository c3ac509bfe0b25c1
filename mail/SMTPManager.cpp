#include "SMTPManager.h"

#include "Database.h"
#include "EmailAddress.h"
#include "GlobalsOrder.h"
#include "JsonReply.h"
#include "Logs.h"
#include "MimeMessage.h"
#include "MimeText.h"
#include "SmtpClient.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QSslCertificate>
#include <QVariant>

SMTPManager g_smtpManager DALVORAN_INIT_ORDER(GlobalsOrder::Smtp);

SMTPManager::SMTPManager(QObject *parent) : QObject(parent) {}

SMTPManager::SMTPSettings SMTPManager::readSMTPSettings()
{
    SMTPSettings settings;
    Database scope;
    QSqlQuery query(scope.handle());
    if (query.exec(QStringLiteral("SELECT * FROM SMTP;")) && query.next()) {
        settings.serverName = query.value(1).toString();
        settings.port = query.value(2).toInt();
        settings.security = query.value(3).toInt();
        settings.username = query.value(4).toString();
        settings.password = query.value(5).toString();
        settings.sourceEmailAddress = query.value(6).toString();
    }
    return settings;
}

QByteArray SMTPManager::getSMTPSetting(bool hidePassword)
{
    Database scope;
    QSqlQuery query(scope.handle());
    if (!query.exec(QStringLiteral("SELECT * FROM SMTP;")))
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
    QString text;
    bool first = true;
    while (query.next()) {
        if (!first)
            text += QLatin1Char(',');
        first = false;
        if (!hidePassword) {
            text += JsonReply::rowObject(query);
            continue;
        }
        const QSqlRecord record = query.record();
        text += QLatin1Char('{');
        for (int i = 0; i < record.count(); ++i) {
            if (i > 0)
                text += QLatin1Char(',');
            const bool blank = record.fieldName(i) == QLatin1String("password") || query.value(i).isNull();
            text += JsonReply::quoted(record.fieldName(i)) + QLatin1Char(':') +
                    JsonReply::quoted(blank ? QString() : query.value(i).toString());
        }
        text += QLatin1Char('}');
    }
    return text.toUtf8();
}

// A text for a bound value: never SQL NULL, also when the parameter is absent.
static QString boundText(const t_GetArray &params, const QByteArray &name)
{
    return Database::text(RequestParams::text(params, name));
}

QByteArray SMTPManager::saveSMTPSetting(const t_GetArray &params)
{
    Database scope;
    QSqlQuery query(scope.handle());
    if (!query.prepare(QStringLiteral("UPDATE SMTP SET serverName=?, port=?, security=?, username=?, password=?, "
                                      "sourceEmailAddress=? WHERE idSMTP=1")))
        return buildErrorJson(QStringLiteral("Edit error"), Database::errorText(query.lastError()));
    query.addBindValue(boundText(params, "serverName"));
    query.addBindValue(RequestParams::integer(params, "port"));
    query.addBindValue(RequestParams::integer(params, "security"));
    query.addBindValue(boundText(params, "username"));
    query.addBindValue(boundText(params, "password"));
    query.addBindValue(boundText(params, "sourceEmailAddress"));
    if (!query.exec())
        return buildErrorJson(QStringLiteral("Edit error"), Database::errorText(query.lastError()));
    return plainSuccessJson();
}

void SMTPManager::logTrustedCertificate(const SmtpClient &client, const QSslCertificate &certificate)
{
    const QByteArray digest = certificate.digest(QCryptographicHash::Sha256).toHex();
    Logs::addLog(Logs::Warn, tr("Trusting the self-signed certificate of SMTP server %1:%2, SHA-256 %3")
                                 .arg(client.getHost(), QString::number(client.getPort()), QString::fromLatin1(digest)));
}

QByteArray SMTPManager::sendTestMail(const t_GetArray &GET)
{
    bool expected = false;
    if (!testMailBusy.compare_exchange_strong(expected, true))
        return buildErrorJson(tr("Last mail not finished."));
    // Cleared on every way out, exceptions included.
    struct BusyRelease
    {
        std::atomic<bool> &flag;
        ~BusyRelease() { flag.store(false); }
    } release{testMailBusy};

    const QString serverName = RequestParams::text(GET, "serverName");
    const int port = RequestParams::integer(GET, "port");
    const int security = RequestParams::integer(GET, "security");
    const QString username = RequestParams::text(GET, "username");
    const QString password = RequestParams::text(GET, "password");
    const QString sourceEmailAddress = RequestParams::text(GET, "sourceEmailAddress");
    const QString testEmailAddress = RequestParams::text(GET, "testEmailAddress");

    SmtpClient client(serverName, port, SmtpClient::ConnectionType(security));
    client.setConnectionTimeout(testConnectionTimeout.load());
    client.setResponseTimeout(testResponseTimeout.load());
    client.setUser(username);
    client.setPassword(password);
    connect(&client, &SmtpClient::updateSelfSignedCert, &client,
            [&client](const QSslCertificate &certificate) { logTrustedCertificate(client, certificate); });

    MimeMessage message(true);
    EmailAddress sender(sourceEmailAddress, QStringLiteral("Dalvran"));
    EmailAddress recipient(testEmailAddress, QString());
    message.setSender(&sender);
    message.addRecipient(&recipient, MimeMessage::To);
    message.setSubject(tr("Test message from Dalvran"));
    MimeText text(tr("This is a test message send from Dalvran.") + QLatin1Char('\n'));
    message.addPart(&text);

    if (!client.connectToHost())
        return buildErrorJson(tr("Failed to connect to host!"));
    if (!client.login())
        return buildErrorJson(tr("Failed to login!"));
    if (!client.sendMail(message))
        return buildErrorJson(tr("Failed to send mail!"));
    try {
        client.quit();
    } catch (const SmtpClient::SendMessageTimeoutException &) {
        // The mail was accepted; a QUIT that cannot be written changes nothing for the user.
    }
    return plainSuccessJson();
}
