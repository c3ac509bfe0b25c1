#include "WorkerProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QVector>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

// How long a child whose input was closed may take to end before it is killed.
constexpr int GracefulEndMs = 500;

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

// Without a deadline (an invalid, "forever" timer) these block; the child uses them that way.
bool writeAll(int fd, const char *data, size_t size, const QDeadlineTimer &deadline)
{
    while (size > 0) {
        if (!waitFor(fd, POLLOUT, deadline))
            return false;
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
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

bool writeFrame(int fd, const QByteArray &payload, const QDeadlineTimer &deadline)
{
    const quint32 size = quint32(payload.size());
    const unsigned char head[4] = {uchar(size >> 24), uchar(size >> 16), uchar(size >> 8), uchar(size)};
    return writeAll(fd, reinterpret_cast<const char *>(head), 4, deadline)
           && writeAll(fd, payload.constData(), size_t(payload.size()), deadline);
}

bool readFrame(int fd, QByteArray *payload, const QDeadlineTimer &deadline)
{
    unsigned char head[4];
    if (!readAll(fd, reinterpret_cast<char *>(head), 4, deadline))
        return false;
    const quint32 size = quint32(head[0]) << 24 | quint32(head[1]) << 16 | quint32(head[2]) << 8 | head[3];
    if (size > WorkerProcess::MaxFrameBytes)
        return false;
    payload->resize(int(size));
    return readAll(fd, payload->data(), size, deadline);
}

} // namespace

WorkerProcess::WorkerProcess(const QString &program, const QStringList &arguments)
    : m_program(program), m_arguments(arguments)
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

void WorkerProcess::abort()
{
    QMutexLocker reap(&m_reapMutex);
    if (m_killablePid != 0)
        ::kill(m_killablePid, SIGKILL);
}

WorkerProcess::Outcome WorkerProcess::call(const QByteArray &request, QByteArray *reply, int timeoutMs)
{
    reply->clear();
    QMutexLocker locker(&m_mutex);
    if (m_pid == 0 && !startChild())
        return Outcome::NotStarted;
    const QDeadlineTimer deadline(qMax(0, timeoutMs));
    QByteArray answer;
    if (writeFrame(m_fd, request, deadline) && readFrame(m_fd, &answer, deadline)) {
        *reply = answer;
        return Outcome::Answered;
    }
    const bool timedOut = deadline.hasExpired();
    stopChild(true);
    return timedOut ? Outcome::TimedOut : Outcome::Died;
}

bool WorkerProcess::startChild()
{
    int fds[2];
    // Close-on-exec on both ends, so no other child of the program inherits the channel and keeps
    // it open after the worker's end; the child's end is duplicated onto its standard input and
    // output, which clears the flag there.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        qWarning("WorkerProcess: socketpair failed: %s", strerror(errno));
        return false;
    }
    const QByteArray program = QFile::encodeName(m_program);
    QVector<QByteArray> arguments{program};
    for (const QString &argument : m_arguments)
        arguments.append(argument.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.append(argument.data());
    argv.append(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (error != 0) {
        qWarning("WorkerProcess: cannot start %s: %s", program.constData(), strerror(error));
        ::close(fds[0]);
        return false;
    }
    m_pid = pid;
    m_fd = fds[0];
    QMutexLocker reap(&m_reapMutex);
    m_killablePid = pid;
    return true;
}

void WorkerProcess::stopChild(bool kill)
{
    if (m_pid == 0)
        return;
    QMutexLocker reap(&m_reapMutex);
    m_killablePid = 0;
    if (kill)
        ::kill(m_pid, SIGKILL);
    ::close(m_fd);
    m_fd = -1;
    // The closed channel ends a child that waits for its next request; one still busy is killed.
    QDeadlineTimer grace(kill ? 0 : GracefulEndMs);
    for (;;) {
        const pid_t r = ::waitpid(m_pid, nullptr, WNOHANG);
        if (r == m_pid || (r < 0 && errno != EINTR))
            break;
        if (grace.hasExpired()) {
            ::kill(m_pid, SIGKILL);
            while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        ::usleep(2000);
    }
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

int WorkerProcess::serve(const std::function<QByteArray(const QByteArray &)> &handler, quint64 memoryLimitBytes)
{
    ::signal(SIGPIPE, SIG_IGN);
    const int channel = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    if (channel < 0)
        return 1;
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
        const rlimit limit{rlim_t(memoryLimitBytes), rlim_t(memoryLimitBytes)};
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
    QByteArray request;
    while (readFrame(channel, &request, noDeadline)) {
        if (!writeFrame(channel, handler(request), noDeadline))
            break;
    }
    return 0;
}
