// The MQTT line's memory beside its anchor, measured in the same run: a mosquitto broker of its
// own, the line in a thread of its own as its worker runs it, and mosquitto_pub -l publishing.
//   anchor    N well-formed payloads of 8.6 KB (150 members holding arrays, one reading)
//   repeated  N payloads of the same size whose one name is repeated 150 times with arrays
// Each phase ends when the statistics have counted all of its messages; the figure is the growth
// of this process's resident memory over the phase. Goal: the repeated phase grows no more than
// the anchor. Then the payload reader's time per payload beside Qt's reader alone.
// Usage: mqtt_bench [messages]   (default 4000)

#include "BenchRig.h"
#include "Database.h"
#include "ReadBuffer.h"
#include "Stats.h"
#include "StrictJson.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <memory>

namespace {

long rssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

QByteArray payload(bool repeated)
{
    QByteArray array = "[";
    for (int i = 0; i < 20; ++i)
        array += (i ? "," : "") + QByteArray::number(i);
    array += "]";
    QByteArray text = "{";
    for (int i = 0; i < 150; ++i) {
        const QByteArray name = repeated ? QByteArray("xxx") : QByteArray::number(i).rightJustified(3, '0');
        text += "\"m" + name + "\":" + array + ",";
    }
    return text + "\"a\":\"21.5\"}";
}

// Publishes the messages and waits until the line has counted them all; false after 120 s.
bool publish(quint16 port, const QString &file, int total)
{
    QProcess pub;
    pub.setStandardInputFile(file);
    pub.start(QStringLiteral("mosquitto_pub"),
              {"-p", QString::number(port), "-t", "b/1", "-l", "-q", "0"});
    QElapsedTimer clock;
    clock.start();
    while (BenchRig::mqttMessagesCounted() < total) {
        if (clock.elapsed() > 120000)
            return false;
        QThread::msleep(20);
    }
    pub.waitForFinished(10000);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int messages = argc > 1 ? QByteArray(argv[1]).toInt() : 4000;
    QTemporaryDir dir;
    if (!BenchRig::freshDatabase(dir))
        return 1;
    {
        Database scope;
        QSqlQuery q(scope.handle());
        q.exec("INSERT INTO Devices (idDevices, name, ModbusId, connectionType, idOfConnection, isActive, MqttTopic, "
               "MqttFormat, MqttMapping) VALUES (1, 'm', 1, 'mqtt', 1, 1, 'b/1', 'JSON', '{\"a\":3}')");
        q.exec("INSERT INTO ConfiguredParameters (idDevice, regAddr, unit, archInterval) VALUES (1, 3, 'C', 0)");
    }
    const std::unique_ptr<ReadBuffer> buffer = BenchRig::activeParameters<ReadBuffer>();
    const quint16 port = BenchRig::freePort();
    const std::unique_ptr<QProcess> broker = BenchRig::startBroker(dir, port);
    if (!broker)
        return 1;
    g_stats.addChannel("mqtt", 1);
    g_stats.addDevice("mqtt", 1, 1);
    auto lineThread = std::make_unique<BenchRig::LineThread>(BenchRig::mqttConfig(port, "{\"a\":3}"), buffer.get());
    QByteArray log;
    if (!BenchRig::waitForSubscriptions(*broker, log, "b/1"))
        std::fprintf(stderr, "mqtt_bench: the line did not subscribe: %s\n", log.constData());

    const QByteArray wellFormed = payload(false);
    const QByteArray repeated = payload(true);
    for (const auto &phase : {std::make_pair("anchor", wellFormed), std::make_pair("repeated", repeated)}) {
        QFile stream(dir.filePath(phase.first));
        stream.open(QIODevice::WriteOnly);
        for (int i = 0; i < messages; ++i)
            stream.write(phase.second + "\n");
    }
    const long start = rssKb();
    if (!publish(port, dir.filePath("anchor"), messages))
        std::fprintf(stderr, "mqtt_bench: the anchor's messages were not all counted\n");
    const long afterAnchor = rssKb();
    // A reading of the last well-formed message, which the repeated payloads must leave alone.
    QMetaObject::invokeMethod(lineThread->line(), [] {}, Qt::BlockingQueuedConnection);
    buffer->tryLock();
    const CurrentValue before = buffer->value(1);
    buffer->unlock();
    if (!publish(port, dir.filePath("repeated"), 2 * messages))
        std::fprintf(stderr, "mqtt_bench: the repeated messages were not all counted\n");
    const long afterRepeated = rssKb();
    buffer->tryLock();
    const CurrentValue after = buffer->value(1);
    buffer->unlock();

    lineThread.reset();
    broker->terminate();
    broker->waitForFinished(3000);

    const double anchorMb = (afterAnchor - start) / 1024.0;
    const double repeatedMb = (afterRepeated - afterAnchor) / 1024.0;
    std::printf("mqtt memory: %d messages per phase, %d bytes (well-formed) and %d bytes (repeated name)\n",
                messages, int(wellFormed.size()), int(repeated.size()));
    std::printf("  resident memory from %.1f MB: repeated names +%.1f MB; anchor, well-formed: +%.1f MB; "
                "ratio %.2f (goal: no more than the anchor, +1 MB); the repeated ones stored %s\n",
                start / 1024.0, repeatedMb, anchorMb, repeatedMb / std::max(anchorMb, 1.0),
                after.time == before.time ? "nothing" : "readings");

    // The reader's cost on a well-formed payload, beside Qt's reader alone.
    const int rounds = 2000;
    QElapsedTimer clock;
    int members = 0;
    clock.start();
    for (int i = 0; i < rounds; ++i)
        members += StrictJson::read(wellFormed).object().size();
    const double ours = clock.nsecsElapsed() / 1e3 / rounds;
    clock.restart();
    for (int i = 0; i < rounds; ++i)
        members += QJsonDocument::fromJson(wellFormed).object().size();
    const double qt = clock.nsecsElapsed() / 1e3 / rounds;
    std::printf("payload reader: %.1f us per %d-byte payload; anchor, QJsonDocument::fromJson alone: %.1f us; "
                "ratio %.2fx (%d)\n",
                ours, int(wellFormed.size()), qt, ours / qt, members);
    return 0;
}
