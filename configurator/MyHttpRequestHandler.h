#pragma once

#include "HttpRequestHandler.h"
#include "RequestGate.h"
#include "RequestParams.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <atomic>
#include <functional>

class HttpRequest;
class HttpResponse;
class DeviceSearch;
class QSettings;
class StaticFileController;
class Updates;

namespace vexo {

class Email;
class ModbusEngine;
class ModulesMngr;
class SystemFun;

// Vexo's one request handler: the call point "ajax.html" ("func" names the call), the file pages
// "saveFile.html" and "loadFile.html", and the static files for everything else. No login: every
// call is open to whoever reaches the port. One object serves every connection thread at once;
// the one Modbus engine is used by one thread at a time under a bounded lock.
class MyHttpRequestHandler : public HttpRequestHandler
{
    Q_OBJECT
public:
    static constexpr int ModbusLockWaitMs = 5000;

    // docroot: "config.ini" with the group "docroot" open, shared with the updater; not owned.
    MyHttpRequestHandler(StaticFileController *staticFiles, QSettings *docroot, QObject *parent = nullptr);
    ~MyHttpRequestHandler() override;

    void service(HttpRequest &request, HttpResponse &response) override;

    // Tests point the device search at loopback and a fake helper.
    DeviceSearch *deviceSearch() const { return m_deviceSearch; }
    Updates *updates() const { return m_updates; }
    // Tests hold the lock and shorten its wait.
    QMutex &modbusLock() { return m_modbusLock; }
    void setModbusLockWaitMs(int ms) { m_modbusLockWaitMs = ms; }

signals:
    void restartAppAsAdmin();
    void runAutoUpdate();

private:
    QByteArray call(const QByteArray &func, const t_GetArray &params);
    // The call's reply, or an empty one when the engine stays busy for the whole wait.
    QByteArray underModbusLock(const std::function<QByteArray()> &call);
    QByteArray openFtp(const t_GetArray &params);
    // The error reply of a call whose program could not be started: a start that did not happen
    // is never answered as done. A program that starts and then fails still counts as started.
    static QByteArray notStarted(const QString &program);
    void saveFile(HttpRequest &request, HttpResponse &response, const t_GetArray &params);
    void loadFile(HttpRequest &request, HttpResponse &response);

    StaticFileController *m_staticFiles;
    ModbusEngine *m_modbusEngine;
    ModulesMngr *m_modulesMngr;
    Updates *m_updates;
    Email *m_email;
    DeviceSearch *m_deviceSearch;
    SystemFun *m_systemFun;
    QMutex m_modbusLock;
    std::atomic<int> m_modbusLockWaitMs{ModbusLockWaitMs};
    QString m_documentRoot;
    RequestGate m_gate;
};

} // namespace vexo
