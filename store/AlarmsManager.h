#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QObject>

// Reads and replaces the alarm definitions of the browser's alarm page. Evaluation is elsewhere;
// saved definitions take effect when polling starts next.
class AlarmsManager : public QObject
{
    Q_OBJECT
public:
    explicit AlarmsManager(QObject *parent = nullptr);

    // "cfg_getAlarmsCfg": every row of Alarms as the row-array listing.
    QByteArray getAlarmsCfg();
    // "cfg_saveAlarmsCfg": replaces the whole table with the array literal in "cfg". One
    // transaction: a malformed list, an empty "exp_on" or a failed insert keeps the old alarms.
    QByteArray saveAlarmsCfg(const t_GetArray &params);
};
