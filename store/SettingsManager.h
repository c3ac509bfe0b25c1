#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QObject>

#include <atomic>

// The in-memory copy of the Settings row. One global object, g_settings; its members are read
// from many threads without a lock, so they are atomic.
class SettingsManager : public QObject
{
    Q_OBJECT
public:
    explicit SettingsManager(QObject *parent = nullptr);

    // Reloads the members from the row; 5000, 10 and false when it cannot be read.
    void loadSettings();
    // "cfg_getSetting": the row as an object of texts.
    QByteArray getSetting();
    // "cfg_saveSetting".
    QByteArray saveSetting(const t_GetArray &params);

    std::atomic<int> modbusPollInterval{0};
    std::atomic<int> modbusIterDelay{0};
    std::atomic<bool> sessionEnabled{false};
    std::atomic<qint16> defaultAppState{0};
};

extern SettingsManager g_settings;
