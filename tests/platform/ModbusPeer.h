#pragma once

// Helpers for tests that talk to the Modbus peers of tests/peers (header only, shared by the
// Modbus client and line tests).

#include "PeerProcess.h"
#include "TestEnv.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QList>
#include <QTest>

namespace ModbusPeer {

// Sends a command and gives the reply line that starts with word (the words after it), waiting
// for the peer rather than for a time. Empty when the peer never answers.
inline QStringList ask(PeerProcess &peer, const QByteArray &command, const QByteArray &word)
{
    const int from = peer.output().size();
    peer.send(command);
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const QByteArray out = peer.output();
        const int at = out.indexOf(word + ' ', from);
        if (at >= 0) {
            const int end = out.indexOf('\n', at);
            if (end >= 0)
                return QString::fromUtf8(out.mid(at + word.size() + 1, end - at - word.size() - 1))
                    .split(' ', Qt::SkipEmptyParts);
        }
        QTest::qWait(5);
    }
    return {};
}

// The "OK" of a command that changes the peer.
inline bool tell(PeerProcess &peer, const QByteArray &command)
{
    const int from = peer.output().size();
    peer.send(command);
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (peer.output().indexOf("OK\n", from) >= 0)
            return true;
        QTest::qWait(5);
    }
    return false;
}

inline int count(PeerProcess &peer, const QByteArray &command = "COUNT")
{
    const QStringList words = ask(peer, command, "COUNT");
    return words.isEmpty() ? -1 : words.first().toInt();
}

struct Request
{
    int ms = 0;
    int unit = 0;
    int function = 0;
    int address = 0;
    int count = 0;
};

// The requests the peer has seen since its start or RESET.
inline QList<Request> requests(PeerProcess &peer)
{
    const QStringList head = ask(peer, "REQUESTS", "REQUESTS");
    if (head.isEmpty())
        return {};
    const int n = head.first().toInt();
    QList<Request> list;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const QByteArray out = peer.output();
        const int at = out.lastIndexOf("REQUESTS ");
        const QList<QByteArray> lines = out.mid(at).split('\n');
        int complete = 0;
        for (int i = 1; i < lines.size() - 1; ++i)
            if (lines.at(i).startsWith("REQ "))
                ++complete;
        if (complete >= n) {
            for (int i = 1; i <= n; ++i) {
                const QList<QByteArray> w = lines.at(i).split(' ');
                list.append({w.value(1).toInt(), w.value(2).toInt(), w.value(3).toInt(), w.value(4).toInt(),
                             w.value(5).toInt()});
            }
            return list;
        }
        QTest::qWait(5);
    }
    return {};
}

// A pair of connected pseudo terminals made by socat, linked as dir/nameA and dir/nameB.
struct PtyPair
{
    PeerProcess socat;
    QString a;
    QString b;

    bool start(const QString &dir, const QString &nameA = QStringLiteral("a"),
               const QString &nameB = QStringLiteral("b"))
    {
        a = dir + QLatin1Char('/') + nameA;
        b = dir + QLatin1Char('/') + nameB;
        return socat.start(QStringLiteral("socat"),
                           {QStringLiteral("-d"), QStringLiteral("-d"),
                            QStringLiteral("pty,raw,echo=0,link=") + a,
                            QStringLiteral("pty,raw,echo=0,link=") + b},
                           20000, "starting data transfer loop");
    }
};

} // namespace ModbusPeer
