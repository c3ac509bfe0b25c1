#include "ReadBuffer.h"

#include "ArchiveBuffer.h"
#include "JsonReply.h"

#include <QDebug>
#include <QSqlQuery>
#include <QVariant>

#include <charconv>
#include <cmath>

namespace {

// Fixed notation with 6 decimals; a value that is not finite has no JSON number and is null.
void appendFixed6(QByteArray &out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // A value halfway between two 6-decimal texts is an odd multiple of 2^-7; there Qt rounds
    // away from zero where to_chars rounds to even, and the document keeps Qt's digits.
    const double scaled = value * 128.0;
    if (std::floor(scaled) == scaled && std::fmod(std::fabs(scaled), 2.0) == 1.0) {
        out += QByteArray::number(value, 'f', 6);
        return;
    }
    char digits[400];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 6);
    out.append(digits, int(result.ptr - digits));
}

void appendInteger(QByteArray &out, qint64 value)
{
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, int(result.ptr - digits));
}

// How long a final flush waits for the writer: a batch may sit out the database's busy timeout.
constexpr int kFlushWaitMs = 30000;

} // namespace

ReadBuffer::ReadBuffer(QSqlQuery &query, QObject *parent) : BufferInterface(parent)
{
    // The rows are read once: a forward-only query cannot be walked a second time for the
    // archive buffer, which would then archive nothing.
    QHash<int, int> archIntervals;
    QHash<int, bool> order; // the document lists the parameters in the order of a hash of their ids
    if (query.first()) {
        do {
            const int idParameters = query.value(0).toInt();
            order.insert(idParameters, true);
            m_units.insert(idParameters, query.value(4).toString());
            m_paramIds.insert(query.value(1).toString() + QLatin1Char('_') + query.value(2).toString(), idParameters);
            archIntervals.insert(idParameters, query.value(3).toInt());
        } while (query.next());
    }
    m_pArchiveBuffer = new ArchiveBuffer(archIntervals, this);
    m_autoScaledUnits = QStringList{QStringLiteral("V"), QStringLiteral("A"), QStringLiteral("W"),
                                    QStringLiteral("VA"), QStringLiteral("VAR")};
    for (auto it = order.constBegin(); it != order.constEnd(); ++it) {
        const int id = it.key();
        m_slotOf.insert(id, m_slotIds.size());
        m_slotIds.append(id);
        m_values.append(CurrentValue());
        const QString unit = m_units.value(id);
        m_slotUnits.append(JsonReply::escape(unit).toLatin1());
        m_slotAutoScaled.append(m_autoScaledUnits.contains(unit));
    }
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
    m_values[m_slotOf.value(*it)] = CurrentValue{value, timestamp, flag};
    m_pArchiveBuffer->storeValue(*it, value, timestamp, flag, extra, nearest);
}

void ReadBuffer::storeStatus(int idDevice, int regAddr, int flag)
{
    const auto it = m_paramIds.constFind(key(idDevice, regAddr));
    if (it != m_paramIds.constEnd())
        m_values[m_slotOf.value(*it)] = CurrentValue{0.0, 0, flag};
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

CurrentValue ReadBuffer::value(int idParameters) const
{
    const auto it = m_slotOf.constFind(idParameters);
    return it == m_slotOf.constEnd() ? CurrentValue() : m_values.at(*it);
}

QByteArray ReadBuffer::toJson() const { return toJson(snapshot()); }

ReadBuffer::Snapshot ReadBuffer::snapshot() const
{
    Snapshot snap;
    snap.ids = m_slotIds;
    snap.values = m_values;
    snap.values.detach(); // the copy is made here, under the caller's lock, not by the next writer
    snap.units = m_slotUnits;
    snap.autoScaled = m_slotAutoScaled;
    return snap;
}

QByteArray ReadBuffer::toJson(const Snapshot &snapshot)
{
    QByteArray json;
    json.reserve(2 + snapshot.values.size() * 96);
    json += '{';
    for (int i = 0; i < snapshot.values.size(); ++i) {
        const CurrentValue &entry = snapshot.values.at(i);
        double factor = 1.0;
        QByteArray prefix;
        if (snapshot.autoScaled.at(i)) {
            factor = autoScaleFactor(entry);
            prefix = unitPrefix(static_cast<float>(factor)).toLatin1();
        }
        json += '"';
        appendInteger(json, snapshot.ids.at(i));
        json += "\": {\"time\":";
        appendInteger(json, entry.time);
        json += ",\"val\":";
        appendFixed6(json, factor * entry.value);
        json += ",\"valBase\":";
        appendFixed6(json, entry.value);
        json += ",\"u\":\"";
        json += prefix;
        json += snapshot.units.at(i);
        json += "\",\"flag\":";
        appendInteger(json, entry.flag);
        json += "},";
    }
    if (json.size() > 1)
        json.chop(1);
    json += '}';
    return json;
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
