#include "SerialPortList.h"

#include <QSerialPortInfo>
#include <QSet>

QList<SerialPortList::Port> SerialPortList::getPorts()
{
    QList<Port> ports;
    QSet<QString> seen;
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : system) {
        const QString location = info.systemLocation();
        if (location.isEmpty() || seen.contains(location))
            continue;
        seen.insert(location);
        ports.append({location, info.description().isEmpty() ? location : info.description()});
    }
    const QStringList extra = qEnvironmentVariable("EXTRA_SERIAL_PORTS").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &path : extra) {
        if (seen.contains(path))
            continue;
        seen.insert(path);
        ports.append({path, path});
    }
    return ports;
}
