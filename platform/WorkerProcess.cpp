#include "WorkerProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

// How long a child whose input was closed may take to end before it is killed.
constexpr int GracefulEndMs = 500;
// The child's first frame: it is set up and waits for requests. Anything else first means it is
// not (or no longer) this program's child.
const char ReadyGreeting[] = "WorkerProcess ready";
const char RefusalGreeting[] = "WorkerProcess refuses: ";
// A child's end of the channel is its standard input; its output goes to the parent's errors.
constexpr int ChildChannel = 0;

// Waits for fd to be ready for events; false at the deadline or on an error or hang-up without data.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return false;
        const int n = ::poll(&p, 1, left < 0 ? -1 : int(qMin<qint64>(left, 1 << 30)));
        if (n > 0)
            return (p.revents & events) != 0 || ((p.revents & POLLHUP) && events == POLLIN);
        if (n == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

// A frame: the payload's length, the number of the request it belongs to (0 for the child's
// greeting), the payload. The number lets an answer that comes late never pass for the next one.
constexpr int HeadBytes = 8;

void putQuint32(unsigned char *at, quint32 value)
{
    at[0] = uchar(value >> 24);
    at[1] = uchar(value >> 16);
    at[2] = uchar(value >> 8);
    at[3] = uchar(value);
}

quint32 getQuint32(const char *at)
{
    const auto *h = reinterpret_cast<const unsigned char *>(at);
    return quint32(h[0]) << 24 | quint32(h[1]) << 16 | quint32(h[2]) << 8 | h[3];
}

// Head and payload in one go where the socket takes them, so that a small answer is one packet
// and the parent reads many of them at once. Without a deadline (an invalid, "forever" timer)
// this blocks; the child uses it that way.
bool writeFrame(int fd, quint32 sequence, const QByteArray &payload, const QDeadlineTimer &deadline)
{
    unsigned char head[HeadBytes];
    putQuint32(head, quint32(payload.size()));
    putQuint32(head + 4, sequence);
    iovec parts[2] = {{head, HeadBytes}, {const_cast<char *>(payload.constData()), size_t(payload.size())}};
    int first = 0;
    while (first < 2) {
        if (!waitFor(fd, POLLOUT, deadline))
            return false;
        msghdr message{};
        message.msg_iov = parts + first;
        message.msg_iovlen = size_t(2 - first);
        ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return false;
        while (first < 2 && size_t(n) >= parts[first].iov_len) {
            n -= ssize_t(parts[first].iov_len);
            ++first;
        }
        if (first < 2) {
            parts[first].iov_base = static_cast<char *>(parts[first].iov_base) + n;
            parts[first].iov_len -= size_t(n);
        }
    }
    return true;
}

bool readAll(int fd, char *data, size_t size, const QDeadlineTimer &deadline)
{
    while (size > 0) {
        if (!waitFor(fd, POLLIN, deadline))
            return false;
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// The child's reading: one request at a time, nothing read ahead.
bool readRequest(int fd, quint32 *sequence, QByteArray *payload)
{
    const QDeadlineTimer noDeadline(QDeadlineTimer::Forever);
    char head[HeadBytes];
    if (!readAll(fd, head, HeadBytes, noDeadline))
        return false;
    const quint32 size = getQuint32(head);
    *sequence = getQuint32(head + 4);
    if (size > WorkerProcess::MaxFrameBytes)
        return false;
    payload->resize(int(size));
    return readAll(fd, payload->data(), size, noDeadline);
}

QString describeEnd(int status)
{
    if (WIFEXITED(status))
        return QStringLiteral("with exit code %1").arg(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return QStringLiteral("by signal %1 (%2)")
            .arg(WTERMSIG(status))
            .arg(QString::fromLocal8Bit(strsignal(WTERMSIG(status))));
    return QStringLiteral("with status %1").arg(status);
}

// An inherited limit is the usual reason why a child dies before it can do anything at all.
QString limitNote()
{
    const quint64 limit = WorkerProcess::addressSpaceLimit();
    return limit == 0 ? QString() : QStringLiteral(" under an address-space limit of %1 MB").arg(limit / (1024 * 1024));
}

// The parent's side of the child's standard output: its own standard error, or nothing.
void addOutputActions(posix_spawn_file_actions_t *actions)
{
    if (::fcntl(2, F_GETFD) >= 0)
        posix_spawn_file_actions_adddup2(actions, 2, 1);
    else
        posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0);
}

// The running image of this process, when the system offers it.
QString thisProgram()
{
    const QString image = QStringLiteral("/proc/self/exe");
    return QFileInfo::exists(image) ? image : QCoreApplication::applicationFilePath();
}

} // namespace

WorkerProcess::WorkerProcess(const QStringList &arguments)
    : m_program(thisProgram()), m_displayName(QCoreApplication::applicationFilePath()), m_arguments(arguments)
{
}

WorkerProcess::WorkerProcess(const QString &program, const QStringList &arguments)
    : m_program(program), m_displayName(program), m_arguments(arguments)
{
}

WorkerProcess::~WorkerProcess()
{
    QMutexLocker locker(&m_mutex);
    stopChild(false);
}

pid_t WorkerProcess::childPid() const
{
    QMutexLocker locker(&m_mutex);
    return m_pid;
}

QString WorkerProcess::failure() const
{
    QMutexLocker locker(&m_mutex);
    return m_failure;
}

void WorkerProcess::shutDown()
{
    m_closed = true;
    {
        QMutexLocker reap(&m_reapMutex);
        if (m_killablePid != 0)
            ::kill(m_killablePid, SIGKILL);
    }
    // A call under way returns at once now that its child is gone; then the child is reaped.
    QMutexLocker locker(&m_mutex);
    stopChild(true);
}

WorkerProcess::Outcome WorkerProcess::call(const QByteArray &request, QByteArray *reply, int timeoutMs)
{
    reply->clear();
    QMutexLocker locker(&m_mutex);
    const QDeadlineTimer deadline(qMax(0, timeoutMs));
    const Outcome sent = sendLocked(request, deadline);
    if (sent != Outcome::Answered)
        return sent;
    return receiveLocked(reply, deadline);
}

WorkerProcess::Outcome WorkerProcess::send(const QByteArray &request, int timeoutMs)
{
    QMutexLocker locker(&m_mutex);
    return sendLocked(request, QDeadlineTimer(qMax(0, timeoutMs)));
}

WorkerProcess::Outcome WorkerProcess::receive(QByteArray *answer, int timeoutMs)
{
    answer->clear();
    QMutexLocker locker(&m_mutex);
    return receiveLocked(answer, QDeadlineTimer(qMax(0, timeoutMs)));
}

WorkerProcess::Outcome WorkerProcess::sendLocked(const QByteArray &request, const QDeadlineTimer &deadline)
{
    if (m_closed)
        return Outcome::Closed;
    if (m_pid != 0 && !childIsClean())
        stopChild(true);
    if (m_pid == 0) {
        const Outcome started = start(deadline);
        if (started != Outcome::Answered)
            return started;
    }
    m_sequence = m_sequence == std::numeric_limits<quint32>::max() ? 1 : m_sequence + 1;
    if (writeFrame(m_fd, m_sequence, request, deadline))
        return Outcome::Answered;
    const bool timedOut = deadline.hasExpired();
    QString how;
    stopChild(timedOut, &how);
    m_failure = QStringLiteral("ended ") + how;
    return m_closed ? Outcome::Closed : timedOut ? Outcome::TimedOut : Outcome::Died;
}

WorkerProcess::Outcome WorkerProcess::receiveLocked(QByteArray *answer, const QDeadlineTimer &deadline)
{
    if (m_closed)
        return Outcome::Closed;
    if (m_pid == 0)
        return Outcome::Died;
    quint32 sequence = 0;
    while (readFrame(&sequence, answer, deadline)) {
        if (sequence == m_sequence)
            return Outcome::Answered;
        // What a child still sends for a request that was given up meanwhile: not this answer.
        qWarning("WorkerProcess: child %d answered an earlier request late; the answer is dropped", int(m_pid));
    }
    answer->clear();
    const bool timedOut = deadline.hasExpired();
    QString how;
    stopChild(timedOut, &how);
    m_failure = QStringLiteral("ended ") + how;
    return m_closed ? Outcome::Closed : timedOut ? Outcome::TimedOut : Outcome::Died;
}

bool WorkerProcess::childIsClean()
{
    pollfd p{m_fd, POLLIN, 0};
    const bool unread = m_inboxAt < m_inbox.size();
    if (!unread && (::poll(&p, 1, 0) <= 0 || p.revents == 0))
        return true;
    qWarning("WorkerProcess: child %d %s; a new one takes the next request", int(m_pid),
             unread || !(p.revents & POLLHUP) ? "sent what nobody asked for" : "has ended");
    return false;
}

bool WorkerProcess::readFrame(quint32 *sequence, QByteArray *payload, const QDeadlineTimer &deadline)
{
    for (;;) {
        const int held = m_inbox.size() - m_inboxAt;
        if (held >= HeadBytes) {
            const quint32 size = getQuint32(m_inbox.constData() + m_inboxAt);
            if (size > MaxFrameBytes)
                return false;
            if (quint32(held - HeadBytes) >= size) {
                *sequence = getQuint32(m_inbox.constData() + m_inboxAt + 4);
                *payload = m_inbox.mid(m_inboxAt + HeadBytes, int(size));
                m_inboxAt += HeadBytes + int(size);
                if (m_inboxAt == m_inbox.size()) {
                    m_inbox.clear();
                    m_inboxAt = 0;
                }
                return true;
            }
        }
        if (!waitFor(m_fd, POLLIN, deadline))
            return false;
        if (m_inboxAt > 0) {
            m_inbox.remove(0, m_inboxAt);
            m_inboxAt = 0;
        }
        const int before = m_inbox.size();
        m_inbox.resize(before + 64 * 1024);
        const ssize_t n = ::recv(m_fd, m_inbox.data() + before, 64 * 1024, 0);
        m_inbox.resize(before + int(qMax<ssize_t>(0, n)));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
    }
}

WorkerProcess::Outcome WorkerProcess::start(const QDeadlineTimer &deadline)
{
    int fds[2];
    // Close-on-exec on both ends, so no other child of the program inherits the channel and keeps
    // it open after the worker's end; the child's end is duplicated onto its standard input, which
    // clears the flag there.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        m_failure = QStringLiteral("cannot have a channel: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return Outcome::NotStarted;
    }
    const QByteArray program = QFile::encodeName(m_program);
    QVector<QByteArray> arguments{QFile::encodeName(m_displayName)};
    for (const QString &argument : m_arguments)
        arguments.append(argument.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.append(argument.data());
    argv.append(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], ChildChannel);
    addOutputActions(&actions);
    // Nothing else of this process goes along: a library's socket left open in a long-lived child
    // would outlive its connection (a broker's stays half-closed for as long as the child runs).
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (error != 0) {
        m_failure = QStringLiteral("cannot start %1: %2").arg(m_displayName, QString::fromLocal8Bit(strerror(error)));
        ::close(fds[0]);
        return Outcome::NotStarted;
    }
    m_pid = pid;
    m_fd = fds[0];
    m_inbox.clear();
    m_inboxAt = 0;
    {
        QMutexLocker reap(&m_reapMutex);
        m_killablePid = pid;
        // A shut-down that came while the child was being started finds it here.
        if (m_closed)
            ::kill(pid, SIGKILL);
    }

    QByteArray greeting;
    quint32 sequence = 0;
    const bool greeted = readFrame(&sequence, &greeting, deadline);
    if (greeted && sequence == 0 && greeting == ReadyGreeting)
        return Outcome::Answered;
    const bool timedOut = !greeted && deadline.hasExpired();
    QString how;
    stopChild(timedOut, &how);
    if (m_closed)
        return Outcome::Closed;
    if (greeting.startsWith(RefusalGreeting))
        m_failure =
            QStringLiteral("refused to work: ") + QString::fromUtf8(greeting.mid(int(qstrlen(RefusalGreeting))));
    else if (greeted)
        m_failure = QStringLiteral("did not answer as a child of this program");
    else if (timedOut)
        m_failure = QStringLiteral("was not ready within its time limit");
    else
        m_failure = QStringLiteral("ended at its start ") + how + limitNote();
    return Outcome::NotStarted;
}

void WorkerProcess::stopChild(bool kill, QString *how)
{
    if (m_pid == 0)
        return;
    QMutexLocker reap(&m_reapMutex);
    m_killablePid = 0;
    if (kill)
        ::kill(m_pid, SIGKILL);
    ::close(m_fd);
    m_fd = -1;
    m_inbox.clear();
    m_inboxAt = 0;
    // The closed channel ends a child that waits for its next request; one still busy is killed.
    int status = 0;
    QDeadlineTimer grace(kill ? 0 : GracefulEndMs);
    for (;;) {
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid || (r < 0 && errno != EINTR))
            break;
        if (grace.hasExpired()) {
            ::kill(m_pid, SIGKILL);
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        ::usleep(2000);
    }
    if (how)
        *how = describeEnd(status);
    m_pid = 0;
}

bool WorkerProcess::memoryLimitApplies()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    return true;
#endif
}

quint64 WorkerProcess::addressSpaceInUse()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const quint64 pages = statm.readLine().split(' ').value(0).toULongLong();
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pageSize > 0 ? pages * quint64(pageSize) : 0;
}

quint64 WorkerProcess::addressSpaceLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    return quint64(limit.rlim_cur);
}

quint64 WorkerProcess::addressSpaceCeiling()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_max == RLIM_INFINITY)
        return 0;
    return quint64(limit.rlim_max);
}

int WorkerProcess::serve(const std::function<QByteArray(const QByteArray &)> &handler, quint64 memoryLimitBytes)
{
    return serveInParts([&handler](const QByteArray &request, const Answer &answer) { answer(handler(request)); },
                        memoryLimitBytes);
}

int WorkerProcess::refuse(const QString &reason)
{
    const QByteArray greeting = RefusalGreeting + reason.toUtf8();
    writeFrame(ChildChannel, 0, greeting, QDeadlineTimer(GracefulEndMs));
    return 1;
}

int WorkerProcess::serveInParts(const std::function<void(const QByteArray &, const Answer &)> &handler,
                                quint64 memoryLimitBytes)
{
    ::signal(SIGPIPE, SIG_IGN);
    const int channel = ::fcntl(ChildChannel, F_DUPFD_CLOEXEC, 3);
    if (channel < 0)
        return 1;
    // Started by hand rather than by a parent, the output still must not reach the channel.
    ::dup2(2, 1);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, 0);
        ::close(devNull);
    }
    // A worker that ends for want of memory is replaced; a core file of it helps nobody and
    // writing one would hold its end up.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    if (memoryLimitBytes > 0 && memoryLimitApplies()) {
        // Never above what was inherited: raising the hard limit is refused, and the cap with it.
        const quint64 ceiling = addressSpaceCeiling();
        const rlim_t cap = rlim_t(ceiling > 0 ? qMin(memoryLimitBytes, ceiling) : memoryLimitBytes);
        const rlimit limit{cap, cap};
        ::setrlimit(RLIMIT_AS, &limit);
    }
    // A parent that ends during a long request leaves nobody to kill this child: it goes too.
    const pid_t parent = ::getppid();
    std::thread([parent] {
        while (::getppid() == parent)
            ::usleep(200 * 1000);
        ::_exit(0);
    }).detach();

    const QDeadlineTimer noDeadline(QDeadlineTimer::Forever);
    bool parentThere = writeFrame(channel, 0, ReadyGreeting, noDeadline);
    quint32 sequence = 0;
    const Answer answer = [&](const QByteArray &part) {
        parentThere = parentThere && writeFrame(channel, sequence, part, noDeadline);
        return parentThere;
    };
    QByteArray request;
    while (parentThere && readRequest(channel, &sequence, &request))
        handler(request, answer);
    return 0;
}
