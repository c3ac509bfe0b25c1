#include "TestEnv.h"

#include <QProcess>
#include <QTcpServer>
#include <QUdpSocket>
#include <QHostAddress>
#include <QtTest>

namespace TestEnv {

static QString envOr(const char *name, const QString &fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}

QString python() { return envOr("DALVORAN_PYTHON", QStringLiteral("/usr/bin/python3")); }
QString sourceDir() { return envOr("DALVORAN_SOURCE_DIR", QStringLiteral(".")); }
QString binaryDir() { return envOr("DALVORAN_BINARY_DIR", QStringLiteral(".")); }
QString testFile(const QString &relative) { return sourceDir() + QStringLiteral("/tests/") + relative; }

quint16 freeTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

quint16 freeUdpPort()
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::LocalHost), 0))
        return 0;
    return socket.localPort();
}

QByteArray runTool(const QString &program, const QStringList &args, const QByteArray &input, int timeoutMs,
                   int *exitCode)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, args);
    if (!process.waitForStarted(10000)) {
        qWarning("cannot start %s", qPrintable(program));
        if (exitCode)
            *exitCode = -1;
        return {};
    }
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(2000);
        qWarning("%s did not finish within %d ms", qPrintable(program), timeoutMs);
        if (exitCode)
            *exitCode = -1;
        return process.readAllStandardOutput();
    }
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (exitCode)
        *exitCode = code;
    else if (code != 0)
        qWarning("%s %s exited with %d: %s", qPrintable(program), qPrintable(args.join(' ')), code,
                 process.readAllStandardError().constData());
    return process.readAllStandardOutput();
}

bool isStrictJson(const QByteArray &bytes)
{
    static const QString script = QStringLiteral("import json, sys\n"
                                                 "def refuse(name):\n"
                                                 "    raise ValueError(name)\n"
                                                 "json.loads(sys.stdin.buffer.read().decode('utf-8'), parse_constant=refuse)\n");
    int exitCode = -1;
    runTool(python(), {QStringLiteral("-c"), script}, bytes, 60000, &exitCode);
    return exitCode == 0;
}

} // namespace TestEnv
