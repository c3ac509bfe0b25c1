#include "Poller.h"

#include "Alarms.h"
#include "ChannelMQTTWorker.h"
#include "ChannelWorker.h"
#include "ConnectionManager.h"
#include "Database.h"
#include "EmailManager.h"
#include "LineReady.h"
#include "ReadBuffer.h"
#include "ReadIterations.h"
#include "SettingsManager.h"
#include "Stats.h"
#include "ThreadWorker.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDebug>
#include <QMetaObject>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <QVariant>

namespace {

const QByteArray kVisualModeDisabled("{\"error\":true, \"message\":\"Visual mode disabled.\"}");
const QByteArray kMutexError("{\"error\":true, \"message\":\"Mutex error\"}");
// How long a stop waits for the mail thread to end.
constexpr unsigned long kMailThreadWaitMs = 5000;
constexpr int kDefaultPollIntervalMs = 5000;

// Released in the thread the buffer belongs to (the main thread), whoever lets go of it last.
void releaseBuffer(ReadBuffer *buffer)
{
    if (buffer->thread() == QThread::currentThread())
        delete buffer;
    else
        buffer->deleteLater();
}

int clampedTimeout(int timeout) { return qBound(0, timeout, Poller::MaxLineTimeoutMs); }

} // namespace

Poller::Poller(ConnectionManager *connections, QObject *parent) : QObject(parent) { Q_UNUSED(connections) }

Poller::~Poller() { stopPolling(); }

void Poller::startInThread(ThreadWorker *worker, bool addToList, bool isMqtt)
{
    QThread *thread = new QThread;
    worker->moveToThread(thread);
    if (addToList) {
        if (!isMqtt) {
            if (ChannelWorker *channel = qobject_cast<ChannelWorker *>(worker))
                m_channWorkersList.append(channel);
        } else if (ChannelMQTTWorker *mqtt = qobject_cast<ChannelMQTTWorker *>(worker)) {
            m_mqttWorkersList.append(mqtt);
        }
    }
    connect(thread, &QThread::started, worker, &ThreadWorker::process);
    connect(worker, &ThreadWorker::finished, thread, &QThread::quit);
    connect(worker, &ThreadWorker::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
}

QByteArray Poller::getAppState() const
{
    return m_running.load() ? QByteArrayLiteral("{\"state\":\"running\"}") : QByteArrayLiteral("{\"state\":\"idle\"}");
}

QByteArray Poller::requestStart() const { return QByteArrayLiteral("{\"success\":true}"); }

QByteArray Poller::requestStop() const { return QByteArrayLiteral("{\"success\":true}"); }

QByteArray Poller::getAllValues()
{
    std::shared_ptr<ReadBuffer> buffer;
    {
        QMutexLocker lock(&m_bufferMutex);
        if (!m_running.load() || !m_pReadBuffer)
            return kVisualModeDisabled;
        buffer = m_pReadBuffer;
    }
    if (!buffer->tryLock())
        return kMutexError;
    // Only the copy is made under the lock: the workers wait for that, not for the document.
    const ReadBuffer::Snapshot snapshot = buffer->snapshot();
    buffer->unlock();
    return ReadBuffer::toJson(snapshot);
}

template <typename Cfg>
bool Poller::addModbusChannel(QSqlDatabase &db, const QString &type, const Cfg &cfg, ReadBuffer *buffer)
{
    const bool serial = type == QLatin1String("serial");
    const QString table = serial ? QStringLiteral("SerialConnections") : QStringLiteral("TCPConnections");
    const QString key = serial ? QStringLiteral("idSerialConnections") : QStringLiteral("idTCPConnections");
    QSqlQuery plan(db);
    if (!plan.exec(QStringLiteral("SELECT ModbusId, regAddr, valuesCnt, regType, regSize, valSize, idDevice, "
                                  "ReadIterations.ModbusReadFunction FROM ReadIterations JOIN Devices ON "
                                  "ReadIterations.idDevice = Devices.idDevices JOIN  %1 ON "
                                  "Devices.idOfConnection = %1.%2 WHERE "
                                  "Devices.idOfConnection = %3 AND Devices.isActive = 1 AND "
                                  "Devices.connectionType = '%4'")
                       .arg(table, key, QString::number(cfg.id), type)))
        return false;
    auto *iterations = new ReadIterations(this);
    m_plans << iterations;
    while (plan.next())
        iterations->addFromQuery(&plan);
    if (iterations->count() > 0)
        startInThread(new ChannelWorker(cfg, iterations, buffer), true, false);

    // Every device of the connection is counted, active or not.
    g_stats.addChannel(type, cfg.id);
    QSqlQuery devices(db);
    if (!devices.exec(QStringLiteral("SELECT idDevices FROM Devices WHERE connectionType = '%1'  AND "
                                     "idOfConnection = %2")
                          .arg(type, QString::number(cfg.id))))
        return false;
    while (devices.next())
        g_stats.addDevice(type, cfg.id, devices.value(0).toInt());
    return true;
}

void Poller::startPolling()
{
    if (m_running.load() || m_starting.exchange(true))
        return;
    struct StartingFlag
    {
        std::atomic<bool> &flag;
        ~StartingFlag() { flag = false; }
    } starting{m_starting};

    // One connection scope for the whole start.
    Database scope;
    QSqlDatabase db = scope.handle();
    if (!db.isOpen())
        db = scope.handle();
    if (!db.isOpen())
        return;

    if (!g_emailManager) {
        g_emailManager = new EmailManager();
        startInThread(g_emailManager, false, false);
        QMetaObject::invokeMethod(g_emailManager, "initConfig", Qt::QueuedConnection);
    }

    g_alarms.loadAlarms();

    QSqlQuery query(db);
    query.exec(QStringLiteral("SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters "
                              "JOIN Devices ON Devices.idDevices = ConfiguredParameters.idDevice WHERE "
                              "Devices.isActive = 1"));
    {
        std::shared_ptr<ReadBuffer> buffer(new ReadBuffer(query, nullptr), releaseBuffer);
        QMutexLocker lock(&m_bufferMutex);
        m_pReadBuffer = buffer;
    }
    ReadBuffer *buffer = m_pReadBuffer.get();
    const qint64 startTime = QDateTime::currentMSecsSinceEpoch();
    // A failing query ends the start; what it created so far goes again.
    const auto fail = [this, startTime] { tearDown(startTime); };

    // Serial connections that any device uses, active or not.
    QSqlQuery serial(db);
    if (!serial.exec(QStringLiteral("SELECT idSerialConnections,serialPort,baudRate,parity,stopBits,timeout FROM "
                                    "SerialConnections WHERE idSerialConnections IN (SELECT idOfConnection FROM "
                                    "Devices WHERE connectionType = 'serial')")))
        return fail();
    while (serial.next()) {
        ConnectionManager::SerialConnectionCfg cfg;
        cfg.id = serial.value(0).toInt();
        cfg.serialPort = serial.value(1).toString();
        cfg.baudRate = serial.value(2).toInt();
        const QString parity = serial.value(3).toString();
        cfg.parity = parity.isEmpty() ? char(0) : parity.at(0).toLatin1();
        cfg.stopBits = char(serial.value(4).toInt());
        cfg.timeout = clampedTimeout(serial.value(5).toInt());
        if (cfg.timeout > m_maxTimeout)
            m_maxTimeout = cfg.timeout;

        if (!addModbusChannel(db, QStringLiteral("serial"), cfg, buffer))
            return fail();
    }

    QSqlQuery tcp(db);
    if (!tcp.exec(QStringLiteral("SELECT idTCPConnections,name,ip,portTCP,timeout FROM TCPConnections WHERE "
                                 "idTCPConnections IN (SELECT idOfConnection FROM Devices WHERE connectionType = "
                                 "'tcp')")))
        return fail();
    while (tcp.next()) {
        ConnectionManager::TCPConnectionCfg cfg;
        cfg.id = tcp.value(0).toInt();
        cfg.name = tcp.value(1).toString();
        cfg.ip = tcp.value(2).toString();
        // Never cut to 16 bits (65538 would poll port 2): out of range stays out of range.
        const qlonglong port = tcp.value(3).toLongLong();
        cfg.portTCP = port >= 1 && port <= 65535 ? int(port) : 0;
        cfg.timeout = clampedTimeout(tcp.value(4).toInt());
        if (cfg.timeout > m_maxTimeout)
            m_maxTimeout = cfg.timeout;

        if (!addModbusChannel(db, QStringLiteral("tcp"), cfg, buffer))
            return fail();
    }

    QSqlQuery mqtt(db);
    if (!mqtt.exec(QStringLiteral("SELECT idMQTTConnections,name,ip,port,clientid FROM MQTTConnections WHERE "
                                  "idMQTTConnections IN (SELECT idOfConnection FROM Devices WHERE "
                                  "connectionType='mqtt' AND isActive=1)")))
        return fail();
    while (mqtt.next()) {
        ConnectionManager::MQTTConnectionCfg cfg;
        cfg.id = mqtt.value(0).toInt();
        cfg.name = mqtt.value(1).toString();
        cfg.ip = mqtt.value(2).toString();
        cfg.port = quint16(mqtt.value(3).toInt());
        cfg.clientid = mqtt.value(4).toString();

        QSqlQuery devices(db);
        if (devices.exec(QStringLiteral("SELECT MqttTopic, MqttFormat, MqttMapping, idDevices FROM Devices WHERE "
                                        "connectionType='mqtt' AND isActive=1 AND idOfConnection=") +
                         QString::number(cfg.id))) {
            g_stats.addChannel(QStringLiteral("mqtt"), cfg.id);
            while (devices.next()) {
                const QString topic = devices.value(0).toString();
                if (topic.isEmpty())
                    continue;
                const int idDevice = devices.value(3).toInt();
                g_stats.addDevice(QStringLiteral("mqtt"), cfg.id, idDevice);
                cfg.idDeviceByTopic.insert(topic, idDevice);
                cfg.topics << topic;
                cfg.formatByTopic.insert(topic, devices.value(1).toString());
                cfg.mappingByTopic.insert(topic, devices.value(2).toString());
            }
        }
        startInThread(new ChannelMQTTWorker(cfg, buffer), true, true);
    }

    {
        QMutexLocker lock(&m_bufferMutex);
        m_running = true;
    }
    m_pTimer = new QTimer(this);
    connect(m_pTimer, &QTimer::timeout, this, &Poller::visualTimerTimeout);
    const int interval = g_settings.modbusPollInterval.load();
    m_pTimer->start(interval > 0 ? interval : kDefaultPollIntervalMs);
}

void Poller::visualTimerTimeout()
{
    const qint64 t = QDateTime::currentMSecsSinceEpoch();
    // A tick whose alarms are still being evaluated skips them, as one whose lock is taken.
    if (!g_alarms.isEvaluating() && g_alarms.tryLock()) {
        g_alarms.updateValues(m_pReadBuffer.get());
        g_alarms.checkAlarms();
        g_alarms.unlock();
    }
    // A worker whose previous pass still runs is left out: no pass is ever queued twice.
    for (ChannelWorker *worker : qAsConst(m_channWorkersList))
        worker->queuePass(t);
    for (ChannelMQTTWorker *worker : qAsConst(m_mqttWorkersList))
        QMetaObject::invokeMethod(worker, "visualTimerExpired", Qt::AutoConnection, Q_ARG(qint64, t));
}

void Poller::stopPolling()
{
    if (!m_running.load())
        return;
    {
        QMutexLocker lock(&m_bufferMutex);
        m_running = false;
    }
    delete m_pTimer;
    m_pTimer = nullptr;
    tearDown(QDateTime::currentMSecsSinceEpoch());
}

void Poller::waitForIdleWorkers()
{
    // The bound of the passes' time-outs, but passes that end early end the wait early.
    const qint64 bound = 1001LL * (qint64(m_maxTimeout) + 1500);
    const QDeadlineTimer deadline(bound);
    for (;;) {
        bool allIdle = true;
        for (ChannelWorker *worker : qAsConst(m_channWorkersList)) {
            if (!g_lineReady.isReady(worker->readyKey())) {
                allIdle = false;
                break;
            }
        }
        if (allIdle || deadline.hasExpired())
            return;
        QThread::msleep(StopPollMs);
    }
}

void Poller::tearDown(qint64 timestamp)
{
    waitForIdleWorkers();
    // Each quit returns after the worker's session breaks, with its line closed.
    for (ChannelWorker *worker : qAsConst(m_channWorkersList))
        worker->quit(timestamp);
    m_channWorkersList.clear();
    qDebug() << "clear m_channWorkersList";
    for (ChannelMQTTWorker *worker : qAsConst(m_mqttWorkersList))
        worker->quit(timestamp);
    m_mqttWorkersList.clear();

    // No worker stores any more.
    qDeleteAll(m_plans);
    m_plans.clear();
    std::shared_ptr<ReadBuffer> buffer;
    {
        QMutexLocker lock(&m_bufferMutex);
        buffer.swap(m_pReadBuffer);
    }
    if (buffer) {
        buffer->flushArchive();
        buffer.reset();
        qDebug() << "deleteLater m_pReadBuffer";
    }
    g_alarms.clear();
    qDebug() << "clear g_alarms";
    g_stats.clear();
    stopMailWorker();
}

void Poller::stopMailWorker()
{
    EmailManager *mail = g_emailManager;
    g_emailManager = nullptr;
    if (!mail)
        return;
    QThread *thread = mail->thread();
    mail->stop();
    // The thread object is released by a deferred delete in this thread, so it is still there.
    if (thread == QThread::currentThread() || !thread->wait(kMailThreadWaitMs))
        mail->deleteLater();
}
