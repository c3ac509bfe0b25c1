// Measures the device listing of the browser ("cfg_getDevCfg") on a generated configuration.
// The run script sets the sqlite3 CLI (-json) beside it on the same statements and file.
//
//   config_bench generate <file> <devices> <parameters per device>
//   config_bench call <file> <repeats>        "<best ms> <reply bytes>"
#include "ConfigManager.h"
#include "Database.h"
#include "DeviceManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cstdio>

static int generate(const QString &file, int devices, int perDevice)
{
    ConfigManager config;
    config.dbPath = file;
    config.tempDbPath = file + QStringLiteral(".tmp");
    Database::setLivePath(file);
    if (config.clearDatabase() != QByteArray("{\"success\":true}"))
        return 1;
    Database scope;
    QSqlDatabase db = scope.handle();
    db.transaction();
    QSqlQuery device(db);
    device.prepare(QStringLiteral("INSERT INTO Devices (name,type,ModbusId,ModbusReadFunction,MqttTopic,MqttFormat,"
                                  "MqttMapping,connectionType,idOfConnection,paramModTimestamp,isActive) "
                                  "VALUES(?,?,?,3,'','',?,'tcp',1,1765360000123,1)"));
    QSqlQuery parameter(db);
    parameter.prepare(QStringLiteral("INSERT INTO ConfiguredParameters (idDevice, userDescription, nameId, regAddr, "
                                     "unit, archInterval, regType, regSize, valSize) VALUES (?,?,?,?,?,60,2,16,32)"));
    for (int d = 1; d <= devices; ++d) {
        device.addBindValue(QStringLiteral("Meter %1").arg(d));
        device.addBindValue(QStringLiteral("PM-3"));
        device.addBindValue(d % 247 + 1);
        device.addBindValue(QStringLiteral("{\"a\":1}"));
        if (!device.exec())
            return 2;
        const qlonglong id = device.lastInsertId().toLongLong();
        for (int p = 0; p < perDevice; ++p) {
            parameter.addBindValue(id);
            parameter.addBindValue(QStringLiteral("Voltage L%1 \"phase\"").arg(p));
            parameter.addBindValue(QStringLiteral("u_%1_%2").arg(d).arg(p));
            parameter.addBindValue(p * 2);
            parameter.addBindValue(QStringLiteral("V"));
            if (!parameter.exec())
                return 3;
        }
    }
    return db.commit() ? 0 : 4;
}

static int call(const QString &file, int repeats)
{
    Database::setLivePath(file);
    DeviceManager manager;
    double best = -1;
    int bytes = 0;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QByteArray reply = manager.getDevCfg();
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        bytes = reply.size();
        if (best < 0 || ms < best)
            best = ms;
    }
    std::printf("%.2f %d\n", best, bytes);
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("generate"))
        return generate(args.at(2), args.at(3).toInt(), args.at(4).toInt());
    if (args.size() == 4 && args.at(1) == QLatin1String("call"))
        return call(args.at(2), args.at(3).toInt());
    std::fprintf(stderr, "usage: config_bench generate <file> <devices> <perDevice> | call <file> <repeats>\n");
    return 64;
}
