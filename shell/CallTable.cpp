#include "CallTable.h"

#include "JsonReply.h"
#include "Stats.h"

#include <QCoreApplication>
#include <QMutex>

CallTable::CallTable(QMutex *databaseLock, QMutex *modbusLock, std::function<bool()> pollingRuns)
    : m_databaseLock(databaseLock), m_modbusLock(modbusLock), m_pollingRuns(std::move(pollingRuns))
{
}

void CallTable::addConfig(const QByteArray &name, Call call)
{
    Q_ASSERT(name.startsWith("cfg_"));
    m_rows.insert(name, Row{std::move(call), Guard::None, false});
}

void CallTable::add(const QByteArray &name, Call call, Guard guard, bool fullPrivilege)
{
    Q_ASSERT(!name.startsWith("cfg_"));
    m_rows.insert(name, Row{std::move(call), guard, fullPrivilege});
}

QList<QByteArray> CallTable::names() const { return m_rows.keys(); }

void CallTable::setWaits(const Waits &waits) { m_waits = waits; }

QByteArray CallTable::privilegeError()
{
    return buildErrorJson(QCoreApplication::translate("MyHttpRequestHandler", "User doesn't have required privilege"));
}

QByteArray CallTable::run(const QByteArray &name, const t_GetArray &params, int privilege) const
{
    if (name.isEmpty())
        return QByteArray();
    if (name.startsWith("cfg_"))
        return runConfig(name, params, privilege);

    const auto row = m_rows.constFind(name);
    if (row == m_rows.constEnd())
        return QByteArray();
    if (row->fullPrivilege && privilege != 255)
        return privilegeError();

    switch (row->guard) {
    case Guard::None:
        return row->call(params, privilege);
    case Guard::Statistics: {
        // A busy statistics object answers nothing rather than keep the connection waiting.
        if (!g_stats.tryLock())
            return QByteArray();
        const QByteArray body = row->call(params, privilege);
        g_stats.unlock();
        return body;
    }
    case Guard::Modbus: {
        if (!m_modbusLock->tryLock(m_waits.modbus))
            return buildErrorJson(QStringLiteral("Modbus Mutex error"));
        const QByteArray body = row->call(params, privilege);
        m_modbusLock->unlock();
        return body;
    }
    }
    return QByteArray();
}

QByteArray CallTable::runConfig(const QByteArray &name, const t_GetArray &params, int privilege) const
{
    const bool reads = name.contains("_get");
    // Visual mode first: a read-only user who writes while polling runs learns about the polling.
    if (!reads && m_pollingRuns())
        return buildErrorJson(QStringLiteral("App is in visual mode"));
    if (privilege == 1 && !reads)
        return privilegeError();
    if (!m_databaseLock->tryLock(m_waits.database))
        return buildErrorJson(QStringLiteral("Database mutex locked"));
    // A configuration name without a row still takes the lock, as any other would.
    const auto row = m_rows.constFind(name);
    const QByteArray body = row == m_rows.constEnd() ? QByteArray() : row->call(params, privilege);
    m_databaseLock->unlock();
    return body;
}
