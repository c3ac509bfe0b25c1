#include "ModbusLine.h"

#include "BufferInterface.h"
#include "ModbusClient.h"

ModbusLine::ModbusLine(QObject *parent) : QObject(parent) {}

ModbusLine::~ModbusLine() = default;

int ModbusLine::disconnectLine()
{
    m_ctx.reset();
    return Success;
}

int ModbusLine::readBlock(const ReadIteration &, BufferInterface *, qint64, int)
{
    return OtherError;
}

ModbusLine::DecodedValue ModbusLine::decodeValue(const ReadIteration &, const quint16 *, int)
{
    return {};
}

int ModbusLine::wordsUsed(const ReadIteration &, int index)
{
    return index + 1;
}

int ModbusLine::failureCode() const
{
    return OtherError;
}

void ModbusLine::applyTimeout(int) {}

int ModbusLine::identifyOnce(int, int *)
{
    return OtherError;
}
