#pragma once

#include "ReadIteration.h"

#include <QObject>
#include <QVector>

class QSqlQuery;

// The read plan of one serial or TCP connection: its register blocks in the order the worker
// reads them. Filled once in the main thread before the worker starts, then only read.
class ReadIterations : public QObject
{
    Q_OBJECT
public:
    explicit ReadIterations(QObject *parent = nullptr);

    // Appends the block of the row the query stands on (ModbusId, regAddr, valuesCnt, regType,
    // regSize, valSize, idDevice, ModbusReadFunction); a query off its rows adds nothing.
    void addFromQuery(QSqlQuery *query);
    void append(const ReadIteration &block);
    int count() const { return m_count; }
    // i stays within 0 .. count() - 1.
    const ReadIteration &at(int i) const { return m_blocks.at(i); }

private:
    QVector<ReadIteration> m_blocks;
    int m_count = 0;
};
