#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QObject>

// The configuration calls of devices with their read blocks and parameters, and of views.
// Every call runs on this thread's database connection and returns the reply body; values from
// the request are bound, lists are read as literals, never run as script.
class DeviceManager : public QObject
{
    Q_OBJECT
public:
    // Creates the Devices table when the open database lacks it.
    explicit DeviceManager(QObject *parent = nullptr);
    ~DeviceManager() override;

    // "cfg_getDevCfg": {"devices":[...],"parameters":[...]}, every value a string, no MqttMapping.
    QByteArray getDevCfg();
    // "cfg_addNewDevice": the device, its read blocks and parameters in one transaction.
    QByteArray addNewDevice(const t_GetArray &params);
    // "cfg_editDevice": replaces the read blocks; with parametersChanged, matches the parameters
    // by register address (kept ids keep their archive rows) and deletes the unlisted ones.
    QByteArray editDevice(const t_GetArray &params);
    // "cfg_removeDevice": the cascades remove read blocks, parameters and their archive rows.
    QByteArray removeDevice(const t_GetArray &params);

    // "cfg_getViewsCfg": [{"id":..,"name":"..","width":..,"height":..,"showTime":..,"widgetsCfg":..},...]
    QByteArray getViewsCfg();
    // "cfg_addNewView": {"success":true,"newViewId": N}
    QByteArray addNewView(const t_GetArray &params);
    QByteArray editView(const t_GetArray &params);
    QByteArray removeView(const t_GetArray &params);
    // "cfg_viewNameExists": {"exists":true} or {"exists":false}, case-sensitive.
    QByteArray viewNameExists(const t_GetArray &params);
    // "updateViewsTimes": the bare text "true" when every key and value was a decimal integer and
    // the update ran, else "false".
    QByteArray updateViewsTimes(const t_GetArray &params);

    bool createDevicesTable();
    bool createTablesIfMissing();
};
