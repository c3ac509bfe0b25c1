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

    // The current values in the table's order, copied under the lock so that the document can
    // be built after it is released; the units are fixed at construction and shared.
    struct Snapshot
    {
        QVector<QPair<int, CurrentValue>> values;
        QHash<int, QString> units;
        QStringList autoScaledUnits;
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

    QHash<int, CurrentValue> m_values;
    QHash<QString, int> m_paramIds;
    QHash<int, QString> m_units;
    QStringList m_autoScaledUnits;
    ArchiveBuffer *m_pArchiveBuffer = nullptr;
};
