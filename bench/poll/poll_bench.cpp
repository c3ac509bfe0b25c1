// Poll pass benchmark: N Modbus TCP devices, each on a loopback server of its own, each with
// B blocks of 100 values, read by one channel worker per device as the poll tick does.
// Anchor, measured in the same run against the same servers: a bare libmodbus loop that sends
// the same requests without pauses. Figures:
//   pass time beside its bound (k - 1) x (modbusIterDelay + 20) ms + bare loop time,
//   CPU time per stored value beyond the bare loop's,
//   how long a block holds the value buffer's lock.

#include "ArchiveBuffer.h"
#include "BenchRig.h"
#include "ChannelWorker.h"
#include "Database.h"
#include "LineReady.h"
#include "Poller.h"
#include "ReadBuffer.h"
#include "ReadIterations.h"
#include "SettingsManager.h"
#include "Stats.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

namespace {

constexpr int kValues = 100;

double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Times each block's span under the lock, from its first store to its last.
class TimedReadBuffer : public ReadBuffer
{
public:
    using ReadBuffer::ReadBuffer;
    void storeValue(int idDevice, int regAddr, double value, qint64 timestamp, int flag, int extra,
                    bool nearest) override
    {
        if (regAddr % kValues == 0)
            m_start = nowNs();
        ReadBuffer::storeValue(idDevice, regAddr, value, timestamp, flag, extra, nearest);
        if (regAddr % kValues == kValues - 1) {
            const qint64 span = nowNs() - m_start;
            m_total += span;
            m_max = std::max<qint64>(m_max, span);
            ++m_blocks;
        }
    }
    // Written by one worker at a time under the lock; read after the passes.
    qint64 m_start = 0;
    std::atomic<qint64> m_total{0};
    std::atomic<qint64> m_max{0};
    std::atomic<qint64> m_blocks{0};
};

struct Server
{
    std::unique_ptr<QProcess> process;
    quint16 port = 0;
};

bool startServer(Server &server, const QString &table)
{
    server.process = std::make_unique<QProcess>();
    server.process->setProcessChannelMode(QProcess::MergedChannels);
    server.process->start(qEnvironmentVariable("DALVORAN_PYTHON", "/usr/bin/python3"),
                          {"-u", qEnvironmentVariable("DALVORAN_SOURCE_DIR", ".") + "/tests/peers/modbus_server.py",
                           "--table", table});
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000) {
        server.process->waitForReadyRead(100);
        out += server.process->readAll();
        const int at = out.indexOf("READY ");
        if (at >= 0 && out.indexOf('\n', at) > 0) {
            server.port = quint16(out.mid(at + 6, out.indexOf('\n', at) - at - 6).trimmed().toUInt());
            return server.port > 0;
        }
    }
    std::fprintf(stderr, "server did not start: %s\n", out.constData());
    return false;
}

bool exec(const QString &sql, const QVariantList &values = {})
{
    Database scope;
    QSqlQuery q(scope.handle());
    q.prepare(sql);
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(sql), qPrintable(q.lastError().text()));
        return false;
    }
    return true;
}

int argValue(const QStringList &args, const char *name, int fallback)
{
    const int at = args.indexOf(QString::fromLatin1(name));
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int devices = argValue(args, "--devices", 4);
    const int blocks = argValue(args, "--blocks", 5);
    const int passes = argValue(args, "--passes", 20);
    const int delay = argValue(args, "--delay", 10);
    const int archive = argValue(args, "--archive", 0);

    g_settings.modbusIterDelay = delay;
    g_settings.modbusPollInterval = 5000;

    QStringList words;
    for (int i = 0; i < blocks * kValues; ++i)
        words << QString::number(i % 60000);
    const QString table = QStringLiteral("{\"1\": {\"hr\": {\"0\": [%1]}}}").arg(words.join(','));
    std::vector<Server> servers(devices);
    for (Server &s : servers)
        if (!startServer(s, table))
            return 1;

    QTemporaryDir dir;
    if (!BenchRig::freshDatabase(dir))
        return 1;
    {
        Database scope;
        QSqlQuery begin(scope.handle());
        begin.exec("BEGIN");
        for (int d = 1; d <= devices; ++d) {
            exec("INSERT INTO TCPConnections VALUES (?, ?, '127.0.0.1', ?, 1000)", {d, QString("c%1").arg(d), servers[d - 1].port});
            exec("INSERT INTO Devices (idDevices, name, ModbusId, connectionType, idOfConnection, isActive) VALUES "
                 "(?, ?, 1, 'tcp', ?, 1)",
                 {d, QString("d%1").arg(d), d});
            for (int a = 0; a < blocks * kValues; ++a)
                exec("INSERT INTO ConfiguredParameters (idDevice, regAddr, unit, archInterval) VALUES (?, ?, 'V', ?)",
                     {d, a, archive});
        }
        begin.exec("COMMIT");
    }

    std::unique_ptr<TimedReadBuffer> buffer = BenchRig::activeParameters<TimedReadBuffer>();

    Poller poller;
    std::vector<ChannelWorker *> workers;
    for (int d = 1; d <= devices; ++d) {
        ReadIterations *plan = new ReadIterations(&poller);
        for (int b = 0; b < blocks; ++b) {
            ReadIteration block;
            block.ModbusId = 1;
            block.idDevice = d;
            block.regAddr = b * kValues;
            block.valuesCnt = kValues;
            block.regType = 7;
            block.ModbusReadFunction = 3;
            plan->append(block);
        }
        ConnectionManager::TCPConnectionCfg cfg;
        cfg.id = d;
        cfg.ip = "127.0.0.1";
        cfg.portTCP = servers[d - 1].port;
        cfg.timeout = 1000;
        g_stats.addChannel("tcp", d);
        g_stats.addDevice("tcp", d, d);
        ChannelWorker *worker = new ChannelWorker(cfg, plan, buffer.get());
        workers.push_back(worker);
        poller.startInThread(worker, true, false);
    }
    for (ChannelWorker *w : workers)
        while (!g_lineReady.isReady(w->readyKey()))
            QThread::usleep(200);

    // The bare loop: one thread per device, its own libmodbus context, the same requests.
    std::vector<modbus_t *> bare(devices);
    for (int d = 0; d < devices; ++d) {
        bare[d] = modbus_new_tcp("127.0.0.1", servers[d].port);
        modbus_set_slave(bare[d], 1);
        modbus_set_response_timeout(bare[d], 1, 0);
        if (modbus_connect(bare[d]) == -1) {
            std::fprintf(stderr, "bare connect failed\n");
            return 1;
        }
    }

    std::vector<double> passMs, bareMs;
    double workerCpu = 0, bareCpu = 0;
    int bareFailures = 0;
    std::atomic<int> failures{0};
    for (int p = 0; p < passes + 1; ++p) { // the first round warms up and is not counted
        // Bare loop round.
        const double bareCpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const qint64 bare0 = nowNs();
        std::vector<QThread *> threads;
        for (int d = 0; d < devices; ++d) {
            threads.push_back(QThread::create([&, d] {
                std::vector<uint16_t> words(kValues);
                for (int b = 0; b < blocks; ++b)
                    if (modbus_read_registers(bare[d], b * kValues, kValues, words.data()) != kValues)
                        ++failures;
            }));
            threads.back()->start();
        }
        for (QThread *t : threads) {
            t->wait();
            delete t;
        }
        const qint64 bareNs = nowNs() - bare0;
        const double bareCpuUsed =
            cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - bareCpu0;

        // Worker round, queued as a tick does.
        const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const qint64 start = nowNs();
        const qint64 t = QDateTime::currentMSecsSinceEpoch();
        for (ChannelWorker *w : workers)
            w->queuePass(t);
        for (ChannelWorker *w : workers)
            while (!g_lineReady.isReady(w->readyKey()))
                QThread::usleep(100);
        const qint64 passNs = nowNs() - start;
        // The archive batches of this round belong to its CPU time, not to the next bare round.
        buffer->archiveBuffer()->waitWritten(60000);
        const double cpuUsed = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        if (p == 0)
            continue;
        bareMs.push_back(bareNs / 1e6);
        passMs.push_back(passNs / 1e6);
        bareCpu += bareCpuUsed;
        workerCpu += cpuUsed;
    }
    bareFailures = failures.load();

    // Values the passes stored.
    qint64 flagged = 0;
    if (buffer->tryLock()) {
        for (int id = 1; id <= devices * blocks * kValues; ++id)
            if (buffer->value(id).flag != 0)
                ++flagged;
        buffer->unlock();
    }

    const double k = blocks;
    const double boundMs = (k - 1) * (delay + 20);
    const double medPass = median(passMs);
    const double medBare = median(bareMs);
    const double values = double(devices) * blocks * kValues * passes;
    const double cpuPerValueUs = workerCpu / values * 1e6;
    const double bareCpuPerValueUs = bareCpu / values * 1e6;
    const double heldUs = buffer->m_blocks ? buffer->m_total / double(buffer->m_blocks) / 1000.0 : 0;

    std::printf("poll pass: %d TCP devices x %d blocks x %d values, modbusIterDelay %d ms, archInterval %d s, %d passes\n",
                devices, blocks, kValues, delay, archive, passes);
    std::printf("  pass time (median)          %9.2f ms\n", medPass);
    std::printf("  pauses (k-1)x(delay+20)     %9.2f ms\n", boundMs);
    std::printf("  bare libmodbus loop (median)%9.2f ms\n", medBare);
    std::printf("  bound + bare loop           %9.2f ms\n", boundMs + medBare);
    std::printf("  ratio pass / (bound + bare) %9.3f   (goal <= 1.05)\n", medPass / (boundMs + medBare));
    std::printf("  CPU per stored value        %9.3f us (bare loop %0.3f us per value)\n", cpuPerValueUs, bareCpuPerValueUs);
    std::printf("  CPU beyond libmodbus        %9.3f us per value   (goal < 2)\n", cpuPerValueUs - bareCpuPerValueUs);
    std::printf("  buffer lock hold per block  %9.2f us mean, %0.2f us max (%d values a block)\n", heldUs,
                buffer->m_max / 1000.0, kValues);
    std::printf("  failed bare reads %d, flagged values after the last pass %lld\n", bareFailures, flagged);

    // The archive writer's own cost: batches of 50 rows inserted on this thread.
    {
        const int batches = 200;
        QVector<ArchiveRow> rows;
        rows.reserve(ArchiveBuffer::BatchSize);
        const double cpu0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const qint64 wall0 = nowNs();
        for (int b = 0; b < batches; ++b) {
            rows.clear();
            for (int r = 0; r < ArchiveBuffer::BatchSize; ++r)
                rows.append(ArchiveRow{1 + r, b * 0.5 + r, 1767614400000 + b * 5000, 0});
            ArchiveWriter::insertRows(rows, nullptr);
        }
        const double rowsDone = double(batches) * rows.size();
        std::printf("  archive insert              %9.3f us CPU, %0.3f us wall per row (batches of %d)\n",
                    (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0) / rowsDone * 1e6, (nowNs() - wall0) / rowsDone / 1000.0,
                    ArchiveBuffer::BatchSize);
    }

    const qint64 stop = QDateTime::currentMSecsSinceEpoch();
    for (ChannelWorker *w : workers)
        w->quit(stop);
    buffer->flushArchive();
    for (modbus_t *ctx : bare) {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    for (Server &s : servers) {
        s.process->write("QUIT\n");
        s.process->waitForFinished(3000);
        if (s.process->state() != QProcess::NotRunning)
            s.process->kill();
    }
    buffer.reset();
    QCoreApplication::processEvents();
    return 0;
}
