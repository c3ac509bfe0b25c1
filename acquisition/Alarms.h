#pragma once

#include "CurrentValue.h"
#include "EmailManager.h"
#include "RequestParams.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class AlarmEvaluator;
class ReadBuffer;

// The alarm evaluator of a polling run: loads the alarm definitions at start, evaluates their
// on- and off-expressions on every tick against the current values they refer to, logs every
// state change and hands the mails to the mail thread. One global object, g_alarms.
class Alarms : public QObject
{
    Q_OBJECT
public:
    struct AlarmEntry
    {
        int id = 0;
        QString expOn;
        QString expOff;
        int state = 0; // 0 normal, 1 active, 2 gone but not confirmed, 3 active and confirmed
        QDateTime setTime;
        QDateTime endTime;
        QString name;
        QString desc;
        int priority = 0;
        int sedMailCond = 0; // 1 mail on activation, 2 on deactivation, 3 both
        QStringList mailRecipients;
        QString mailSubject;
    };

    // How long the main thread waits for one tick's expressions before it counts the rest as
    // script errors; tests may shorten it.
    static int s_evaluationBoundMs;

    explicit Alarms(QObject *parent = nullptr);
    ~Alarms() override;

    // 400 ms.
    bool tryLock();
    void unlock();

    // Polling start: the definitions of the Alarms table, in place of any loaded before.
    void loadAlarms();
    QString translateExpression(const QString &expression);
    // -1 when the reference names no parameter.
    int findParameterId(const QString &reference);
    // Under the alarms' lock; takes the buffer's lock itself.
    void updateValues(ReadBuffer *buffer);
    bool evaluateExpression(const QString &expression, QString *errorText);
    // Under the alarms' lock.
    void checkAlarms();
    EmailManager::Mail2Send createMail(int key) const;

    // Web calls; each takes the lock itself.
    QByteArray confirmAllAlarms();
    QByteArray confirmAlarm(const t_GetArray &params);
    QByteArray getAlarmsStates();

    // Polling stop: every alarm and value is forgotten.
    void clear();

    // Copies for the diagnostics and tests; main thread.
    QHash<int, AlarmEntry> alarms() const { return m_alarms; }
    QHash<int, CurrentValue> values() const { return m_values; }

private:
    enum class Prepared { Script, Invalid, NoValue };
    // The expression with its references replaced by their values, ready for the engine.
    Prepared prepare(const QString &expression, QString *script, QString *errorText) const;
    void activate(int key);
    void goInactive(int key, int newState);
    void logChange(const AlarmEntry &alarm, bool active);
    void queueMail(int key);

    QHash<int, AlarmEntry> m_alarms;
    QHash<int, CurrentValue> m_values;
    QMutex m_mutex;
    std::unique_ptr<AlarmEvaluator> m_evaluator;
};

extern Alarms g_alarms;
