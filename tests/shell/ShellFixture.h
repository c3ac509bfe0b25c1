#pragma once

// What the shell tests share: curl as the browser (with a cookie jar), the handler served
// in-process from a thread of its own, and the real program installed in a temporary folder
// beside recording stand-ins of the programs it starts.

#include "HttpListener.h"
#include "HttpSessionStore.h"
#include "MyHttpRequestHandler.h"
#include "StaticFileController.h"
#include "TestEnv.h"

#include <QSettings>

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

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QHash>
#include <QProcessEnvironment>

#include <functional>
#include <signal.h>

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
    // The test's thread keeps running its events meanwhile: the handler's timer, the poller and
    // the updater live there, as they do in the main thread of the program.
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(70000, &loop, &QEventLoop::quit);
    process.start(QStringLiteral("curl"), args);
    loop.exec();
    Reply reply;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        return reply;
    }
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

// The request handler of the main program served in-process over loopback, with the listener
// in a thread of its own; the database lives in a temporary folder.
class HandlerServer
{
public:
    bool start()
    {
        if (!m_dir.isValid())
            return false;
        const quint16 port = TestEnv::freeTcpPort();
        const QString ini = m_dir.filePath(QStringLiteral("config.ini"));
        if (!writeFile(ini, configIni(port)) || !writeDocroot(m_dir.filePath(QStringLiteral("www"))))
            return false;
        m_sessionSettings = new QSettings(ini, QSettings::IniFormat);
        m_sessionSettings->beginGroup(QStringLiteral("sessions"));
        m_docroot = new QSettings(ini, QSettings::IniFormat);
        m_docroot->beginGroup(QStringLiteral("docroot"));
        m_docroot->setValue(QStringLiteral("path"), m_dir.filePath(QStringLiteral("www")));
        m_listenerSettings = new QSettings(ini, QSettings::IniFormat);
        m_listenerSettings->beginGroup(QStringLiteral("listener"));
        m_sessions = new HttpSessionStore(m_sessionSettings);
        m_files = new StaticFileController(m_docroot);
        handler = new MyHttpRequestHandler(m_files, m_sessions, m_docroot, nullptr, m_dir.path());
        handler->setLockWaits(100, 100, 100);
        m_thread = new ServingThread;
        m_thread->run([this]() { m_listener = new HttpListener(m_listenerSettings, handler); });
        base = QStringLiteral("http://127.0.0.1:%1/").arg(port);
        return m_listener->isListening();
    }

    ~HandlerServer()
    {
        if (m_thread) {
            m_thread->run([this]() { delete m_listener; });
            delete m_thread;
        }
        delete handler;
        delete m_files;
        delete m_sessions;
        delete m_listenerSettings;
        delete m_docroot;
        delete m_sessionSettings;
    }

    Reply get(const QString &pathAndQuery, const QString &jar = QString(), const QStringList &extra = {})
    {
        return curl(base + pathAndQuery, extra, jar);
    }
    Reply ajax(const QByteArray &query, const QString &jar = QString())
    {
        return get(QStringLiteral("ajax.html?") + QString::fromLatin1(query), jar);
    }
    // A fresh cookie jar logged in as the user; empty when the login failed.
    QString login(const QString &user, const QString &password)
    {
        const QString jar = m_dir.filePath(QStringLiteral("jar-%1-%2").arg(user).arg(++m_jars));
        const Reply reply = get(QStringLiteral("login.html"), jar,
                                {QStringLiteral("--data-urlencode"), QStringLiteral("username=") + user,
                                 QStringLiteral("--data-urlencode"), QStringLiteral("password=") + password});
        return reply.body == "{\"success\":true}" ? jar : QString();
    }
    // Switches the login on or off through the settings call (as the administrator when on).
    bool setLogin(bool on)
    {
        const QString jar = on ? QString() : login(QStringLiteral("Admin"), QString());
        return ajax("func=cfg_saveSetting&modbusPollInterval=5000&modbusIterDelay=10&defaultAppState=0&sessionEnabled=" +
                        QByteArray(on ? "1" : "0"),
                    jar)
                   .body == "{\"success\":true}";
    }
    // Adds a user with a password through the calls (login off).
    bool addUser(const QString &name, int permissions, const QString &password)
    {
        if (ajax("func=cfg_addNewUser&username=" + name.toUtf8() + "&permissions=" + QByteArray::number(permissions)).body !=
            "{\"success\":true}")
            return false;
        const QByteArray id = ajax("func=cfg_getUsersCfg").body;
        const int at = id.lastIndexOf("\"idUsers\":\"") + 11;
        const QByteArray userId = id.mid(at, id.indexOf('"', at) - at);
        return ajax("func=cfg_setUserPass&id=" + userId + "&password=" + password.toUtf8()).body == "{\"success\":true}";
    }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    MyHttpRequestHandler *handler = nullptr;
    QString base;

private:
    QTemporaryDir m_dir;
    QSettings *m_sessionSettings = nullptr;
    QSettings *m_docroot = nullptr;
    QSettings *m_listenerSettings = nullptr;
    HttpSessionStore *m_sessions = nullptr;
    StaticFileController *m_files = nullptr;
    ServingThread *m_thread = nullptr;
    HttpListener *m_listener = nullptr;
    int m_jars = 0;
};

// The real program copied into a folder of its own with config.ini, www/, a recording
// Vexo_admin beside it and a recording xdg-open first on PATH.
class Installation
{
public:
    bool install(const QByteArray &moreConfig = QByteArray(), bool withConfig = true)
    {
        if (!m_dir.isValid())
            return false;
        m_port = TestEnv::freeTcpPort();
        const QString program = path(QStringLiteral("Dalvoran"));
        if (!QFile::copy(TestEnv::binaryDir() + QStringLiteral("/Dalvoran"), program))
            return false;
        QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner);
        if (withConfig && !writeFile(path(QStringLiteral("config.ini")), configIni(m_port, moreConfig)))
            return false;
        return writeDocroot(path(QStringLiteral("www"))) &&
               writeRecorder(path(QStringLiteral("Vexo_admin")), path(QStringLiteral("Vexo_admin.args"))) &&
               writeRecorder(path(QStringLiteral("bin/xdg-open")), path(QStringLiteral("xdg-open.args")));
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), path(QStringLiteral("bin")) + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }

    // Starts the program and waits until it answers on its port. A launcher (a program and its
    // arguments, which then runs the program in its own place) goes first when given.
    bool start(const QStringList &args = {}, QProcess *process = nullptr, const QStringList &launcher = {})
    {
        QProcess *p = process ? process : &m_process;
        p->setProcessEnvironment(environment());
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->setWorkingDirectory(QDir::tempPath());
        if (launcher.isEmpty())
            p->start(path(QStringLiteral("Dalvoran")), args);
        else
            p->start(launcher.first(), launcher.mid(1) + QStringList{path(QStringLiteral("Dalvoran"))} + args);
        if (!p->waitForStarted(10000))
            return false;
        for (int i = 0; i < 300; ++i) {
            if (curl(url(QStringLiteral("app.js"))).status == 200)
                return true;
            if (p->waitForFinished(100))
                return false;
        }
        return false;
    }

    // Output so far, kept across calls.
    QByteArray output(QProcess *process = nullptr)
    {
        QProcess *p = process ? process : &m_process;
        m_output[p] += p->readAll();
        return m_output[p];
    }
    // Waits until the output holds text.
    bool waitForOutput(const QByteArray &text, int timeoutMs = 20000, QProcess *process = nullptr)
    {
        QElapsedTimer clock;
        clock.start();
        while (!output(process).contains(text)) {
            if (clock.elapsed() > timeoutMs)
                return false;
            (process ? process : &m_process)->waitForReadyRead(100);
        }
        return true;
    }

    // Ends the program with a signal and gives its exit code, -1 when it did not end normally.
    int stop(int signal = 15)
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        ::kill(static_cast<pid_t>(m_process.processId()), signal);
        if (!m_process.waitForFinished(30000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return -1;
        }
        output();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    ~Installation()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QString url(const QString &relative) const
    {
        return QStringLiteral("http://127.0.0.1:%1/").arg(m_port) + relative;
    }
    quint16 port() const { return m_port; }
    QProcess &process() { return m_process; }
    // The database rows by the sqlite3 tool, "|" between values.
    QByteArray sql(const QString &statement) const
    {
        int code = 0;
        return TestEnv::runTool(QStringLiteral("sqlite3"), {path(QStringLiteral("db.sqlite")), statement}, {}, 20000, &code);
    }

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QProcess m_process;
    QHash<QProcess *, QByteArray> m_output;
};

} // namespace ShellFixture
