#include "LineReady.h"

#include "GlobalsOrder.h"

LineReady g_lineReady DALVORAN_INIT_ORDER(GlobalsOrder::LineReady);

bool LineReady::isReady(const QString &key)
{
    QMutexLocker lock(&m_mutex);
    auto it = m_flags.find(key);
    if (it == m_flags.end())
        it = m_flags.insert(key, false);
    return *it;
}

void LineReady::setReady(const QString &key, bool ready)
{
    QMutexLocker lock(&m_mutex);
    m_flags.insert(key, ready);
}

bool LineReady::claim(const QString &key)
{
    QMutexLocker lock(&m_mutex);
    auto it = m_flags.find(key);
    if (it == m_flags.end()) {
        m_flags.insert(key, false);
        return false;
    }
    const bool wasReady = *it;
    *it = false;
    return wasReady;
}

QStringList LineReady::keys()
{
    QMutexLocker lock(&m_mutex);
    return m_flags.keys();
}
