#include "NativeSocket.h"

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

bool NativeSocket::shutdownWrite(qintptr descriptor)
{
    if (descriptor < 0)
        return false;
    return ::shutdown(static_cast<int>(descriptor), SHUT_WR) == 0;
}

void NativeSocket::closeDescriptor(qintptr descriptor)
{
    if (descriptor >= 0)
        ::close(static_cast<int>(descriptor));
}

bool NativeSocket::peek(qintptr descriptor, QByteArray *bytes, int maxBytes)
{
    bytes->resize(qMax(0, maxBytes));
    if (descriptor < 0 || maxBytes <= 0) {
        bytes->clear();
        return descriptor >= 0;
    }
    ssize_t got = -1;
    do {
        got = ::recv(static_cast<int>(descriptor), bytes->data(), size_t(maxBytes), MSG_PEEK | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        bytes->resize(int(got));
        return true;
    }
    const bool waiting = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    bytes->clear();
    return waiting;
}

bool NativeSocket::setListenBacklog(qintptr descriptor, int backlog)
{
    // Called again on a socket that listens already, listen(2) only changes the queue's length.
    return descriptor >= 0 && ::listen(static_cast<int>(descriptor), backlog) == 0;
}
