#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <functional>

class QMutex;

// The calls of "ajax.html": each name bound to one operation, with the rules that hold around
// it. Configuration calls ("cfg_") are refused while polling runs unless their name holds
// "_get", are refused to read-only users on the same terms, and run under the database lock;
// the other calls may take the statistics or the Modbus lock or demand full rights. Every
// refusal happens before the operation runs, so a refused call changes nothing.
class CallTable
{
public:
    using Call = std::function<QByteArray(const t_GetArray &params, int privilege)>;
    enum class Guard { None, Statistics, Modbus };

    // Waits in milliseconds; tests shorten them.
    struct Waits
    {
        int database = 2000;
        int modbus = 5000;
    };

    // The locks are the handler's and outlive the table; pollingRuns says whether the poller runs.
    CallTable(QMutex *databaseLock, QMutex *modbusLock, std::function<bool()> pollingRuns);

    // A configuration call; the name starts with "cfg_".
    void addConfig(const QByteArray &name, Call call);
    // Any other call. fullPrivilege: privilege 255 only, the others get the privilege error.
    void add(const QByteArray &name, Call call, Guard guard = Guard::None, bool fullPrivilege = false);

    // The reply body of one call; empty for an empty or unknown name.
    QByteArray run(const QByteArray &name, const t_GetArray &params, int privilege) const;

    // The bound names, in no particular order.
    QList<QByteArray> names() const;
    void setWaits(const Waits &waits);

    static QByteArray privilegeError();

private:
    struct Row
    {
        Call call;
        Guard guard = Guard::None;
        bool fullPrivilege = false;
    };

    QByteArray runConfig(const QByteArray &name, const t_GetArray &params, int privilege) const;

    QHash<QByteArray, Row> m_rows;
    QMutex *m_databaseLock;
    QMutex *m_modbusLock;
    std::function<bool()> m_pollingRuns;
    Waits m_waits;
};
