#pragma once

#include "DeviceRecord.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QProcess;
class QUdpSocket;

// One network search for devices: starts the search helper program, sends the one-byte probe
// "D" twice (after 500 and 800 ms) and keeps every device that answers until the results are
// collected. Lives in one thread; DeviceSearch gives it to the request handlers.
class DeviceFinder : public QObject
{
    Q_OBJECT
public:
    // Where the probes go and which helper runs; tests point them at loopback and a fake.
    struct Target
    {
        QHostAddress address = QHostAddress(QHostAddress::Broadcast);
        quint16 port = 30303;
        QString helper; // empty: defaultHelper()
    };

    static constexpr int MaxDevices = 1000;

    explicit DeviceFinder(QObject *parent = nullptr);
    explicit DeviceFinder(const Target &target, QObject *parent = nullptr);
    ~DeviceFinder() override;

    // <appdir>/platforms/Pellaris
    static QString defaultHelper();

    // Parses one reply datagram and adds its device.
    void datagramToDevice(const QString &ip, const QString &text);
    // Adds a device unless one with the same ip and mac is listed, or the list is full.
    void addDevice(const QString &name, const QString &ip, int port, const QString &mac, int modbusId);
    // Ends the search (kills the helper, closes the socket) and gives the reply of
    // "getSearchedDevices": the JSON list, or an empty body when nobody answered.
    QByteArray getSearchedDevices();

    QList<DeviceRecord> devices() const { return m_devices; }
    // Datagrams read so far.
    int datagramsRead() const { return m_datagramsRead; }

public slots:
    void processPendingDatagrams();
    void sendBroadcast();

private:
    void stopHelper();

    Target m_target;
    QProcess *m_process = nullptr;
    QUdpSocket *m_socket = nullptr;
    QList<DeviceRecord> m_devices;
    int m_datagramsRead = 0;
};
