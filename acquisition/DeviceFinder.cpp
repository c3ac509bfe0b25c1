#include "DeviceFinder.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTimer>
#include <QUdpSocket>

namespace {

// A reply line without its line end: a trailing CR is all a line loses.
QString lineText(const QString &line)
{
    return (line.endsWith(QLatin1Char('\r')) ? line.left(line.size() - 1) : line).trimmed();
}

int positiveOr(const QString &text, int fallback)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok && value > 0 ? value : fallback;
}

} // namespace

DeviceFinder::DeviceFinder(QObject *parent) : DeviceFinder(Target(), parent) {}

DeviceFinder::DeviceFinder(const Target &target, QObject *parent) : QObject(parent), m_target(target)
{
    m_process = new QProcess(this);
    // Whether the helper starts is not looked at: the probes go out anyway.
    m_process->setProgram(m_target.helper.isEmpty() ? defaultHelper() : m_target.helper);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->setStandardErrorFile(QProcess::nullDevice());
    m_process->start(QIODevice::ReadWrite);

    m_socket = new QUdpSocket(this);
    connect(m_socket, &QUdpSocket::readyRead, this, &DeviceFinder::processPendingDatagrams);
    QTimer::singleShot(500, this, &DeviceFinder::sendBroadcast);
    QTimer::singleShot(800, this, &DeviceFinder::sendBroadcast);
}

DeviceFinder::~DeviceFinder() { stopHelper(); }

QString DeviceFinder::defaultHelper()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/platforms/Pellaris");
}

void DeviceFinder::stopHelper()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(2000);
    }
}

void DeviceFinder::sendBroadcast()
{
    if (m_socket)
        m_socket->writeDatagram(QByteArray("D", 1), m_target.address, m_target.port);
}

void DeviceFinder::processPendingDatagrams()
{
    while (m_socket && m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram();
        if (!datagram.isValid())
            break;
        ++m_datagramsRead;
        QByteArray data = datagram.data();
        const int zero = data.indexOf('\0');
        if (zero >= 0)
            data.truncate(zero);
        datagramToDevice(datagram.senderAddress().toString(), QString::fromLatin1(data));
    }
}

void DeviceFinder::datagramToDevice(const QString &ip, const QString &text)
{
    QString name;
    QString mac;
    QString rest1;
    QString rest2;
    int port = 502;
    int modbusId = 1;
    const int i = text.indexOf(QLatin1Char('\n'));
    if (i >= 0) {
        name = lineText(text.left(i));
        rest1 = text.mid(i + 1);
    }
    const int j = rest1.indexOf(QLatin1Char('\n'));
    if (j >= 0) {
        mac = lineText(rest1.left(j));
        rest2 = rest1.mid(j + 1);
    }
    const int k = rest2.indexOf(QLatin1Char('\n'));
    if (k >= 0) {
        port = positiveOr(lineText(rest2.left(k)), 502);
        modbusId = positiveOr(lineText(rest2.mid(k + 1)), 1);
    }
    addDevice(name, ip, port, mac, modbusId);
}

void DeviceFinder::addDevice(const QString &name, const QString &ip, int port, const QString &mac, int modbusId)
{
    for (const DeviceRecord &device : qAsConst(m_devices)) {
        if (device.ip == ip && device.mac == mac)
            return;
    }
    if (m_devices.size() >= MaxDevices)
        return;
    DeviceRecord device;
    device.name = name;
    device.ip = ip;
    device.mac = mac;
    device.port = port;
    device.modbusId = modbusId;
    m_devices.append(device);
}

QByteArray DeviceFinder::getSearchedDevices()
{
    qDebug() << "DeviceFinder::getSearchedDevices() devices.size():" << m_devices.size();
    stopHelper();
    if (m_socket)
        m_socket->close();
    if (m_devices.isEmpty())
        return QByteArray();
    QString text = QStringLiteral("[");
    for (int i = 0; i < m_devices.size(); ++i) {
        if (i > 0)
            text += QLatin1Char(',');
        text += m_devices.at(i).toJson();
    }
    text += QLatin1Char(']');
    return text.toUtf8();
}
