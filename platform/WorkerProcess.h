#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <functional>
#include <sys/types.h>

// A child process of this program, started as "<program> <arguments>" and asked one request at a
// time over a socket pair: work that may run away (a page to lay out, a script) runs there, where a
// time limit kills it and a memory limit ends it without harming the program. The child is started
// at the first call and kept for the next ones; one that timed out or died is replaced at the next
// call. Any thread may call; calls are taken one at a time. Must not be destroyed during a call.
class WorkerProcess
{
public:
    enum class Outcome { Answered, TimedOut, Died, NotStarted };

    // program: the executable, absolute; arguments: what makes it serve (the child calls serve()).
    WorkerProcess(const QString &program, const QStringList &arguments);
    // Closes the child's input and reaps it; one that does not end at once is killed.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess &) = delete;
    WorkerProcess &operator=(const WorkerProcess &) = delete;

    // Sends request and waits up to timeoutMs for the answer, which goes to *reply. On a time-out
    // the child is killed; on any outcome but Answered *reply is left empty.
    Outcome call(const QByteArray &request, QByteArray *reply, int timeoutMs);
    // The process id of the running child, or 0 (for tests that look at it).
    pid_t childPid() const;
    // Any thread, also during a call: kills the running child, so that a call under way returns
    // at once (Died) instead of at its time limit. The next call starts a new child.
    void abort();

    // The child's side: answers each request read from the channel with handler until the parent
    // closes it or ends, then returns 0. Standard output is sent to standard error first, so a
    // stray print cannot break the channel. memoryLimitBytes > 0 caps the address space.
    static int serve(const std::function<QByteArray(const QByteArray &)> &handler, quint64 memoryLimitBytes = 0);
    // False in a build whose memory checker reserves more address space than any cap allows.
    static bool memoryLimitApplies();
    // The address space this process holds now, in bytes; 0 when it cannot be told. A cap meant
    // for the work alone goes on top of it (a script engine reserves gigabytes it never touches).
    static quint64 addressSpaceInUse();

    // The largest request or answer; a larger answer counts as the child's death.
    static constexpr quint32 MaxFrameBytes = 256u * 1024 * 1024;

private:
    bool startChild();
    void stopChild(bool kill);

    QString m_program;
    QStringList m_arguments;
    mutable QMutex m_mutex;
    pid_t m_pid = 0;
    int m_fd = -1;
    // The child that abort() may kill: cleared under m_reapMutex before the child is reaped, so
    // abort() never hits a process id the system gave to another process since.
    QMutex m_reapMutex;
    pid_t m_killablePid = 0;
};
