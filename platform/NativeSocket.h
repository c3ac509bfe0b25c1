#pragma once

#include <QByteArray>
#include <QtGlobal>

// The socket calls that Qt's sockets do not offer, for the HTTP server: a half-close, so that a
// client sees the end of a refusal reply while the server still reads (and discards) what the
// client keeps sending; closing a descriptor that no Qt socket took; a look at what a client has
// sent without taking it; and a listen queue longer than Qt's.
class NativeSocket
{
public:
    // Ends the sending direction of the connection (the peer reads end-of-file after the data
    // already sent); the receiving direction stays open. False when the system refused it.
    static bool shutdownWrite(qintptr descriptor);
    // Closes a descriptor that is owned by nobody else.
    static void closeDescriptor(qintptr descriptor);
    // Copies up to maxBytes of what the peer has sent and the socket holds, without taking them
    // from it and without waiting. False when the peer has closed or the connection has failed.
    static bool peek(qintptr descriptor, QByteArray *bytes, int maxBytes);
    // Sets the length of the queue of connections that the system accepts for a listening
    // socket while the program has not taken them yet (Linux caps it at net.core.somaxconn).
    static bool setListenBacklog(qintptr descriptor, int backlog);
};
