#pragma once

#include <QStringList>
#include <QtGlobal>

// Records the messages of one type that the program logs, from any thread, while it lives; every
// message still goes on to the handler that was installed before. One recorder at a time.
class MessageRecorder
{
public:
    explicit MessageRecorder(QtMsgType type);
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder &) = delete;
    MessageRecorder &operator=(const MessageRecorder &) = delete;

    // What was recorded so far, in order.
    QStringList messages() const;
};
