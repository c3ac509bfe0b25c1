// Vexo's register benchmark: readRegisters and writeRegisters of 1, 100 and 200 float values
// (two registers each) on one loopback pymodbus server, called in-process on the engine and
// through HTTP on the request handler. Anchor, measured in the same run against the same server:
// a bare libmodbus loop sending the same wire sequence (the socket probe, connect, the same
// pieces of at most 124 registers read or 122 written, close). The engine's 100 ms pause is set to 0. Figures:
//   median wall time per call and its ratio to the bare loop's,
//   CPU time per value beyond the bare loop's,
//   p50 and p99 of the HTTP calls.

#include "HttpListener.h"
#include "StaticFileController.h"
#include "configurator/ModbusEngine.h"
#include "configurator/MyHttpRequestHandler.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

namespace {

// What the layer sends at most per request for values of two registers.
constexpr int kReadPiece = 124;
constexpr int kWritePiece = 122;

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double nowUs()
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

struct Figures
{
    std::vector<double> wallUs;
    double cpuUs = 0; // per call
};

Figures measure(int calls, const std::function<bool()> &call)
{
    Figures f;
    const double cpu0 = cpuSeconds();
    for (int i = 0; i < calls; ++i) {
        const double t0 = nowUs();
        if (!call()) {
            std::fprintf(stderr, "call %d failed after %.0f us\n", i, nowUs() - t0);
            std::exit(1);
        }
        f.wallUs.push_back(nowUs() - t0);
    }
    f.cpuUs = (cpuSeconds() - cpu0) * 1e6 / calls;
    return f;
}

// The socket probe the engine makes before each TCP request.
bool probe(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

bool bareCall(modbus_t *ctx, quint16 port, bool write, int registers, uint16_t *words)
{
    if (!probe(port) || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "bare: connect: %s\n", modbus_strerror(errno));
        return false;
    }
    modbus_set_slave(ctx, 1);
    bool ok = true;
    const int piece = write ? kWritePiece : kReadPiece;
    for (int done = 0; ok && done < registers; done += piece) {
        const int n = std::min(piece, registers - done);
        const int rc = write ? modbus_write_registers(ctx, done, n, words + done) : modbus_read_registers(ctx, done, n, words + done);
        ok = rc == n;
        if (!ok)
            std::fprintf(stderr, "bare: %d of %d at %d: %s\n", rc, n, done, modbus_strerror(errno));
    }
    modbus_close(ctx);
    return ok;
}

// One HTTP/1.1 keep-alive connection, blocking.
class HttpClient
{
public:
    explicit HttpClient(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    ~HttpClient() { ::close(m_fd); }

    QByteArray post(const QByteArray &form)
    {
        const QByteArray request = "POST /ajax.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                   "application/x-www-form-urlencoded\r\nContent-Length: " +
                                   QByteArray::number(form.size()) + "\r\n\r\n" + form;
        if (::send(m_fd, request.constData(), size_t(request.size()), 0) != request.size())
            return QByteArray();
        QByteArray in;
        char buffer[65536];
        while (true) {
            const int end = in.indexOf("\r\n\r\n");
            if (end >= 0) {
                const int at = in.toLower().indexOf("content-length:");
                const int length = in.mid(at + 15, in.indexOf('\r', at) - at - 15).trimmed().toInt();
                if (in.size() >= end + 4 + length)
                    return in.mid(end + 4, length);
            }
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return QByteArray();
            in.append(buffer, int(n));
        }
    }

private:
    int m_fd = -1;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int calls = 200;
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], "--calls") == 0)
            calls = QByteArray(argv[i + 1]).toInt();
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    QCoreApplication::setOrganizationName("Other");
    QCoreApplication::setApplicationName("Vexo");

    QString table = "{\"1\": {\"hr\": {\"0\": [";
    for (int i = 0; i < 1000; ++i)
        table += QString::number(i ? 0x4148 : 0) + (i < 999 ? "," : "");
    table += "]}}}";
    QProcess server;
    server.setStandardErrorFile(qEnvironmentVariable("VEXO_BENCH_SERVER_LOG", "/dev/null"));
    server.start(qEnvironmentVariable("DALVORAN_PYTHON", "/usr/bin/python3"),
                 {"-u", qEnvironmentVariable("DALVORAN_SOURCE_DIR", ".") + "/tests/peers/modbus_server.py", "--table", table});
    QByteArray out;
    while (!out.contains("\n") && server.waitForReadyRead(20000))
        out += server.readAll();
    const quint16 port = quint16(out.mid(out.indexOf("READY ") + 6).trimmed().toUInt());
    if (port == 0) {
        std::fprintf(stderr, "server did not start: %s\n", out.constData());
        return 1;
    }

    vexo::ModbusEngine::setRequestPauseMs(0);
    QFile config(home.filePath("config.ini"));
    config.open(QIODevice::WriteOnly);
    config.write("[listener]\nhost=127.0.0.1\nport=0\nminThreads=1\n[docroot]\npath=" + QFile::encodeName(home.path()) + "\n");
    config.close();
    QSettings docroot(config.fileName(), QSettings::IniFormat);
    docroot.beginGroup("docroot");
    QSettings listenerSettings(config.fileName(), QSettings::IniFormat);
    listenerSettings.beginGroup("listener");
    StaticFileController staticFiles(&docroot);
    vexo::MyHttpRequestHandler handler(&staticFiles, &docroot);
    HttpListener listener(&listenerSettings, &handler);
    const quint16 httpPort = listener.serverPort();

    const QByteArray connect = "func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=1&timeout=1000&port_tcp=" +
                               QByteArray::number(port);
    vexo::ModbusEngine engine;
    t_GetArray connectParams;
    for (const QByteArray &pair : connect.split('&'))
        connectParams.insert(pair.left(pair.indexOf('=')), pair.mid(pair.indexOf('=') + 1));
    if (!engine.connectModbus(connectParams).contains("ok"))
        return 1;
    modbus_t *bare = modbus_new_tcp("127.0.0.1", port);

    std::printf("%-6s %5s | %10s %10s %6s | %12s | %9s %9s\n", "call", "vals", "engine us", "bare us", "ratio",
                "cpu/val us", "http p50", "http p99");
    std::vector<QByteArray> httpRows;
    struct Row
    {
        bool write;
        int values;
        double engineUs, bareUs, cpuPerValue;
    };
    std::vector<Row> rows;
    for (const bool write : {false, true}) {
        for (const int values : {1, 100, 200}) {
            QByteArray list = "[";
            for (int i = 0; i < values; ++i)
                list += (i ? ",12.5" : "12.5");
            list += "]";
            t_GetArray params;
            params.insert("regAddr", "0");
            params.insert("valuesCnt", QByteArray::number(values));
            params.insert("regType", "float4321");
            params.insert("valSize", "32");
            if (write)
                params.insert("regVals", list);
            std::vector<uint16_t> words(size_t(2 * values), 0x4148);
            // Interleaved rounds so that drift of the machine hits both alike.
            Figures e, b;
            for (int round = 0; round < 4; ++round) {
                const Figures fe = measure(calls / 4, [&] {
                    const QByteArray r = write ? engine.writeRegisters(params, 0) : engine.readRegisters(params, 0);
                    if (!r.startsWith('[') && !r.contains("\"ok\""))
                        std::fprintf(stderr, "engine %s %d: %s\n", write ? "write" : "read", values, r.constData());
                    return r.startsWith('[') || r.contains("\"ok\"");
                });
                const Figures fb = measure(calls / 4, [&] { return bareCall(bare, port, write, 2 * values, words.data()); });
                e.wallUs.insert(e.wallUs.end(), fe.wallUs.begin(), fe.wallUs.end());
                b.wallUs.insert(b.wallUs.end(), fb.wallUs.begin(), fb.wallUs.end());
                e.cpuUs += fe.cpuUs / 4;
                b.cpuUs += fb.cpuUs / 4;
            }
            rows.push_back({write, values, percentile(e.wallUs, 0.5), percentile(b.wallUs, 0.5),
                            (e.cpuUs - b.cpuUs) / values});
            httpRows.push_back((write ? "func=writeRegisters&regVals=" + list.toPercentEncoding().toPercentEncoding()
                                      : QByteArray("func=readRegisters&floatPrec=2")) +
                               "&regAddr=0&regType=float4321&valSize=32&valuesCnt=" + QByteArray::number(values));
        }
    }
    // The HTTP calls from a client thread while this thread runs the listener.
    std::vector<std::vector<double>> httpUs(httpRows.size());
    std::thread client([&] {
        HttpClient http(httpPort);
        http.post(connect);
        for (size_t r = 0; r < httpRows.size(); ++r)
            for (int i = 0; i < calls; ++i) {
                const double t0 = nowUs();
                const QByteArray reply = http.post(httpRows[r]);
                httpUs[r].push_back(nowUs() - t0);
                if (!reply.startsWith('[') && !reply.contains("\"ok\""))
                    std::fprintf(stderr, "HTTP call failed: %s\n", reply.constData());
            }
        QMetaObject::invokeMethod(&app, "quit", Qt::QueuedConnection);
    });
    app.exec();
    client.join();

    bool met = true;
    for (size_t r = 0; r < rows.size(); ++r) {
        const Row &row = rows[r];
        const double ratio = row.engineUs / row.bareUs;
        const double p99 = percentile(httpUs[r], 0.99);
        met = met && ratio <= 1.05 && row.cpuPerValue < 2.0 && p99 < 5000;
        std::printf("%-6s %5d | %10.1f %10.1f %6.3f | %12.3f | %9.1f %9.1f\n", row.write ? "write" : "read", row.values,
                    row.engineUs, row.bareUs, ratio, row.cpuPerValue, percentile(httpUs[r], 0.5), p99);
    }
    std::printf("goals (ratio <= 1.05, cpu/value < 2 us, HTTP p99 < 5000 us): %s\n", met ? "met" : "NOT met");
    modbus_free(bare);
    server.write("QUIT\n");
    server.waitForFinished(5000);
    return 0;
}
