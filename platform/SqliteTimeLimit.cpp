#include "SqliteTimeLimit.h"

#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

namespace {

// Engine instructions between two looks at the clock: a few microseconds of work, so a
// statement ends soon after the limit and the clock costs nothing worth measuring.
constexpr int kInstructionsPerLook = 1000;

} // namespace

SqliteTimeLimit::SqliteTimeLimit(const QSqlDatabase &db, int ms) : m_deadline(ms)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return;
    m_handle = *static_cast<sqlite3 *const *>(handle.constData());
    if (m_handle)
        sqlite3_progress_handler(static_cast<sqlite3 *>(m_handle), kInstructionsPerLook, &SqliteTimeLimit::onProgress,
                                 this);
}

SqliteTimeLimit::~SqliteTimeLimit()
{
    if (m_handle)
        sqlite3_progress_handler(static_cast<sqlite3 *>(m_handle), 0, nullptr, nullptr);
}

bool SqliteTimeLimit::isArmed() const { return m_handle != nullptr; }

bool SqliteTimeLimit::stoppedStatement() const { return m_stopped; }

int SqliteTimeLimit::onProgress(void *self)
{
    auto *limit = static_cast<SqliteTimeLimit *>(self);
    if (!limit->m_deadline.hasExpired())
        return 0;
    limit->m_stopped = true;
    return 1; // the engine ends the statement with SQLITE_INTERRUPT
}
