#pragma once

#include <QList>
#include <QString>

// The serial ports present: the system's ports, then the paths listed in EXTRA_SERIAL_PORTS
// (colon-separated), so virtual ports can be offered too.
class SerialPortList
{
public:
    struct Port
    {
        QString portName;   // the system location, e.g. /dev/ttyUSB0
        QString friendName; // a description for people; the path when there is none
    };

    static QList<Port> getPorts();
};
