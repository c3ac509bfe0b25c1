#pragma once

#include "ThreadWorker.h"

#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QString>
#include <QStringList>

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

    void stop() override;

public slots:
    void initConfig();
    void process() override;
    bool sendEmail(int mailIdx);
    void checkQueue();
    void addMail2Queue(EmailManager::Mail2Send newMail);

private:
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
