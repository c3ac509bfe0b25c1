#pragma once

// Raw HTTP/1.1 exchanges with a server on loopback for the configuration program's tests (header
// only). The wait spins the event loop, so a listener in the test's own thread keeps accepting.

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTest>

namespace VexoHttp {

struct Reply
{
    int status = 0;
    QByteArray head; // status line and headers, without the blank line
    QByteArray body;

    // The value of the first header of that name (any letter case); empty when absent.
    QByteArray header(const QByteArray &name) const
    {
        const QList<QByteArray> lines = head.split('\n');
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).toLower() == name.toLower())
                return line.mid(colon + 1).trimmed();
        }
        return QByteArray();
    }
    bool hasHeader(const QByteArray &name) const { return head.toLower().contains('\n' + name.toLower() + ':'); }
};

// Sends one request (Connection: close) and reads the reply to the end of the connection.
inline Reply exchange(quint16 port, const QByteArray &method, const QByteArray &target,
                      const QByteArray &extraHeaders = QByteArray(), const QByteArray &body = QByteArray(),
                      int timeoutMs = 30000)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    QByteArray request = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                         "\r\nConnection: close\r\n" + extraHeaders;
    if (!body.isNull())
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    request += "\r\n" + body;
    QByteArray raw;
    QDeadlineTimer deadline(timeoutMs);
    bool sent = false;
    while (!deadline.hasExpired()) {
        if (!sent && socket.state() == QAbstractSocket::ConnectedState) {
            socket.write(request);
            sent = true;
        }
        raw += socket.readAll();
        if (sent && socket.state() == QAbstractSocket::UnconnectedState)
            break;
        QTest::qWait(2);
    }
    raw += socket.readAll();
    Reply reply;
    const int end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return reply;
    reply.head = raw.left(end);
    reply.status = raw.mid(9, 3).toInt();
    reply.body = raw.mid(end + 4);
    if (reply.header("Transfer-Encoding") == "chunked") {
        QByteArray data;
        int at = 0;
        while (true) {
            const int lineEnd = reply.body.indexOf("\r\n", at);
            const int size = reply.body.mid(at, lineEnd - at).toInt(nullptr, 16);
            if (lineEnd < 0 || size == 0)
                break;
            data += reply.body.mid(lineEnd + 2, size);
            at = lineEnd + 2 + size + 2;
        }
        reply.body = data;
    }
    return reply;
}

inline Reply get(quint16 port, const QByteArray &target, const QByteArray &extraHeaders = QByteArray())
{
    return exchange(port, "GET", target, extraHeaders);
}

inline Reply post(quint16 port, const QByteArray &target, const QByteArray &form,
                  const QByteArray &extraHeaders = QByteArray())
{
    return exchange(port, "POST", target, "Content-Type: application/x-www-form-urlencoded\r\n" + extraHeaders, form);
}

} // namespace VexoHttp
