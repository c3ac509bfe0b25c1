#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <sys/types.h>

class QDeadlineTimer;

// A child process of this program, started as "<program> <arguments>" and asked one request at a
// time over a socket pair: work that may run away (a page to lay out, a script) runs there, where a
// time limit kills it and a memory limit ends it without harming the program. The child is started
// when first needed and kept for the next requests. It inherits its channel and the standard
// streams only, and says it is ready before it is sent anything, so a child that cannot even start
// is told from one that a request took down. A child that timed out or died is replaced at the
// next request; so is one that ended while idle or left bytes in its channel. Each answer carries
// the number of its request, so one that comes late is never taken for the next request's. Any
// thread may call; calls are taken one at a time.
class WorkerProcess
{
public:
    // Answered: the answer is there (for send(): the child took the request). NotStarted: no child
    // could be started or got ready (failure() says why). Closed: shutDown() came first.
    enum class Outcome { Answered, TimedOut, Died, NotStarted, Closed };

    // This very program, as it runs: its children are the same code even when the file it was
    // started from has since been moved or replaced.
    explicit WorkerProcess(const QStringList &arguments);
    // program: another executable, absolute.
    WorkerProcess(const QString &program, const QStringList &arguments);
    // Closes the child's input and reaps it; one that does not end at once is killed.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess &) = delete;
    WorkerProcess &operator=(const WorkerProcess &) = delete;

    // Sends request and waits for its one answer, which goes to *reply; both, and the start of a
    // child, within timeoutMs. On a time-out the child is killed; on any outcome but Answered
    // *reply is left empty.
    Outcome call(const QByteArray &request, QByteArray *reply, int timeoutMs);
    // For a child that answers a request in parts: send() hands the request over (a child's start
    // included, within timeoutMs), then each receive() waits up to its own timeoutMs for the next
    // part. The conversation is one thread's; parts left unread make the next request go to a new
    // child.
    Outcome send(const QByteArray &request, int timeoutMs);
    Outcome receive(QByteArray *answer, int timeoutMs);

    // The process id of the running child, or 0 (for tests that look at it).
    pid_t childPid() const;
    // Why the last child could not start, or how the last one ended; the caller reports it (a
    // caller that retries tells it once, not at every try).
    QString failure() const;
    // Any thread, also during a call: kills the child, so that a call under way returns at once,
    // and makes every later call return Closed without starting one. Returns once the child is
    // reaped.
    void shutDown();

    // The child's side: answers each request read from the channel with handler until the parent
    // closes it or ends, then returns 0. Standard output already goes to standard error. A
    // memoryLimitBytes > 0 caps the address space, never above the limit the child inherited.
    static int serve(const std::function<QByteArray(const QByteArray &)> &handler, quint64 memoryLimitBytes = 0);
    // The same for a handler that answers in parts through answer(), which is false once the
    // parent is gone.
    using Answer = std::function<bool(const QByteArray &)>;
    static int serveInParts(const std::function<void(const QByteArray &, const Answer &)> &handler,
                            quint64 memoryLimitBytes = 0);
    // The child's side, instead of serve(): it cannot work here, and says why; the exit code.
    static int refuse(const QString &reason);

    // False in a build whose memory checker reserves more address space than any cap allows.
    static bool memoryLimitApplies();
    // The address space this process holds now, in bytes; 0 when it cannot be told. A cap meant
    // for the work alone goes on top of it (a script engine reserves gigabytes it never touches).
    static quint64 addressSpaceInUse();
    // The address-space limit in force for this process and the children it starts; 0 when none.
    static quint64 addressSpaceLimit();
    // The most that limit can be raised to (the hard limit); 0 when there is no such bound.
    static quint64 addressSpaceCeiling();

    // The largest request or answer; a larger answer counts as the child's death.
    static constexpr quint32 MaxFrameBytes = 256u * 1024 * 1024;

private:
    Outcome start(const QDeadlineTimer &deadline);
    Outcome sendLocked(const QByteArray &request, const QDeadlineTimer &deadline);
    Outcome receiveLocked(QByteArray *answer, const QDeadlineTimer &deadline);
    bool readFrame(quint32 *sequence, QByteArray *payload, const QDeadlineTimer &deadline);
    // A child that ended, or whose channel holds what nobody asked for, is not asked again.
    bool childIsClean();
    // Ends and reaps the child; *how (when given) tells how it ended.
    void stopChild(bool kill, QString *how = nullptr);

    QString m_program;
    QString m_displayName;
    QStringList m_arguments;
    mutable QMutex m_mutex;
    pid_t m_pid = 0;
    int m_fd = -1;
    // What the child sent and nobody has taken yet, from m_inboxAt on.
    QByteArray m_inbox;
    int m_inboxAt = 0;
    // The number of the last request sent; its answers carry it.
    quint32 m_sequence = 0;
    QString m_failure;
    std::atomic<bool> m_closed{false};
    // The child that shutDown() may kill: cleared under m_reapMutex before the child is reaped, so
    // it never hits a process id the system gave to another process since.
    QMutex m_reapMutex;
    pid_t m_killablePid = 0;
};
