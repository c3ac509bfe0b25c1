#include "MessageRecorder.h"

#include <QMutex>

namespace {

QMutex g_mutex;
QStringList g_messages;
QtMsgType g_type = QtWarningMsg;
QtMessageHandler g_previous = nullptr;

void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == g_type) {
        QMutexLocker lock(&g_mutex);
        g_messages << message;
    }
    if (g_previous)
        g_previous(type, context, message);
}

} // namespace

MessageRecorder::MessageRecorder(QtMsgType type)
{
    {
        QMutexLocker lock(&g_mutex);
        g_messages.clear();
        g_type = type;
    }
    g_previous = qInstallMessageHandler(record);
}

MessageRecorder::~MessageRecorder() { qInstallMessageHandler(g_previous); }

QStringList MessageRecorder::messages() const
{
    QMutexLocker lock(&g_mutex);
    return g_messages;
}
