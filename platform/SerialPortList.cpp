#include "SerialPortList.h"

QList<SerialPortList::Port> SerialPortList::getPorts()
{
    return {};
}
