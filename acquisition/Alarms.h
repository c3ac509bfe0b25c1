#pragma once

#include "AlarmEvaluator.h"
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
#include <QVector>

#include <atomic>
#include <memory>

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
    // Waits for the evaluator; for diagnostics and tests, never on a tick.
    bool evaluateExpression(const QString &expression, QString *errorText);
    // Under the alarms' lock: hands the tick's expressions to the evaluator and returns; the
    // states change in this object's thread when the results arrive, under the lock taken then.
    // Does nothing while the previous tick's expressions are still being evaluated.
    void checkAlarms();
    // Any thread: a tick's expressions are being evaluated.
    bool isEvaluating() const { return m_evaluating.load(); }
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
    // What a tick prepared for the state machine, per alarm key: the evaluator's slot of each
    // expression (-1 when none was sent) and the invalid-configuration texts.
    struct PendingTick
    {
        QVector<int> slotOn, slotOff;
        QVector<QString> errOn, errOff;
    };

    enum class Prepared { Script, Invalid, NoValue };
    // The expression with its references replaced by their values, ready for the engine.
    Prepared prepare(const QString &expression, QString *script, QString *errorText) const;
    void applyResults(const PendingTick &tick, const QVector<AlarmEvaluator::Result> &results);
    void activate(int key);
    void goInactive(int key, int newState);
    void logChange(const AlarmEntry &alarm, bool active);
    void queueMail(int key);

    QHash<int, AlarmEntry> m_alarms;
    QHash<int, CurrentValue> m_values;
    QMutex m_mutex;
    std::unique_ptr<AlarmEvaluator> m_evaluator;
    PendingTick m_pending;
    std::atomic<bool> m_evaluating{false};
    // Results for an earlier load or polling run are dropped; under the lock.
    int m_generation = 0;
};

extern Alarms g_alarms;
