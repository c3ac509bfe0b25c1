#include "ValueFlag.h"

#include "ModbusLine.h"

int ValueFlag::fromLineResult(int code)
{
    switch (code) {
    case ModbusLine::SerialNoConnection:
        return NoConnection;
    case ModbusLine::Timeout:
        return Timeout;
    default:
        return ReadError;
    }
}
