#pragma once

// What the PDF tests of both programs share: the page whose layout never ends, and a look at the
// converter processes ("--pdf-worker") of a program through /proc while a request runs.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSet>
#include <QString>
#include <QTimer>

#include <csignal>
#include <functional>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ConverterProcesses {

// About 1 KB of tables nested 40 deep: Qt's layout of it does not end within minutes.
inline QByteArray nestedTables(int levels = 40)
{
    return "<html><body>" + QByteArray("<table><tr><td>").repeated(levels) + "deep" +
           QByteArray("</td></tr></table>").repeated(levels) + "</body></html>";
}

struct Process
{
    qint64 pid = 0;
    char state = '?'; // R running, S sleeping, Z ended but not reaped ...
};

inline QByteArray readProc(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The converter processes among the children of parent.
inline QList<Process> of(qint64 parent)
{
    QList<Process> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QByteArray stat = readProc(QStringLiteral("/proc/%1/stat").arg(pid));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 2 || fields.at(1).toLongLong() != parent)
            continue;
        if (!readProc(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0').contains("--pdf-worker"))
            continue;
        found.append(Process{pid, fields.at(0).isEmpty() ? '?' : fields.at(0).at(0)});
    }
    return found;
}

inline bool anyRunning(qint64 parent)
{
    for (const Process &process : of(parent))
        if (process.state == 'R')
            return true;
    return false;
}

// Does request (which runs the event loop of this thread while it waits) and collects the
// converter processes of parent seen running meanwhile.
inline QSet<qint64> runningDuring(qint64 parent, const std::function<void()> &request)
{
    QSet<qint64> seen;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        for (const Process &process : of(parent))
            if (process.state == 'R')
                seen.insert(process.pid);
    });
    look.start(20);
    request();
    return seen;
}

// Whether any thread of a process is running or ready to run.
inline bool threadsRunning(qint64 pid)
{
    const QStringList tasks =
        QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        const QByteArray stat = readProc(QStringLiteral("/proc/%1/task/%2/stat").arg(pid).arg(task));
        if (stat.mid(stat.lastIndexOf(')') + 2, 1) == "R")
            return true;
    }
    return false;
}

inline bool exists(qint64 pid)
{
    return QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

// A killed process that has let go of everything it held but is not reaped yet: its last thread
// is gone (the leader shows Z already while the others still end).
inline bool endedNotReaped(qint64 pid)
{
    const QByteArray stat = readProc(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z" &&
           QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() == 1;
}

// Why the answer to a runaway page is not the stop it must be: a 500 with an empty body within
// boundMs, the converter processes seen running meanwhile (some) all gone since. Empty when it is.
inline QString notStopped(int status, const QByteArray &body, qint64 tookMs, qint64 boundMs,
                          const QSet<qint64> &running)
{
    if (status != 500)
        return QStringLiteral("status %1").arg(status);
    if (!body.isEmpty())
        return QStringLiteral("body: ") + QString::fromUtf8(body.left(200));
    if (tookMs >= boundMs)
        return QStringLiteral("took %1 ms").arg(tookMs);
    if (running.isEmpty())
        return QStringLiteral("no converter process was seen running");
    for (const qint64 pid : running)
        if (exists(pid))
            return QStringLiteral("converter process %1 is still there").arg(pid);
    return QString();
}

// The "Max address space" soft limit of a process: bytes, or "unlimited".
inline QByteArray addressSpaceLimit(qint64 pid)
{
    for (const QByteArray &line : readProc(QStringLiteral("/proc/%1/limits").arg(pid)).split('\n'))
        if (line.startsWith("Max address space"))
            return line.mid(26).simplified().split(' ').value(0);
    return QByteArray();
}

// While it lives, this process stands in for init to the orphans of its children: a child that a
// program under test left behind at its end (running, or ended and never reaped) comes here, where
// the test sees it, instead of to init, which would reap it unseen. They are reaped at the end.
class OrphanWatch
{
public:
    struct Orphan
    {
        qint64 pid = 0;
        char state = '?';
        QByteArray name; // the executable's name, as the system keeps it
    };

    OrphanWatch() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~OrphanWatch()
    {
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        orphans();
        for (const qint64 pid : qAsConst(m_seen)) {
            ::kill(pid_t(pid), SIGKILL);
            ::waitpid(pid_t(pid), nullptr, 0);
        }
    }
    OrphanWatch(const OrphanWatch &) = delete;
    OrphanWatch &operator=(const OrphanWatch &) = delete;

    // A process this one started itself (a QProcess, which reaps its own): not an orphan.
    void own(qint64 pid) { m_own.insert(pid); }

    // The orphans that came here so far.
    QList<Orphan> orphans()
    {
        QList<Orphan> found;
        const qint64 self = ::getpid();
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &entry : entries) {
            bool number = false;
            const qint64 pid = entry.toLongLong(&number);
            if (!number || m_own.contains(pid))
                continue;
            const QByteArray stat = readProc(QStringLiteral("/proc/%1/stat").arg(pid));
            const int open = stat.indexOf('(');
            const int close = stat.lastIndexOf(')');
            const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
            if (open < 0 || fields.size() < 2 || fields.at(1).toLongLong() != self)
                continue;
            found.append(
                Orphan{pid, fields.at(0).isEmpty() ? '?' : fields.at(0).at(0), stat.mid(open + 1, close - open - 1)});
            m_seen.insert(pid);
        }
        return found;
    }

    // Those among them named name, as "pid state" each: empty when there are none.
    QStringList named(const QByteArray &name)
    {
        QStringList list;
        for (const Orphan &orphan : orphans())
            if (orphan.name == name)
                list << QStringLiteral("%1 %2").arg(orphan.pid).arg(orphan.state);
        return list;
    }

private:
    QSet<qint64> m_own;
    QSet<qint64> m_seen;
};

} // namespace ConverterProcesses

// main() of a test program whose handler converts in converter processes of the test program
// itself; the including file has PdfConverter.h, QApplication and QtTest.
#define CONVERTER_TEST_MAIN(TestObject)                                                                                \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        if (PdfConverter::isWorkerCall(argc, argv))                                                                    \
            return PdfConverter::runWorker(argc, argv);                                                                \
        QApplication app(argc, argv);                                                                                  \
        TestObject test;                                                                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
