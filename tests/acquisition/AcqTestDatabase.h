#pragma once

// A fresh database of the full schema in a temporary folder, with helpers to add the devices,
// parameters and plan rows that the acquisition tests need.

#include "ConfigManager.h"
#include "Database.h"
#include "ReadBuffer.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>
#include <QtTest>

#include <memory>

class AcqTestDatabase
{
public:
    bool create()
    {
        if (!m_dir.isValid())
            return false;
        ConfigManager manager;
        manager.dbPath = m_dir.filePath(QStringLiteral("db.sqlite"));
        manager.tempDbPath = m_dir.filePath(QStringLiteral("db_temp.sqlite"));
        Database::setLivePath(manager.dbPath);
        return manager.clearDatabase().contains("success");
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }

    // Runs a statement with bound values; fails the calling test on error.
    static bool exec(const QString &sql, const QVariantList &values = {})
    {
        Database scope;
        QSqlQuery query(scope.handle());
        query.prepare(sql);
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (!query.exec()) {
            qWarning("%s: %s", qPrintable(sql), qPrintable(query.lastError().text()));
            return false;
        }
        return true;
    }

    static bool addDevice(int id, const QVariant &modbusId, const QString &connectionType, int connectionId,
                          bool active = true)
    {
        return exec(QStringLiteral("INSERT INTO Devices (idDevices, name, ModbusId, connectionType, idOfConnection, "
                                   "isActive) VALUES (?, ?, ?, ?, ?, ?)"),
                    {id, QStringLiteral("dev%1").arg(id), modbusId, connectionType, connectionId, active ? 1 : 0});
    }

    static bool addParameter(int id, int idDevice, int regAddr, int archInterval, const QString &unit)
    {
        return exec(QStringLiteral("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, unit, "
                                   "archInterval) VALUES (?, ?, ?, ?, ?)"),
                    {id, idDevice, regAddr, unit, archInterval});
    }

    static bool addBlock(int idDevice, int regAddr, int valuesCnt, int regType, int regSize, int valSize,
                         qint64 readFunction = 3)
    {
        return exec(QStringLiteral("INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, valSize, "
                                   "idDevice, ModbusReadFunction) VALUES (?, ?, ?, ?, ?, ?, ?)"),
                    {regAddr, valuesCnt, regType, regSize, valSize, idDevice, readFunction});
    }

    // The rows of ArchiveData as "idParameter|value|dateTime|flag", in insertion order; NULL
    // values read "NULL".
    static QStringList archiveRows()
    {
        Database scope;
        QSqlQuery query(scope.handle());
        QStringList rows;
        if (!query.exec(QStringLiteral("SELECT idParameter, value, dateTime, flag FROM ArchiveData ORDER BY "
                                       "idArchiveData")))
            return {QStringLiteral("query failed: ") + query.lastError().text()};
        while (query.next()) {
            const QVariant value = query.value(1);
            rows << query.value(0).toString() + QLatin1Char('|') +
                        (value.isNull() ? QStringLiteral("NULL")
                                        : QString::number(value.toDouble(), 'g', 17)) +
                        QLatin1Char('|') + query.value(2).toString() + QLatin1Char('|') + query.value(3).toString();
        }
        return rows;
    }

    static int archiveCount()
    {
        Database scope;
        QSqlQuery query(scope.handle());
        if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM ArchiveData")) || !query.next())
            return -1;
        return query.value(0).toInt();
    }

    // The value buffer's query of polling start.
    static const QString &parameterQuery()
    {
        static const QString sql = QStringLiteral(
            "SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters JOIN Devices ON "
            "Devices.idDevices = ConfiguredParameters.idDevice WHERE Devices.isActive = 1");
        return sql;
    }

    // A value buffer over the active devices' parameters, as polling start builds it.
    static std::unique_ptr<ReadBuffer> makeBuffer()
    {
        Database scope;
        QSqlQuery query(scope.handle());
        if (!query.exec(parameterQuery()))
            return nullptr;
        return std::make_unique<ReadBuffer>(query, nullptr);
    }

private:
    QTemporaryDir m_dir;
};

// Holds a buffer's lock from another thread, as a busy reader would, until it goes away.
class BufferLockHolder
{
public:
    explicit BufferLockHolder(BufferInterface *buffer)
        : m_thread(QThread::create([this, buffer] {
              if (!buffer->tryLock())
                  return;
              m_held = 1;
              while (m_release.loadAcquire() == 0)
                  QThread::msleep(5);
              buffer->unlock();
          }))
    {
        m_thread->start();
    }
    ~BufferLockHolder() { release(); }
    bool held() const { return m_held.loadAcquire() == 1; }
    bool release()
    {
        m_release = 1;
        return m_thread->wait(5000);
    }

private:
    QAtomicInt m_held = 0;
    QAtomicInt m_release = 0;
    std::unique_ptr<QThread> m_thread;
};
