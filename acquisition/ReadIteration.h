#pragma once

#include <QtGlobal>

// One register block of a connection's read plan: one Modbus request to one device.
struct ReadIteration
{
    int ModbusId = 0;
    int regAddr = 0;
    int valuesCnt = 0;
    int regType = 0;
    int regSize = 16;  // 16, or 32 for 32-bit registers
    int valSize = 16;  // 16 or 32
    int idDevice = 0;
    qint16 ModbusReadFunction = 3; // 3 holding registers, anything else input registers
};
