#include "ReadIterations.h"

#include <QSqlQuery>
#include <QVariant>

ReadIterations::ReadIterations(QObject *parent) : QObject(parent) {}

void ReadIterations::addFromQuery(QSqlQuery *query)
{
    if (!query || !query->isValid())
        return;
    ReadIteration block;
    block.ModbusId = query->value(0).toInt();
    block.regAddr = query->value(1).toInt();
    block.valuesCnt = query->value(2).toInt();
    block.regType = query->value(3).toInt();
    block.regSize = query->value(4).toInt();
    block.valSize = query->value(5).toInt();
    block.idDevice = query->value(6).toInt();
    block.ModbusReadFunction = static_cast<qint16>(query->value(7).toInt());
    append(block);
}

void ReadIterations::append(const ReadIteration &block)
{
    m_blocks.append(block);
    ++m_count;
}
