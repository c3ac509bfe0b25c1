#include "NativeSocket.h"

#include <sys/socket.h>
#include <unistd.h>

bool NativeSocket::shutdownWrite(qintptr descriptor)
{
    if (descriptor < 0)
        return false;
    return ::shutdown(static_cast<int>(descriptor), SHUT_WR) == 0;
}

QHostAddress NativeSocket::peerAddress(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (descriptor < 0 || ::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr *>(&address));
}

void NativeSocket::closeDescriptor(qintptr descriptor)
{
    if (descriptor >= 0)
        ::close(static_cast<int>(descriptor));
}

bool NativeSocket::setListenBacklog(qintptr descriptor, int backlog)
{
    // Called again on a socket that listens already, listen(2) only changes the queue's length.
    return descriptor >= 0 && ::listen(static_cast<int>(descriptor), backlog) == 0;
}
