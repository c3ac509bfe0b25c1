#include "ReadBuffer.h"

#include "ArchiveBuffer.h"
#include "JsonReply.h"

#include <QDebug>
#include <QSqlQuery>
#include <QVariant>

#include <cmath>

namespace {

// Fixed notation with 6 decimals; a value that is not finite has no JSON number and is null.
QString fixed6(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("null");
    return QString::number(value, 'f', 6);
}

// How long a final flush waits for the writer: a batch may sit out the database's busy timeout.
constexpr int kFlushWaitMs = 30000;

} // namespace

ReadBuffer::ReadBuffer(QSqlQuery &query, QObject *parent) : BufferInterface(parent)
{
    // The rows are read once: a forward-only query cannot be walked a second time for the
    // archive buffer, which would then archive nothing.
    QHash<int, int> archIntervals;
    if (query.first()) {
        do {
            const int idParameters = query.value(0).toInt();
            m_values.insert(idParameters, CurrentValue());
            m_units.insert(idParameters, query.value(4).toString());
            m_paramIds.insert(query.value(1).toString() + QLatin1Char('_') + query.value(2).toString(), idParameters);
            archIntervals.insert(idParameters, query.value(3).toInt());
        } while (query.next());
    }
    m_pArchiveBuffer = new ArchiveBuffer(archIntervals, this);
    m_autoScaledUnits = QStringList{QStringLiteral("V"), QStringLiteral("A"), QStringLiteral("W"),
                                    QStringLiteral("VA"), QStringLiteral("VAR")};
}

ReadBuffer::~ReadBuffer() = default;

QString ReadBuffer::key(int idDevice, int regAddr)
{
    return QString::number(idDevice) + QLatin1Char('_') + QString::number(regAddr);
}

void ReadBuffer::storeValue(int idDevice, int regAddr, double value, qint64 timestamp, int flag, int extra,
                            bool nearest)
{
    const auto it = m_paramIds.constFind(key(idDevice, regAddr));
    if (it == m_paramIds.constEnd())
        return;
    m_values.insert(*it, CurrentValue{value, timestamp, flag});
    m_pArchiveBuffer->storeValue(*it, value, timestamp, flag, extra, nearest);
}

void ReadBuffer::storeStatus(int idDevice, int regAddr, int flag)
{
    const auto it = m_paramIds.constFind(key(idDevice, regAddr));
    if (it != m_paramIds.constEnd())
        m_values.insert(*it, CurrentValue{0.0, 0, flag});
}

void ReadBuffer::insertSessionBreakValue(int idDevice, int regAddr, double value, qint64 timestamp, int flag,
                                         int extra)
{
    const auto it = m_paramIds.constFind(key(idDevice, regAddr));
    if (it == m_paramIds.constEnd()) {
        qDebug() << "**************";
        qDebug() << "Didn't find idParameters in insertSessionBreakValue function !!!";
        qDebug() << "*******************";
        return;
    }
    m_pArchiveBuffer->addRow(*it, value, timestamp, flag, extra);
}

CurrentValue ReadBuffer::value(int idParameters) const { return m_values.value(idParameters, CurrentValue()); }

QByteArray ReadBuffer::toJson() const { return toJson(snapshot()); }

ReadBuffer::Snapshot ReadBuffer::snapshot() const
{
    Snapshot snap;
    snap.values.reserve(m_values.size());
    for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it)
        snap.values.append(qMakePair(it.key(), it.value()));
    snap.units = m_units;
    snap.autoScaledUnits = m_autoScaledUnits;
    return snap;
}

QByteArray ReadBuffer::toJson(const Snapshot &snapshot)
{
    QString json = QStringLiteral("{");
    for (const auto &item : snapshot.values) {
        const CurrentValue &entry = item.second;
        const QString unit = snapshot.units.value(item.first);
        double factor = 1.0;
        QString prefix;
        if (snapshot.autoScaledUnits.contains(unit)) {
            factor = autoScaleFactor(entry);
            prefix = unitPrefix(static_cast<float>(factor));
        }
        json += QLatin1Char('"') + QString::number(item.first) + QStringLiteral("\": {\"time\":") +
                QString::number(entry.time) + QStringLiteral(",\"val\":") + fixed6(factor * entry.value) +
                QStringLiteral(",\"valBase\":") + fixed6(entry.value) + QStringLiteral(",\"u\":\"") +
                JsonReply::escape(prefix + unit) + QStringLiteral("\",\"flag\":") + QString::number(entry.flag) +
                QStringLiteral("},");
    }
    if (json.size() > 1)
        json.chop(1);
    json += QLatin1Char('}');
    return json.toLatin1();
}

bool ReadBuffer::flushArchive()
{
    // A writer still in the middle of a block gets its bounded wait to finish it; a reader that
    // holds the lock longer must not cost the pending and session-break rows, which have their
    // own guard: they are flushed either way.
    const bool locked = tryLock();
    m_pArchiveBuffer->flush();
    if (locked)
        unlock();
    return m_pArchiveBuffer->waitWritten(kFlushWaitMs);
}

qint64 ReadBuffer::archivedCount() const { return m_pArchiveBuffer->archivedCount(); }
