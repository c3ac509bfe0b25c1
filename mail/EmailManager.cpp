#include "EmailManager.h"

#include "EmailAddress.h"
#include "Logs.h"
#include "MimeHtml.h"
#include "MimeMessage.h"
#include "SMTPManager.h"
#include "SmtpClient.h"

#include <QSslCertificate>
#include <QThread>
#include <QTimer>

EmailManager *g_emailManager = nullptr;

int EmailManager::queueTickIntervalMs = 10000;

namespace {

// A timed try-lock that lets go on every way out of its scope.
class TimedLock
{
public:
    TimedLock(QMutex &mutex, int timeoutMs) : m_mutex(mutex), m_locked(mutex.tryLock(timeoutMs)) {}
    ~TimedLock() { unlock(); }
    TimedLock(const TimedLock &) = delete;
    TimedLock &operator=(const TimedLock &) = delete;
    bool locked() const { return m_locked; }
    void unlock()
    {
        if (m_locked)
            m_mutex.unlock();
        m_locked = false;
    }

private:
    QMutex &m_mutex;
    bool m_locked;
};

} // namespace

void EmailManager::registerMetaType()
{
    qRegisterMetaType<EmailManager::Mail2Send>("EmailManager::Mail2Send");
}

EmailManager::EmailManager() : ThreadWorker(nullptr)
{
    registerMetaType();
}

EmailManager::~EmailManager()
{
    delete smtpClient;
    smtpClient = nullptr;
}

void EmailManager::stop()
{
    m_stopping.store(true);
    // Called from the poller's thread; the timer belongs to the mail thread and may not exist yet.
    QMetaObject::invokeMethod(this, &EmailManager::finishInThread, Qt::QueuedConnection);
}

void EmailManager::finishInThread()
{
    if (queueTimer) {
        queueTimer->stop();
        queueTimer->deleteLater();
        queueTimer = nullptr;
    }
    // The thread object lives in the poller's thread, which blocks in its wait for this thread:
    // a quit queued to it by finished() would come too late, so the loop is ended from here.
    QThread::currentThread()->quit();
    emit finished();
}

void EmailManager::initConfig()
{
    const SMTPManager::SMTPSettings settings = g_smtpManager.readSMTPSettings();
    serverName = settings.serverName;
    port = settings.port;
    security = qint16(settings.security);
    username = settings.username;
    password = settings.password;
    sourceEmailAddress = settings.sourceEmailAddress;
    configured = !serverName.isEmpty() && !sourceEmailAddress.isEmpty();

    if (smtpClient) {
        smtpClient->deleteLater();
        smtpClient = nullptr;
    }
    smtpClient = new SmtpClient(serverName, port, SmtpClient::ConnectionType(security));
    smtpClient->setUser(username);
    smtpClient->setPassword(password);
    smtpClient->setCancelFlag(&m_stopping);
    SmtpClient *client = smtpClient;
    connect(client, &SmtpClient::updateSelfSignedCert, client,
            [client](const QSslCertificate &certificate) { SMTPManager::logTrustedCertificate(*client, certificate); });
}

void EmailManager::process()
{
    queueTimer = new QTimer(this);
    connect(queueTimer, &QTimer::timeout, this, &EmailManager::checkQueue);
    queueTimer->start(queueTickIntervalMs);
}

void EmailManager::addMail2Queue(EmailManager::Mail2Send newMail)
{
    if (!configured) {
        Logs::addLog(Logs::Warn, tr("SMTP not configured."));
        return;
    }
    TimedLock lock(queueMutex, 5000);
    if (!lock.locked())
        return;
    if (queue.size() < MaxQueuedMails)
        queue.append(newMail);
}

void EmailManager::checkQueue()
{
    if (!smtpClient)
        return;
    int index = 0;
    while (index < queue.size() && !m_stopping.load()) {
        const int before = queue.size();
        sendEmail(index);
        if (queue.size() >= before)
            ++index;
    }
}

bool EmailManager::sendEmail(int mailIdx)
{
    if (!smtpClient)
        return false;

    Mail2Send mail;
    {
        TimedLock lock(queueMutex, 500);
        if (!lock.locked())
            return false;
        if (mailIdx < 0 || mailIdx >= queue.size())
            return false;
        mail = queue.at(mailIdx);
    }

    MimeMessage message(true);
    EmailAddress sender(sourceEmailAddress, QStringLiteral("Dalvoran"));
    message.setSender(&sender);
    for (const QString &address : qAsConst(mail.recipients))
        message.addRecipient(new EmailAddress(address, QString(), &message), MimeMessage::To);
    message.setSubject(mail.subject);
    MimeHtml html(QStringLiteral("<!DOCTYPE html><html><head><meta http-equiv=\"Content-Type\" "
                                 "content=\"text/html; charset=UTF-8\" /></head><body>") +
                  mail.body + QStringLiteral("</body></html>"));
    message.addPart(&html);

    QString errorText;
    bool sent = false;
    if (!smtpClient->connectToHost())
        errorText = tr("Failed to connect to SMTP server.");
    else if (!smtpClient->login())
        errorText = tr("Failed to login.");
    else
        sent = smtpClient->sendMail(message);

    bool dropped = false;
    bool updated = false;
    {
        TimedLock lock(queueMutex, 2000);
        if (lock.locked()) {
            updated = true;
            if (sent) {
                if (mailIdx < queue.size())
                    queue.removeAt(mailIdx);
            } else if (mailIdx < queue.size()) {
                Mail2Send &queued = queue[mailIdx];
                ++queued.sendAttempts;
                if (queued.sendAttempts > 2) {
                    queue.removeAt(mailIdx);
                    dropped = true;
                }
            }
        }
    }

    if (updated && sent) {
        try {
            smtpClient->quit();
        } catch (const SmtpClient::SendMessageTimeoutException &) {
            // The server has the mail already; a QUIT that cannot be written changes nothing.
        }
        Logs::addLog(Logs::Info, tr("Mail send"));
    } else if (dropped) {
        Logs::addLog(Logs::Warn, tr("Unable to send mail.") + QStringLiteral(" (") + errorText + QLatin1Char(')'));
    }
    smtpClient->disconnect();
    return sent;
}
