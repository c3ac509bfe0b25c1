// Sends queued alarm mails through the mail thread and times the queue until it is empty.
//
//   mail_bench <port> <security> <caFile|-> <count>     prints "<ms> <sent> <waiting events>"
//
// The SMTP row points at 127.0.0.1:<port> with user "bench" / "pw"; the CA joins the default trust.
#include "ConfigManager.h"
#include "Database.h"
#include "EmailManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <cstdio>

static int countLogs(const QString &type)
{
    Database scope;
    QSqlQuery query(scope.handle());
    query.prepare(QStringLiteral("SELECT count(*) FROM Logs WHERE type=?"));
    query.addBindValue(type);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 5) {
        std::fprintf(stderr, "usage: mail_bench <port> <security> <caFile|-> <count>\n");
        return 2;
    }
    const int port = QString::fromLocal8Bit(argv[1]).toInt();
    const int security = QString::fromLocal8Bit(argv[2]).toInt();
    const QString caFile = QString::fromLocal8Bit(argv[3]);
    const int count = QString::fromLocal8Bit(argv[4]).toInt();
    if (caFile != QLatin1String("-")) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates(config.caCertificates() + QSslCertificate::fromPath(caFile));
        QSslConfiguration::setDefaultConfiguration(config);
    }

    QTemporaryDir dir;
    ConfigManager config;
    config.dbPath = dir.filePath(QStringLiteral("db.sqlite"));
    config.tempDbPath = dir.filePath(QStringLiteral("db_temp.sqlite"));
    if (config.clearDatabase() != QByteArray("{\"success\":true}"))
        return 3;
    {
        Database scope;
        QSqlQuery query(scope.handle());
        query.prepare(QStringLiteral("UPDATE SMTP SET serverName='127.0.0.1', port=?, security=?, username='bench', "
                                     "password='pw', sourceEmailAddress='plant@bench.example'"));
        query.addBindValue(port);
        query.addBindValue(security);
        if (!query.exec())
            return 3;
    }

    // The tick is held back: the whole queue goes out in one check, which is what is timed.
    EmailManager::queueTickIntervalMs = 3600 * 1000;
    EmailManager *manager = new EmailManager;
    QThread *thread = new QThread;
    manager->moveToThread(thread);
    QObject::connect(thread, &QThread::started, manager, &ThreadWorker::process);
    QObject::connect(manager, &ThreadWorker::finished, thread, &QThread::quit);
    QObject::connect(manager, &ThreadWorker::finished, manager, &QObject::deleteLater);
    thread->start();
    QMetaObject::invokeMethod(manager, "initConfig", Qt::BlockingQueuedConnection);

    for (int i = 0; i < count; ++i) {
        EmailManager::Mail2Send mail;
        mail.recipients << QStringLiteral("operator@bench.example");
        mail.subject = QStringLiteral("Alarm %1: tank level high").arg(i);
        mail.body = QStringLiteral("<p>Alarm %1 became active: level 93.4 % above 90 %.</p>").arg(i);
        QMetaObject::invokeMethod(manager, "addMail2Queue", Qt::QueuedConnection, Q_ARG(EmailManager::Mail2Send, mail));
    }
    QElapsedTimer timer;
    timer.start();
    QMetaObject::invokeMethod(manager, "checkQueue", Qt::BlockingQueuedConnection);
    const qint64 ms = timer.elapsed();

    manager->stop();
    thread->wait(5000);
    delete thread;
    std::printf("%lld %d %d\n", static_cast<long long>(ms), countLogs(QStringLiteral("info")),
                countLogs(QStringLiteral("warn")));
    return 0;
}
