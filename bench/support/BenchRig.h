#pragma once

// What the acquisition benchmarks set up alike: a fresh database, peers on free loopback ports,
// a mosquitto broker of their own and the MQTT line of one device, run as its worker runs it.

#include "ConfigManager.h"
#include "ConnectionManager.h"
#include "Database.h"
#include "MQTTLine.h"
#include "Stats.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <memory>

namespace BenchRig {

inline quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// The live database, with the schema of a new installation, in dir.
inline bool freshDatabase(const QTemporaryDir &dir)
{
    ConfigManager manager;
    manager.dbPath = dir.filePath("db.sqlite");
    manager.tempDbPath = dir.filePath("db_temp.sqlite");
    Database::setLivePath(manager.dbPath);
    return manager.clearDatabase().contains("success");
}

// The program, started with its output merged, once it has printed ready; null after 20 s.
inline std::unique_ptr<QProcess> startProcess(const QString &program, const QStringList &args,
                                              const QByteArray &ready)
{
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::MergedChannels);
    p->start(program, args);
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 20000) {
        p->waitForReadyRead(50);
        out += p->readAll();
        if (out.contains(ready))
            return p;
    }
    std::fprintf(stderr, "%s did not start: %s\n", qPrintable(program), out.constData());
    return nullptr;
}

// A broker on port whose output names each subscription (" <topic>"). Only the subscriptions are
// logged: a log of every message that nobody reads would stall it.
inline std::unique_ptr<QProcess> startBroker(const QTemporaryDir &dir, quint16 port)
{
    QFile conf(dir.filePath("mosquitto.conf"));
    if (!conf.open(QIODevice::WriteOnly))
        return nullptr;
    conf.write(QString("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest stderr\n"
                       "log_type subscribe\nlog_type information\nmax_queued_messages 0\n")
                   .arg(port)
                   .toUtf8());
    conf.close();
    return startProcess("mosquitto", {"-c", conf.fileName()}, " running");
}

// Waits until the broker's output names count subscriptions of topic; what it read is kept in log.
inline bool waitForSubscriptions(QProcess &broker, QByteArray &log, const QByteArray &topic, int count = 1,
                                 int timeoutMs = 30000)
{
    QElapsedTimer wait;
    wait.start();
    while (log.count(" " + topic) < count) {
        if (wait.elapsed() > timeoutMs)
            return false;
        broker.waitForReadyRead(50);
        log += broker.readAll();
    }
    return true;
}

// The messages that the MQTT lines have counted so far; -1 while the statistics are busy.
inline int mqttMessagesCounted()
{
    if (!g_stats.tryLock())
        return -1;
    const QByteArray s = g_stats.getMqttStats();
    g_stats.unlock();
    const int at = s.indexOf("\"poolsCnt\":");
    return at < 0 ? 0 : s.mid(at + 11, s.indexOf(',', at) - at - 11).toInt();
}

// A buffer of the parameters of the active devices, as the poller builds it.
template <class Buffer> std::unique_ptr<Buffer> activeParameters()
{
    Database scope;
    QSqlQuery q(scope.handle());
    q.exec("SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters JOIN Devices ON "
           "Devices.idDevices = ConfiguredParameters.idDevice WHERE Devices.isActive = 1");
    return std::make_unique<Buffer>(q, nullptr);
}

// The line of device 1, a JSON device on topic "b/1" with that mapping, on the broker at port.
inline ConnectionManager::MQTTConnectionCfg mqttConfig(quint16 port, const QString &mapping)
{
    ConnectionManager::MQTTConnectionCfg cfg;
    cfg.id = 1;
    cfg.ip = "127.0.0.1";
    cfg.port = port;
    cfg.clientid = "bench";
    cfg.topics = QStringList{"b/1"};
    cfg.idDeviceByTopic = {{"b/1", 1}};
    cfg.formatByTopic = {{"b/1", "JSON"}};
    cfg.mappingByTopic = {{"b/1", mapping}};
    return cfg;
}

// The line in a thread of its own, as its worker runs it, connecting; it goes with the thread.
class LineThread
{
public:
    LineThread(const ConnectionManager::MQTTConnectionCfg &cfg, BufferInterface *buffer)
    {
        m_thread.start();
        m_line = new MQTTLine(cfg, buffer);
        m_line->moveToThread(&m_thread);
        MQTTLine *line = m_line;
        QMetaObject::invokeMethod(line, [line] { line->connectMQTT(); });
    }
    ~LineThread()
    {
        MQTTLine *line = m_line;
        QMetaObject::invokeMethod(line, [line] { delete line; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    MQTTLine *line() const { return m_line; }

private:
    QThread m_thread;
    MQTTLine *m_line = nullptr;
};

} // namespace BenchRig
