#include "NativeDescriptors.h"

#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>

bool NativeDescriptors::raiseLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur == limit.rlim_max)
        return true;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

qint64 NativeDescriptors::softLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return static_cast<qint64>(limit.rlim_cur);
}

bool NativeDescriptors::haveFree(int count)
{
    const qint64 limit = softLimit();
    if (limit < 0)
        return true;
    // Reading the folder takes a descriptor of its own: when none is left, that is the answer.
    DIR *folder = ::opendir("/proc/self/fd");
    if (!folder)
        return false;
    qint64 open = 0;
    while (const dirent *entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.')
            ++open;
    }
    ::closedir(folder);
    // The folder's own descriptor was counted and is closed again.
    return limit - (open - 1) >= count;
}

bool NativeDescriptors::peerClosed(qintptr descriptor)
{
    if (descriptor < 0)
        return true;
    pollfd entry{};
    entry.fd = static_cast<int>(descriptor);
    entry.events = POLLRDHUP;
    if (::poll(&entry, 1, 0) <= 0)
        return false;
    return (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}
