#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>

// Which line workers are idle and may be given the next read pass, by readiness key. Written
// by the worker threads (each its own key) and read by the main thread, so every access takes
// the table's own mutex. One global object, g_lineReady.
class LineReady
{
public:
    // Reading a key that is not present adds it as busy.
    bool isReady(const QString &key);
    void setReady(const QString &key, bool ready);
    // Turns an idle key busy and says whether it was idle, in one step: the caller that gets
    // true is the only one that may queue the next pass.
    bool claim(const QString &key);
    QStringList keys();

private:
    QMutex m_mutex;
    QHash<QString, bool> m_flags;
};

extern LineReady g_lineReady;
