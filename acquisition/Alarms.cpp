#include "Alarms.h"

#include "AlarmEvaluator.h"
#include "Database.h"
#include "GlobalsOrder.h"
#include "JsonReply.h"
#include "Logs.h"
#include "ReadBuffer.h"
#include "ScriptLiteral.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QVariant>

Alarms g_alarms DALVORAN_INIT_ORDER(GlobalsOrder::Alarms);

namespace {

// A script error counts as true: an alarm whose expression cannot be evaluated goes active.
bool countsAsTrue(AlarmEvaluator::Result result)
{
    return result == AlarmEvaluator::Result::True || result == AlarmEvaluator::Result::ScriptError;
}

const QRegularExpression &referencePattern()
{
    static const QRegularExpression pattern(QStringLiteral("\\{[^\\}]*\\}"));
    return pattern;
}

// The references of an expression in their order, each as written (braces included).
QStringList referencesOf(const QString &expression)
{
    QStringList refs;
    QRegularExpressionMatchIterator it = referencePattern().globalMatch(expression);
    while (it.hasNext())
        refs << it.next().captured(0);
    return refs;
}

const char *const kTimeFormat = "yyyy-MM-dd hh:mm:ss";

} // namespace

Alarms::Alarms(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<EmailManager::Mail2Send>("EmailManager::Mail2Send");
}

Alarms::~Alarms()
{
    // Before the tables go: the evaluator's thread may still hand results to this object.
    m_evaluator.reset();
}

bool Alarms::tryLock() { return m_mutex.tryLock(400); }

void Alarms::unlock() { m_mutex.unlock(); }

void Alarms::loadAlarms()
{
    // HTTP threads read the tables meanwhile: they wait or answer "Alarms Mutex error".
    QMutexLocker lock(&m_mutex);
    m_alarms.clear();
    m_values.clear();
    // A batch handed over before changes nothing of the new tables.
    ++m_generation;
    m_evaluating = false;
    Database scope;
    QSqlQuery query(scope.handle());
    if (!query.exec(QStringLiteral("SELECT idAlarms, name, desc, priority, exp_on, exp_off, sedMailCond, "
                                   "mailRecipients, mailSubject FROM Alarms")))
        return;
    int key = 0;
    while (query.next()) {
        AlarmEntry alarm;
        alarm.id = query.value(0).toInt();
        alarm.name = query.value(1).toString();
        alarm.desc = query.value(2).toString();
        alarm.priority = query.value(3).toInt();
        alarm.expOn = translateExpression(query.value(4).toString());
        alarm.expOff = translateExpression(query.value(5).toString());
        alarm.sedMailCond = query.value(6).toInt();
        alarm.mailRecipients = query.value(7).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
        alarm.mailSubject = query.value(8).toString();
        m_alarms.insert(key++, alarm);
    }
}

QString Alarms::translateExpression(const QString &expression)
{
    QString result = expression;
    const QStringList refs = referencesOf(expression);
    for (const QString &ref : refs) {
        const int id = findParameterId(ref);
        if (id == -1)
            continue;
        result.replace(ref, QLatin1Char('{') + QString::number(id) + QLatin1Char('}'));
        if (!m_values.contains(id))
            m_values.insert(id, CurrentValue());
    }
    return result;
}

int Alarms::findParameterId(const QString &reference)
{
    QString bare = reference;
    bare.remove(QLatin1Char('{')).remove(QLatin1Char('}'));
    const QStringList parts = bare.split(QLatin1Char('$'), Qt::KeepEmptyParts);
    if (parts.size() != 2)
        return -1;
    Database scope;
    QSqlQuery query(scope.handle());
    bool isAddress = false;
    const int regAddr = parts.at(1).toInt(&isAddress, 10);
    // Both parts are bound: a reference is text from the configuration, never SQL.
    if (isAddress) {
        query.prepare(QStringLiteral("SELECT idParameters FROM ConfiguredParameters WHERE idDevice=? AND regAddr = ?"));
        query.addBindValue(parts.at(0));
        query.addBindValue(regAddr);
    } else {
        query.prepare(QStringLiteral("SELECT idParameters FROM ConfiguredParameters WHERE idDevice=? AND nameId = ?"));
        query.addBindValue(parts.at(0));
        query.addBindValue(parts.at(1));
    }
    if (!query.exec() || !query.next())
        return -1;
    bool ok = false;
    const int id = query.value(0).toInt(&ok);
    return ok ? id : -1;
}

void Alarms::updateValues(ReadBuffer *buffer)
{
    if (!buffer || !buffer->tryLock())
        return;
    for (auto it = m_values.begin(); it != m_values.end(); ++it)
        *it = buffer->value(it.key());
    buffer->unlock();
}

Alarms::Prepared Alarms::prepare(const QString &expression, QString *script, QString *errorText) const
{
    *script = expression;
    const QStringList refs = referencesOf(expression);
    for (const QString &ref : refs) {
        QString bare = ref;
        bare.remove(QLatin1Char('{')).remove(QLatin1Char('}'));
        const int id = bare.toInt();
        const auto it = m_values.constFind(id);
        if (it == m_values.constEnd()) {
            *errorText = tr("*** INVALID CONFIGURATION (unknown parameter: ") + ref + QStringLiteral(") ***");
            return Prepared::Invalid;
        }
        if (it->flag != 0)
            return Prepared::NoValue;
        // In parentheses and in a form that reads back as the same number, so that a negative
        // value after an operator or a large one keeps its meaning.
        script->replace(ref, QLatin1Char('(') + ScriptLiteral::numberText(it->value) + QLatin1Char(')'));
    }
    return Prepared::Script;
}

bool Alarms::evaluateExpression(const QString &expression, QString *errorText)
{
    QString script;
    QString error;
    if (prepare(expression, &script, &error) != Prepared::Script) {
        if (errorText && !error.isEmpty())
            *errorText = error;
        return false;
    }
    if (script.isEmpty())
        return false;
    if (!m_evaluator)
        m_evaluator = std::make_unique<AlarmEvaluator>();
    const AlarmEvaluator::Result result = m_evaluator->evaluate({script}).value(0, AlarmEvaluator::Result::NotEvaluated);
    return countsAsTrue(result);
}

void Alarms::checkAlarms()
{
    if (m_evaluating)
        return;
    const int n = m_alarms.size();
    PendingTick tick;
    tick.slotOn.fill(-1, n);
    tick.slotOff.fill(-1, n);
    tick.errOn.resize(n);
    tick.errOff.resize(n);
    QStringList scripts;
    for (int k = 0; k < n; ++k) {
        const AlarmEntry &alarm = m_alarms[k];
        QString script;
        if (prepare(alarm.expOn, &script, &tick.errOn[k]) == Prepared::Script && !script.isEmpty()) {
            tick.slotOn[k] = scripts.size();
            scripts << script;
        }
        if (prepare(alarm.expOff, &script, &tick.errOff[k]) == Prepared::Script && !script.isEmpty()) {
            tick.slotOff[k] = scripts.size();
            scripts << script;
        }
    }
    if (scripts.isEmpty()) {
        applyResults(tick, {});
        return;
    }
    if (!m_evaluator)
        m_evaluator = std::make_unique<AlarmEvaluator>();
    // The expressions may run for seconds: neither this thread nor the lock waits for them.
    m_pending = tick;
    m_evaluating = true;
    const int generation = m_generation;
    m_evaluator->submit(scripts, [this, generation](const QVector<AlarmEvaluator::Result> &results) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, results] {
                QMutexLocker lock(&m_mutex);
                if (generation != m_generation)
                    return;
                m_evaluating = false;
                applyResults(m_pending, results);
            },
            Qt::QueuedConnection);
    });
}

void Alarms::applyResults(const PendingTick &tick, const QVector<AlarmEvaluator::Result> &results)
{
    using Result = AlarmEvaluator::Result;
    // Alarms loaded after the hand-over are not in the tick.
    const int n = qMin(m_alarms.size(), tick.slotOn.size());
    for (int k = 0; k < n; ++k) {
        const Result resultOn = tick.slotOn[k] >= 0 ? results.value(tick.slotOn[k]) : Result::False;
        const Result resultOff = tick.slotOff[k] >= 0 ? results.value(tick.slotOff[k]) : Result::False;
        // As on a tick that skips the alarms: what was not evaluated changes nothing.
        if (resultOn == Result::NotEvaluated || resultOff == Result::NotEvaluated)
            continue;
        AlarmEntry &alarm = m_alarms[k];
        const bool on = countsAsTrue(resultOn);
        const bool off = countsAsTrue(resultOff);
        const bool gone = alarm.expOff.isEmpty() ? !on : off;
        const QString &errOn = tick.errOn[k];
        const QString &errOff = tick.errOff[k];
        const bool anyError = !errOn.isEmpty() || !errOff.isEmpty();
        switch (alarm.state) {
        case 0:
        case 2:
            if (!errOn.isEmpty()) {
                alarm.desc = errOn;
                activate(k);
            } else if (!errOff.isEmpty()) {
                alarm.desc = errOff;
                activate(k);
            } else if (on) {
                activate(k);
            }
            break;
        case 1:
            if (!anyError && gone) {
                alarm.endTime = QDateTime::currentDateTime();
                goInactive(k, 2);
            }
            break;
        case 3:
            if (!anyError && gone)
                goInactive(k, 0);
            break;
        default:
            break;
        }
    }
}

void Alarms::activate(int key)
{
    AlarmEntry &alarm = m_alarms[key];
    alarm.state = 1;
    alarm.setTime = QDateTime::currentDateTime();
    logChange(alarm, true);
    if (alarm.sedMailCond == 1 || alarm.sedMailCond == 3)
        queueMail(key);
}

void Alarms::goInactive(int key, int newState)
{
    AlarmEntry &alarm = m_alarms[key];
    alarm.state = newState;
    logChange(alarm, false);
    if (alarm.sedMailCond == 2 || alarm.sedMailCond == 3)
        queueMail(key);
}

void Alarms::logChange(const AlarmEntry &alarm, bool active)
{
    const QString what = active ? tr("is <strong>active</strong>") : tr("is <strong>inactive</strong>");
    Logs::addLog(Logs::Alarm, QStringLiteral("Alarm \"") + alarm.name + QStringLiteral("\" ") + what +
                                  QStringLiteral(" (") + alarm.desc + QLatin1Char(')'));
}

void Alarms::queueMail(int key)
{
    if (!g_emailManager)
        return;
    const EmailManager::Mail2Send mail = createMail(key);
    // By name and under the registered type name, queued into the mail thread, which owns its copy.
    QMetaObject::invokeMethod(g_emailManager, "addMail2Queue", Qt::QueuedConnection,
                              QArgument<EmailManager::Mail2Send>("EmailManager::Mail2Send", mail));
}

EmailManager::Mail2Send Alarms::createMail(int key) const
{
    const AlarmEntry alarm = m_alarms.value(key);
    EmailManager::Mail2Send mail;
    mail.recipients = alarm.mailRecipients;
    mail.subject = alarm.mailSubject.isEmpty() ? tr("Alarm notification from Dalvoran") : alarm.mailSubject;
    const QString when = alarm.setTime.toString(QLatin1String(kTimeFormat));
    if (alarm.state == 1) {
        mail.body = QStringLiteral("<p style=\"color: red;\">(") + when + QStringLiteral(") Alarm \"") + alarm.name +
                    QStringLiteral("\" ") + tr("is <strong>active</strong>") + QStringLiteral(" (") + alarm.desc +
                    QStringLiteral(")</p>");
    } else if (alarm.state == 0 || alarm.state == 2) {
        mail.body = QStringLiteral("<p>(") + when + QStringLiteral(") Alarm \"") + alarm.name + QStringLiteral("\" ") +
                    tr("is <strong>inactive</strong>") + QStringLiteral(" (") + alarm.desc + QStringLiteral(")</p>");
    }
    mail.sendAttempts = 0;
    return mail;
}

// A confirmed active alarm stays active but acknowledged; a confirmed ended one is cleared.
static void confirm(Alarms::AlarmEntry &alarm)
{
    if (alarm.state == 1)
        alarm.state = 3;
    else if (alarm.state == 2)
        alarm.state = 0;
}

QByteArray Alarms::confirmAllAlarms()
{
    if (!tryLock())
        return buildErrorJson(QStringLiteral("Alarms Mutex error"));
    for (AlarmEntry &alarm : m_alarms)
        confirm(alarm);
    unlock();
    return plainSuccessJson();
}

QByteArray Alarms::confirmAlarm(const t_GetArray &params)
{
    if (!tryLock())
        return buildErrorJson(QStringLiteral("Alarms Mutex error"));
    const int id = RequestParams::integer(params, "id", 0);
    for (int k = 0; k < m_alarms.size(); ++k) {
        AlarmEntry &alarm = m_alarms[k];
        if (alarm.id != id)
            continue;
        confirm(alarm);
        unlock();
        return plainSuccessJson();
    }
    unlock();
    return buildErrorJson(QStringLiteral("Didn't found alarm id"));
}

QByteArray Alarms::getAlarmsStates()
{
    if (!tryLock())
        return buildErrorJson(QStringLiteral("Alarms Mutex error"));
    QString text = QStringLiteral("[");
    for (int k = 0; k < m_alarms.size(); ++k) {
        const AlarmEntry &alarm = m_alarms[k];
        if (alarm.state == 0)
            continue;
        text += QStringLiteral("{\"id\":") + QString::number(alarm.id) + QStringLiteral(",\"flag\":") +
                QString::number(alarm.state) + QStringLiteral(",\"setTime\":\"") +
                alarm.setTime.toString(QLatin1String(kTimeFormat)) + QStringLiteral("\",\"endTime\":\"") +
                (alarm.state == 2 ? alarm.endTime.toString(QLatin1String(kTimeFormat)) : QStringLiteral("---")) +
                QStringLiteral("\",\"name\":\"") + JsonReply::escape(alarm.name) + QStringLiteral("\",\"desc\":\"") +
                JsonReply::escape(alarm.desc) + QStringLiteral("\",\"priority\":") + QString::number(alarm.priority) +
                QStringLiteral("},");
    }
    if (text.size() == 1)
        text += QLatin1Char(']');
    else
        text[text.size() - 1] = QLatin1Char(']');
    unlock();
    return text.toUtf8();
}

void Alarms::clear()
{
    std::unique_ptr<AlarmEvaluator> evaluator;
    {
        QMutexLocker lock(&m_mutex);
        m_alarms.clear();
        m_values.clear();
        ++m_generation;
        m_evaluating = false;
        // The evaluator's thread and child live for one polling run.
        evaluator = std::move(m_evaluator);
    }
    // Its child is reaped without the web calls waiting for that.
    evaluator.reset();
}
