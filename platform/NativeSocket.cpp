#include "NativeSocket.h"

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
