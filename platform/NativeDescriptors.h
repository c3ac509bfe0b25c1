#pragma once

#include <QtGlobal>

// Descriptor calls of the process that Qt does not offer, for the HTTP server: the process's
// descriptor limit, whether enough descriptors are left for a new connection thread, and
// whether the peer of a connection has gone without the socket having noticed it yet.
class NativeDescriptors
{
public:
    // Raises the soft limit of open descriptors to the hard limit. True when the soft limit
    // now equals the hard one (also when nothing had to change).
    static bool raiseLimit();
    // The soft limit of open descriptors; -1 when it cannot be read, or when there is none.
    static qint64 softLimit();
    // True when at least count more descriptors can be opened under the soft limit. Counts the
    // open ones; false also when not even that is possible.
    static bool haveFree(int count);
    // True when the peer of the connected socket has closed its side or the connection has
    // failed (reset), as far as the system knows now; never waits and reads nothing.
    static bool peerClosed(qintptr descriptor);
};
