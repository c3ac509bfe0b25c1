#pragma once

#include <QString>
#include <QStringList>

// Where the tests find their peers and fixtures, as set by tests/CMakeLists.txt.
namespace TestEnv {

// Debian's interpreter, where python3-pymodbus, python3-aiosmtpd and friends are installed.
QString python();
// The source tree root and the build tree root.
QString sourceDir();
QString binaryDir();
// A file below tests/ in the source tree, e.g. "peers/modbus_server.py".
QString testFile(const QString &relative);
// A loopback TCP port that was free a moment ago; prefer peers that bind port 0 and say theirs.
quint16 freeTcpPort();
quint16 freeUdpPort();
// Runs a program to its end and gives its standard output; fails the test on a non-zero exit.
QByteArray runTool(const QString &program, const QStringList &args, const QByteArray &input = {},
                   int timeoutMs = 60000, int *exitCode = nullptr);

// Whether Python's standard reader, with NaN and Infinity refused, takes the bytes as JSON: as
// strict as the readers of the browsers.
bool isStrictJson(const QByteArray &bytes);

} // namespace TestEnv
