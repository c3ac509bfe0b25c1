#pragma once

#include "ThreadWorker.h"

#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <atomic>

class QTimer;
class SmtpClient;

// Sends the alarm mails of one polling run from a thread of its own. The poller creates it,
// starts it with the thread starter, queues "initConfig" and later "addMail2Queue" into it, and
// calls stop() from the main thread when polling stops.
class EmailManager : public ThreadWorker
{
    Q_OBJECT
public:
    struct Mail2Send
    {
        QStringList recipients;
        QString subject;
        QString body;
        QStringList extraList;
        qint16 sendAttempts = 0;
    };

    EmailManager();
    ~EmailManager() override;

    // Safe from any thread, also before process() ran: the timer is released and finished()
    // emitted in the mail thread, and a tick in progress stops after the mail it is sending.
    void stop() override;

    // How often the queue is tried, in ms; tests shorten it before the thread starts.
    static int queueTickIntervalMs;
    // The largest number of mails that wait; a further mail is dropped.
    static constexpr int MaxQueuedMails = 100;

    // Registers Mail2Send under the name the queued "addMail2Queue" call uses.
    static void registerMetaType();

public slots:
    void initConfig();
    void process() override;
    bool sendEmail(int mailIdx);
    void checkQueue();
    void addMail2Queue(EmailManager::Mail2Send newMail);

private:
    void finishInThread();

    std::atomic<bool> m_stopping{false};
    bool configured = false;
    QString serverName;
    int port = 587;
    qint16 security = 1;
    QString username;
    QString password;
    QString sourceEmailAddress;
    QList<Mail2Send> queue;
    QMutex queueMutex;
    QTimer *queueTimer = nullptr;
    SmtpClient *smtpClient = nullptr;
};

Q_DECLARE_METATYPE(EmailManager::Mail2Send)

// The mail manager of the running polling session, or null.
extern EmailManager *g_emailManager;
