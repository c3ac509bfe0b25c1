#include "Email.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QThread>

namespace vexo {

namespace {

const char kMessageFile[] = "emailMessage.txt";
const char kErrorFile[] = "emailError.txt";
const int kFieldLimits[] = {20, 30, 30, 50, 25, 20, 2000};

// A value in curl's config syntax: quoted, with backslash and quote escaped.
QByteArray curlQuoted(const QString &text)
{
    QByteArray out = text.toUtf8();
    out.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + out + '"';
}

} // namespace

std::atomic<int> Email::s_toolTimeoutMs{30000};
std::atomic<int> Email::s_capWaitMs{1500};

Email::Email(const QString &configPath, QObject *parent) : QObject(parent), m_configPath(configPath) {}

void Email::writeErrorFile(const QString &text)
{
    QFile file(QString::fromLatin1(kErrorFile));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    file.write(text.toUtf8());
}

QByteArray Email::sendEmail(const t_GetArray &params)
{
    // One send at a time, the time check included, so two calls never both pass it.
    QMutexLocker locker(&m_sendLock);
    const QDateTime now = QDateTime::currentDateTime();
    QSettings store;
    const QDateTime last = store.value(QStringLiteral("time")).toDateTime();
    if (last.isValid()) {
        const qint64 seconds = last.secsTo(now);
        if (seconds >= 0 && seconds < MinSecondsBetweenMails)
            return "{\"status\":\"time\",\"timeleft\":\"" + QByteArray::number(MinSecondsBetweenMails - seconds) + "\"}";
    }
    if (m_sendCount >= MaxMailsPerRun) {
        QThread::msleep(ulong(s_capWaitMs.load()));
        return QByteArrayLiteral("{\"status\":\"ok!\"}");
    }
    if (!RequestParams::has(params, "json"))
        return QByteArrayLiteral("{\"error\":\"Parameter error!\"}");

    const QByteArray decoded = QByteArray::fromPercentEncoding(RequestParams::raw(params, "json"));
    if (decoded.contains('\0'))
        return QByteArrayLiteral("{\"error\":\"err2!\"}");
    QString json = QString::fromUtf8(decoded);
    json.remove(QLatin1Char('{')).remove(QLatin1Char('}')).remove(QLatin1Char('"'));
    const QStringList pieces = json.split(QLatin1Char(','));
    QStringList fields;
    for (int i = 0; i < 7; ++i) {
        const QStringList parts = i < pieces.size() ? pieces.at(i).split(QLatin1Char(':')) : QStringList();
        if (parts.size() < 2)
            return QByteArrayLiteral("{\"error\":\"Parameter error!\"}");
        fields << parts.at(1);
    }
    for (int i = 0; i < 7; ++i) {
        const QString &field = fields.at(i);
        // A line break would start a header of its own in the mail.
        if (field.size() > kFieldLimits[i] || field.contains(QLatin1Char('\r')) || field.contains(QLatin1Char('\n')) ||
            field.contains(QChar(0)))
            return QByteArrayLiteral("{\"error\":\"err2!\"}");
    }
    fields[6].replace(QLatin1String("\\n"), QLatin1String(" "));

    const QByteArray reply = send(fields);
    if (reply == "{\"status\":\"ok!\"}") {
        ++m_sendCount;
        store.setValue(QStringLiteral("time"), now);
        store.setValue(QStringLiteral("how_many_email_send"), m_sendCount);
        store.sync();
    }
    return reply;
}

QByteArray Email::send(const QStringList &fields)
{
    const QByteArray failed = QByteArrayLiteral("{\"status\":\"err!\"}");
    QSettings config(m_configPath, QSettings::IniFormat);
    config.beginGroup(QStringLiteral("supportMail"));
    const QString host = config.value(QStringLiteral("host")).toString();
    if (host.isEmpty()) {
        writeErrorFile(QStringLiteral("The support mail is not configured: config.ini has no host in the group "
                                      "supportMail.\n"));
        return failed;
    }
    const int port = config.value(QStringLiteral("port"), 465).toInt();
    const QString caFile = config.value(QStringLiteral("caFile")).toString();
    const QString from = config.value(QStringLiteral("from")).toString();
    const QString to = config.value(QStringLiteral("to")).toString();
    const QString user = config.value(QStringLiteral("user")).toString();
    const QString password = config.value(QStringLiteral("password")).toString();

    QFile message(QString::fromLatin1(kMessageFile));
    if (!message.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        // Never send what an earlier call left there.
        QFile::remove(QString::fromLatin1(kMessageFile));
        writeErrorFile(QStringLiteral("Cannot write %1: %2\n").arg(QLatin1String(kMessageFile), message.errorString()));
        return failed;
    }
    const QString crlf = QStringLiteral("\r\n");
    const QString text = QStringLiteral("Subject: ") + fields.at(0) + QLatin1Char(' ') + fields.at(1) +
                         QStringLiteral(" sent a message.") + crlf + QStringLiteral("MIME-Version: 1.0") + crlf +
                         QStringLiteral("Content-Transfer-Encoding: 8bit") + crlf +
                         QStringLiteral("Content-Type: text/plain;charset=utf-8") + crlf + crlf +
                         QStringLiteral("Client name   ") + fields.at(0) + crlf + QStringLiteral("Client surname   ") +
                         fields.at(1) + crlf + QStringLiteral("Client email   ") + fields.at(2) + crlf +
                         QStringLiteral("Client company   ") + fields.at(3) + crlf + QStringLiteral("Client phone   ") +
                         fields.at(4) + crlf + QStringLiteral("Client Vexo version   0.3.4") + crlf +
                         QStringLiteral("Client Vexo active module   ") + fields.at(5) + crlf +
                         QStringLiteral("Client message   ") + crlf + fields.at(6) + crlf;
    const QByteArray bytes = text.toUtf8();
    const bool written = message.write(bytes) == bytes.size() && message.flush();
    message.close();
    if (!written) {
        QFile::remove(QString::fromLatin1(kMessageFile));
        writeErrorFile(QStringLiteral("Cannot write %1\n").arg(QLatin1String(kMessageFile)));
        return failed;
    }

    QStringList args{QStringLiteral("--silent"), QStringLiteral("--show-error"), QStringLiteral("--ssl-reqd"),
                     QStringLiteral("--url"), QStringLiteral("smtps://%1:%2").arg(host).arg(port),
                     QStringLiteral("--mail-from"), from, QStringLiteral("--mail-rcpt"), to,
                     QStringLiteral("--upload-file"), QString::fromLatin1(kMessageFile)};
    if (!caFile.isEmpty())
        args << QStringLiteral("--cacert") << caFile;
    // The login goes in on standard input, never on a command line that others can read.
    args << QStringLiteral("--config") << QStringLiteral("-");
    QProcess tool;
    tool.start(QStringLiteral("curl"), args);
    if (!tool.waitForStarted(10000)) {
        writeErrorFile(QStringLiteral("curl could not be started: %1\n").arg(tool.errorString()));
        return failed;
    }
    if (!user.isEmpty())
        tool.write("user = " + curlQuoted(user + QLatin1Char(':') + password) + '\n');
    tool.closeWriteChannel();
    const bool finished = tool.waitForFinished(s_toolTimeoutMs);
    QByteArray errors = tool.readAllStandardError();
    const int zero = errors.indexOf('\0');
    if (zero >= 0)
        errors.truncate(zero);
    const QString errorText = QString::fromLatin1(errors);
    if (!finished) {
        tool.kill();
        tool.waitForFinished(5000);
        writeErrorFile(errorText + QStringLiteral("curl did not finish within %1 ms\n").arg(s_toolTimeoutMs.load()));
        return failed;
    }
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0 || errorText.contains(QLatin1String("'curl'")) ||
        errorText.contains(QLatin1String("curl:"))) {
        writeErrorFile(errorText.isEmpty() ? QStringLiteral("curl ended with %1 %2\n")
                                                 .arg(tool.exitStatus() == QProcess::NormalExit ? QStringLiteral("exit code")
                                                                                                : QStringLiteral("a crash, signal"))
                                                 .arg(tool.exitCode())
                                           : errorText);
        return failed;
    }
    return QByteArrayLiteral("{\"status\":\"ok!\"}");
}

} // namespace vexo
