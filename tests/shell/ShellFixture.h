#pragma once

// What the shell tests share: curl as the browser (with a cookie jar), the handler served
// in-process from a thread of its own, and the real program installed in a temporary folder
// beside recording stand-ins of the programs it starts.

#include "TestEnv.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QMetaObject>
#include <QPair>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>

namespace ShellFixture {

struct Reply
{
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The value of the first header of exactly that name (names are compared as written).
    QByteArray header(const QByteArray &name) const
    {
        for (const auto &h : headers)
            if (h.first == name)
                return h.second;
        return QByteArray();
    }
    bool hasHeader(const QByteArray &name) const
    {
        for (const auto &h : headers)
            if (h.first == name)
                return true;
        return false;
    }
    QList<QByteArray> cookies() const
    {
        QList<QByteArray> out;
        for (const auto &h : headers)
            if (h.first.toLower() == "set-cookie")
                out << h.second;
        return out;
    }
};

// One request by curl; jar (a file) keeps cookies between requests when given. Extra arguments
// go before the address (-F, --data, -H, -X ...).
inline Reply curl(const QString &url, const QStringList &extra = {}, const QString &jar = QString())
{
    QTemporaryDir dir;
    const QString head = dir.filePath(QStringLiteral("head"));
    const QString body = dir.filePath(QStringLiteral("body"));
    QStringList args{QStringLiteral("-s"), QStringLiteral("-g"), QStringLiteral("--max-time"), QStringLiteral("60"),
                     QStringLiteral("-D"), head, QStringLiteral("-o"), body};
    if (!jar.isEmpty())
        args << QStringLiteral("-b") << jar << QStringLiteral("-c") << jar;
    args << extra << url;
    QProcess process;
    process.start(QStringLiteral("curl"), args);
    Reply reply;
    if (!process.waitForFinished(70000))
        return reply;
    QFile h(head);
    if (h.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = h.readAll().split('\n');
        for (const QByteArray &raw : lines) {
            const QByteArray line = raw.trimmed();
            if (line.startsWith("HTTP/")) {
                reply.status = line.split(' ').value(1).toInt();
                reply.headers.clear();
            } else if (line.contains(':')) {
                const int colon = line.indexOf(':');
                reply.headers << qMakePair(line.left(colon), line.mid(colon + 1).trimmed());
            }
        }
    }
    QFile b(body);
    if (b.open(QIODevice::ReadOnly))
        reply.body = b.readAll();
    return reply;
}

// A config.ini for a test folder: loopback, a free port, the document root "www".
inline QByteArray configIni(quint16 port, const QByteArray &more = QByteArray())
{
    return "[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(port) +
           "\nminThreads=1\nmaxThreads=20\nreadTimeout=10000\nmaxRequestSize=16000\nmaxMultiPartSize=10000000\n"
           "[docroot]\npath=www\nencoding=UTF-8\n"
           "[sessions]\nexpirationTime=3600000\ncookieName=sessionid\ncookiePath=/\n"
           "[updates]\nupdateServer=\nresponseMaxWaitTime=2000\n[other]\nprefLang=en\n" +
           more;
}

inline bool writeFile(const QString &path, const QByteArray &data, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        return false;
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    return true;
}

// A small document root: the pages a browser asks for first.
inline bool writeDocroot(const QString &root)
{
    return writeFile(root + QStringLiteral("/login.html"), "<html>login page</html>") &&
           writeFile(root + QStringLiteral("/index.html"), "<html>index page</html>") &&
           writeFile(root + QStringLiteral("/root/home.html"), "<html>home page</html>") &&
           writeFile(root + QStringLiteral("/app.js"), "var app = 1;\n");
}

// A program that appends its arguments, one per line and an empty line after them, to a file.
inline bool writeRecorder(const QString &program, const QString &record)
{
    return writeFile(program,
                     "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" + record.toUtf8() +
                         "'\necho >> '" + record.toUtf8() + "'\n",
                     true);
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs an object's constructor and destructor in a thread of its own with its event loop: the
// listener lives there, so the test's own thread may block on curl meanwhile.
class ServingThread
{
public:
    ServingThread()
    {
        m_anchor.moveToThread(&m_thread);
        m_thread.start();
    }
    ~ServingThread()
    {
        m_thread.quit();
        m_thread.wait(30000);
    }
    void run(const std::function<void()> &work)
    {
        QMetaObject::invokeMethod(&m_anchor, work, Qt::BlockingQueuedConnection);
    }

private:
    QThread m_thread;
    QObject m_anchor;
};

} // namespace ShellFixture
