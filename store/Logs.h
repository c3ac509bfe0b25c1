#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// The event log: the writer that other parts call, and the browser's listing and deletion.
class Logs : public QObject
{
    Q_OBJECT
public:
    enum Type { Info = 1, Alarm = 2, Warn = 3, Error = 4 };

    // Writes one event (1 info, 2 alarm, 3 warn, 4 error, anything else info). The message is
    // stored JSON-escaped; a failed insert is lost silently, the caller goes on.
    static void addLog(int type, const QString &message);
    // "getLogsGridData" (deleteMode false) and "deleteLogsEnries" (deleteMode true).
    static QByteArray getLogsGridData(const t_GetArray &params, bool deleteMode);

    // The stored form of a message: escaped so that it can be copied into a JSON string.
    static QString escapeMessage(const QString &message);
    static QString typeWord(int type);
};
