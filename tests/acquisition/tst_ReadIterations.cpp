#include "AcqTestDatabase.h"
#include "ReadIterations.h"

#include <QtTest>

// The plan query of a TCP connection at polling start.
static const char *kPlanQuery =
    "SELECT ModbusId, regAddr, valuesCnt, regType, regSize, valSize, idDevice, ReadIterations.ModbusReadFunction "
    "FROM ReadIterations JOIN Devices ON ReadIterations.idDevice = Devices.idDevices JOIN  TCPConnections ON "
    "Devices.idOfConnection = TCPConnections.idTCPConnections WHERE Devices.idOfConnection = ? AND "
    "Devices.isActive = 1 AND Devices.connectionType = 'tcp' ";

class tst_ReadIterations : public QObject
{
    Q_OBJECT

private:
    AcqTestDatabase m_db;

    static void fill(ReadIterations &plan, int connectionId)
    {
        Database scope;
        QSqlQuery query(scope.handle());
        query.prepare(QString::fromLatin1(kPlanQuery));
        query.addBindValue(connectionId);
        QVERIFY(query.exec());
        while (query.next())
            plan.addFromQuery(&query);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_db.create());
        QVERIFY(AcqTestDatabase::exec("INSERT INTO TCPConnections VALUES (1, 'a', '127.0.0.1', 502, 1000)"));
        QVERIFY(AcqTestDatabase::exec("INSERT INTO TCPConnections VALUES (2, 'b', '127.0.0.1', 503, 1000)"));
        QVERIFY(AcqTestDatabase::addDevice(10, 7, "tcp", 1));
        QVERIFY(AcqTestDatabase::addDevice(11, QVariant(QVariant::Int), "tcp", 1)); // ModbusId NULL
        QVERIFY(AcqTestDatabase::addDevice(12, 9, "tcp", 2)); // connection without blocks
        QVERIFY(AcqTestDatabase::addBlock(10, 100, 5, 2, 16, 32, 65536 + 3));
        QVERIFY(AcqTestDatabase::addBlock(11, 0, 1, 0, 16, 16, 4));
        QVERIFY(AcqTestDatabase::addBlock(10, 40, 200, 7, 32, 32, 3));
    }

    void rowsBecomeBlocksInQueryOrder()
    {
        ReadIterations plan;
        fill(plan, 1);
        QCOMPARE(plan.count(), 3);
        const ReadIteration &first = plan.at(0);
        QCOMPARE(first.ModbusId, 7);
        QCOMPARE(first.regAddr, 100);
        QCOMPARE(first.valuesCnt, 5);
        QCOMPARE(first.regType, 2);
        QCOMPARE(first.regSize, 16);
        QCOMPARE(first.valSize, 32);
        QCOMPARE(first.idDevice, 10);
        QCOMPARE(int(first.ModbusReadFunction), 3); // cut to 16 bits
        QCOMPARE(plan.at(1).ModbusId, 0);           // NULL reads as 0
        QCOMPARE(int(plan.at(1).ModbusReadFunction), 4);
        QCOMPARE(plan.at(2).regAddr, 40);
        QCOMPARE(plan.at(2).valuesCnt, 200);
    }

    void noRowsGiveAnEmptyPlan()
    {
        ReadIterations plan;
        fill(plan, 2);
        QCOMPARE(plan.count(), 0);
    }

    void aQueryOffItsRowsAddsNothing()
    {
        ReadIterations plan;
        Database scope;
        QSqlQuery query(scope.handle());
        query.prepare(QString::fromLatin1(kPlanQuery));
        query.addBindValue(1);
        QVERIFY(query.exec());
        plan.addFromQuery(&query); // before the first row
        while (query.next()) {
        }
        plan.addFromQuery(&query); // after the last
        QCOMPARE(plan.count(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_ReadIterations)
#include "tst_ReadIterations.moc"
