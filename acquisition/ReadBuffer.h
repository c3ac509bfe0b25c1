#pragma once

#include "BufferInterface.h"
#include "CurrentValue.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

class ArchiveBuffer;
class QSqlQuery;

// The current value of every configured parameter of an active device while polling runs.
// Readings arrive as (device id, register address) and find their parameter by the key
// "idDevice_regAddr"; each one is offered to the archive buffer as well. Callers hold the
// buffer's lock (tryLock / unlock) around a whole block of stores or a whole read.
class ReadBuffer : public BufferInterface
{
    Q_OBJECT
public:
    // query: "SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ..." executed.
    ReadBuffer(QSqlQuery &query, QObject *parent = nullptr);
    ~ReadBuffer() override;

    void storeValue(int idDevice, int regAddr, double value, qint64 timestamp, int flag, int extra,
                    bool nearest) override;
    // Value 0, time 0 and the flag as the current value; nothing is archived.
    void storeStatus(int idDevice, int regAddr, int flag) override;
    // A row straight into the archive (session break); the current value is not touched.
    void insertSessionBreakValue(int idDevice, int regAddr, double value, qint64 timestamp, int flag, int extra);
    // {0, 0, 1} for an unknown id.
    CurrentValue value(int idParameters) const;
    // The live-values document of "getAllValues".
    QByteArray toJson() const;

    // The current values, copied under the lock (one flat copy) so that the document can be
    // built after the lock is released; ids and units are fixed at construction and shared.
    struct Snapshot
    {
        QVector<int> ids;
        QVector<CurrentValue> values;
        QVector<QByteArray> units;  // escaped, Latin-1
        QVector<bool> autoScaled;   // the unit is one of the auto-scaled ones
    };
    Snapshot snapshot() const;
    static QByteArray toJson(const Snapshot &snapshot);

    // Writes every pending archive row and waits for it. Takes the buffer's lock with its
    // bounded wait, and flushes also when the lock was not had. False when the write did not
    // come in time.
    bool flushArchive();
    // Readings archived since polling started (session breaks not counted); no lock needed.
    qint64 archivedCount() const;
    ArchiveBuffer *archiveBuffer() const { return m_pArchiveBuffer; }

private:
    static QString key(int idDevice, int regAddr);

    // The current values sit in one flat table, slot by slot, so that a reader copies them in
    // one go; m_slotOf finds a parameter's slot.
    QVector<CurrentValue> m_values;
    QVector<int> m_slotIds;
    QHash<int, int> m_slotOf;
    QHash<QString, int> m_paramIds;
    QHash<int, QString> m_units;
    QVector<QByteArray> m_slotUnits;
    QVector<bool> m_slotAutoScaled;
    QStringList m_autoScaledUnits;
    ArchiveBuffer *m_pArchiveBuffer = nullptr;
};
