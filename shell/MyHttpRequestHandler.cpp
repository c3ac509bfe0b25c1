#include "MyHttpRequestHandler.h"

#include "Alarms.h"
#include "AlarmsManager.h"
#include "ArchiveManager.h"
#include "ConfigManager.h"
#include "ConnectionManager.h"
#include "Database.h"
#include "DeviceManager.h"
#include "DeviceSearch.h"
#include "HttpCookie.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "HttpSessionStore.h"
#include "JsonReply.h"
#include "Logs.h"
#include "ModbusEngine.h"
#include "Poller.h"
#include "SMTPManager.h"
#include "SettingsManager.h"
#include "StaticFileController.h"
#include "Stats.h"
#include "SystemFun.h"
#include "Updates.h"
#include "UsersManager.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTime>
#include <QTimer>

#include <cstring>
#include <memory>

using Guard = CallTable::Guard;

namespace {

// The login page is exempt from the login only when it is the page asked for, never a folder
// or a file name that merely ends in it ("/exportConfig.html;/login.html" is the login page,
// "/exportConfig.html/login.html" too, and neither reaches the export).
bool isLoginPage(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1) == "login.html";
}

// A cookie name as HTTP defines a token: visible characters without separators.
bool isCookieToken(const QByteArray &name)
{
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127 || std::strchr("()<>@,;:\\\"/[]?={}", c))
            return false;
    }
    return true;
}

// The file name of a Content-Disposition header as a quoted string.
QByteArray quotedFileName(const QByteArray &name)
{
    QByteArray out = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\')
            out.append('\\');
        out.append(c);
    }
    return out.append('"');
}

} // namespace

MyHttpRequestHandler::MyHttpRequestHandler(StaticFileController *staticFiles, HttpSessionStore *sessions,
                                           QSettings *docroot, QObject *parent, const QString &appDir)
    : HttpRequestHandler(parent), m_staticFiles(staticFiles), m_sessions(sessions),
      m_appDir(appDir.isEmpty() ? QCoreApplication::applicationDirPath() : appDir), m_gate(docroot->fileName()),
      m_calls(&m_databaseMutex, &m_modbusMutex, [this]() { return pollingRuns(); })
{
    m_modbusEngine = new ModbusEngine(this);
    m_configManager = new ConfigManager(this);
    m_configManager->dbPath = m_appDir + QStringLiteral("/db.sqlite");
    m_configManager->tempDbPath = m_appDir + QStringLiteral("/db_temp.sqlite");
    if (m_configManager->databaseExists())
        m_configManager->openDatabase();
    else
        m_configManager->clearDatabase();
    {
        Database scope;
        QSqlQuery(scope.handle()).exec(QStringLiteral("PRAGMA foreign_keys = ON;"));
    }

    m_connectionManager = new ConnectionManager(this);
    m_deviceManager = new DeviceManager(this);
    m_archiveManager = new ArchiveManager(this);
    m_alarmsManager = new AlarmsManager(this);
    g_settings.loadSettings();
    m_poller = new Poller(m_connectionManager, this);
    // Read before the updater takes the settings object on to its own group.
    const QString documentRoot = docroot->value(QStringLiteral("path"), QStringLiteral(".")).toString();
    m_updates = new Updates(docroot, this);
    m_systemFun = new SystemFun(this, documentRoot);
    m_deviceSearch = new DeviceSearch(this);

    connect(this, &MyHttpRequestHandler::startPolling, m_poller, &Poller::startPolling);
    connect(this, &MyHttpRequestHandler::stopPolling, m_poller, &Poller::stopPolling);

    bindCalls();

    m_flagTimer = new QTimer(this);
    connect(m_flagTimer, &QTimer::timeout, this, &MyHttpRequestHandler::checkFlags);
    m_flagTimer->start(1000);

    if (g_settings.defaultAppState == 1)
        emit startPolling();
}

MyHttpRequestHandler::~MyHttpRequestHandler() = default;

bool MyHttpRequestHandler::pollingRuns() const { return m_poller->isRunning(); }

void MyHttpRequestHandler::stopForExit()
{
    m_flagTimer->stop();
    if (pollingRuns())
        emit stopPolling();
}

void MyHttpRequestHandler::setLockWaits(int databaseMs, int modbusMs, int flagsMs)
{
    m_databaseWait = databaseMs;
    m_flagsWait = flagsMs;
    m_calls.setWaits(CallTable::Waits{databaseMs, modbusMs});
}

void MyHttpRequestHandler::bindCalls()
{
    // Each name is one line: the operation it runs and, for the other calls, its lock and rights.
    auto cfg = [this](const QByteArray &name, CallTable::Call call) { m_calls.addConfig(name, std::move(call)); };
    auto call = [this](const QByteArray &name, CallTable::Call call, Guard guard = Guard::None, bool full = false) {
        m_calls.add(name, std::move(call), guard, full);
    };
    AlarmsManager *alarms = m_alarmsManager;
    ArchiveManager *archive = m_archiveManager;
    ConfigManager *config = m_configManager;
    ConnectionManager *connections = m_connectionManager;
    DeviceManager *devices = m_deviceManager;
    ModbusEngine *engine = m_modbusEngine;
    SystemFun *system = m_systemFun;
    Updates *updates = m_updates;
    DeviceSearch *search = m_deviceSearch;

    cfg("cfg_getConfiguredConnection", [=](const t_GetArray &, int) { return connections->getConfiguredConnection(); });
    cfg("cfg_addNewSerialConnection", [=](const t_GetArray &p, int) { return connections->addNewSerialConnection(p); });
    cfg("cfg_editSerialConnection", [=](const t_GetArray &p, int) { return connections->editSerialConnection(p); });
    cfg("cfg_removeSerialConnection", [=](const t_GetArray &p, int) { return connections->removeSerialConnection(p); });
    cfg("cfg_addNewTcpConnection", [=](const t_GetArray &p, int) { return connections->addNewTcpConnection(p); });
    cfg("cfg_editTcpConnection", [=](const t_GetArray &p, int) { return connections->editTcpConnection(p); });
    cfg("cfg_removeTcpConnection", [=](const t_GetArray &p, int) { return connections->removeTcpConnection(p); });
    cfg("cfg_addNewMqttConnection", [=](const t_GetArray &p, int) { return connections->addNewMqttConnection(p); });
    cfg("cfg_editMqttConnection", [=](const t_GetArray &p, int) { return connections->editMqttConnection(p); });
    cfg("cfg_removeMqttConnection", [=](const t_GetArray &p, int) { return connections->removeMqttConnection(p); });
    cfg("cfg_getDevCfg", [=](const t_GetArray &, int) { return devices->getDevCfg(); });
    cfg("cfg_addNewDevice", [=](const t_GetArray &p, int) { return devices->addNewDevice(p); });
    cfg("cfg_editDevice", [=](const t_GetArray &p, int) { return devices->editDevice(p); });
    cfg("cfg_removeDevice", [=](const t_GetArray &p, int) { return devices->removeDevice(p); });
    cfg("cfg_getViewsCfg", [=](const t_GetArray &, int) { return devices->getViewsCfg(); });
    cfg("cfg_addNewView", [=](const t_GetArray &p, int) { return devices->addNewView(p); });
    cfg("cfg_editView", [=](const t_GetArray &p, int) { return devices->editView(p); });
    cfg("cfg_removeView", [=](const t_GetArray &p, int) { return devices->removeView(p); });
    cfg("cfg_viewNameExists", [=](const t_GetArray &p, int) { return devices->viewNameExists(p); });

    cfg("cfg_getAlarmsCfg", [=](const t_GetArray &, int) { return alarms->getAlarmsCfg(); });
    cfg("cfg_saveAlarmsCfg", [=](const t_GetArray &p, int) { return alarms->saveAlarmsCfg(p); });
    cfg("cfg_getSetting", [](const t_GetArray &, int) { return g_settings.getSetting(); });
    cfg("cfg_saveSetting", [](const t_GetArray &p, int) { return g_settings.saveSetting(p); });
    cfg("cfg_getUsersCfg", [](const t_GetArray &, int) { return g_usersManager.getUsersCfg(); });
    cfg("cfg_addNewUser", [](const t_GetArray &p, int) { return g_usersManager.addNewUser(p); });
    cfg("cfg_editUser", [](const t_GetArray &p, int) { return g_usersManager.editUser(p); });
    cfg("cfg_setUserPass", [](const t_GetArray &p, int) { return g_usersManager.setUserPass(p); });
    cfg("cfg_removeUser", [](const t_GetArray &p, int) { return g_usersManager.removeUser(p); });
    // A read-only user sees the mail settings without the password.
    cfg("cfg_getSMTPSetting", [](const t_GetArray &, int privilege) { return g_smtpManager.getSMTPSetting(privilege == 1); });
    cfg("cfg_saveSMTPSetting", [](const t_GetArray &p, int) { return g_smtpManager.saveSMTPSetting(p); });
    cfg("cfg_clearDatabase", [=](const t_GetArray &, int) { return config->clearDatabase(); });
    cfg("cfg_convertDatabase", [=](const t_GetArray &, int) { return config->convertDatabase(); });

    Poller *poller = m_poller;

    call("getAppState", [=](const t_GetArray &, int) { return poller->getAppState(); });
    call("startPolling", [this](const t_GetArray &, int) { return requestPolling(true); });
    call("stopPolling", [this](const t_GetArray &, int) { return requestPolling(false); });
    call("getAllValues", [=](const t_GetArray &, int) { return poller->getAllValues(); });
    call("getArchGeneralInfo", [=](const t_GetArray &, int) { return archive->getArchGeneralInfo(); });
    call("getArchGridData", [=](const t_GetArray &p, int) { return archive->getArchGridData(p); });
    call("generateCSVFile", [=](const t_GetArray &p, int) { return archive->generateCSVFile(p); });
    call("getReportGridData", [=](const t_GetArray &p, int) { return archive->getReportGridData(p); });
    call("deleteArchivedData", [=](const t_GetArray &, int) { return archive->deleteArchivedData(); }, Guard::None, true);
    call("getLogsGridData", [](const t_GetArray &p, int) { return Logs::getLogsGridData(p, false); });
    call("deleteLogsEnries", [](const t_GetArray &p, int) { return Logs::getLogsGridData(p, true); }, Guard::None, true);
    call("getAlarmsStates", [](const t_GetArray &, int) { return g_alarms.getAlarmsStates(); });
    call("confirmAlarm", [](const t_GetArray &p, int) { return g_alarms.confirmAlarm(p); });
    call("confirmAllAlarms", [](const t_GetArray &, int) { return g_alarms.confirmAllAlarms(); });
    call("getModbusStats", [](const t_GetArray &, int) { return g_stats.getModbusStats(); }, Guard::Statistics);
    call("getMqttStats", [](const t_GetArray &, int) { return g_stats.getMqttStats(); }, Guard::Statistics);
    call("resetAllStats", [](const t_GetArray &, int) { g_stats.resetAllStats(); return plainSuccessJson(); }, Guard::Statistics);
    call("resetModbusStats", [](const t_GetArray &, int) { g_stats.resetModbusStats(); return plainSuccessJson(); }, Guard::Statistics);
    call("resetMqttStats", [](const t_GetArray &, int) { g_stats.resetMqttStats(); return plainSuccessJson(); }, Guard::Statistics);
    call("getGeneralInfo", [=](const t_GetArray &, int privilege) { return system->getGeneralInfo(privilege); });
    call("startSearchingDevices", [=](const t_GetArray &, int) { return search->startSearchingDevices(); });
    call("getSearchedDevices", [=](const t_GetArray &, int) { return search->getSearchedDevices(); });
    call("updateViewsTimes", [=](const t_GetArray &p, int) { return devices->updateViewsTimes(p); });
    call("sendTestEmail", [](const t_GetArray &p, int) { return g_smtpManager.sendTestMail(p); });
    call("pingDevice", [=](const t_GetArray &p, int) { return engine->pingDevice(p); }, Guard::Modbus);
    call("getPortSettings", [](const t_GetArray &, int) { return QByteArray(); }, Guard::Modbus);
    call("check4Updates", [=](const t_GetArray &p, int) { t_GetArray copy = p; return updates->check4Updates(copy); });
    // Installing modules replaces files of the installation: full rights only.
    call("startUpdating", [=](const t_GetArray &p, int) { t_GetArray copy = p; return updates->startUpdating(copy); }, Guard::None, true);
    call("getUpdateStatus", [=](const t_GetArray &, int) { return updates->getUpdateStatus(); });
    // The restart hands the installation to another program: full rights only.
    call("runAsAdministrator", [this](const t_GetArray &, int) { emit restartAppAsAdmin(); return QByteArray(); }, Guard::None, true);
}

QByteArray MyHttpRequestHandler::requestPolling(bool start)
{
    if (!m_flagsMutex.tryLock(m_flagsWait))
        return QByteArray();
    (start ? m_startRequested : m_stopRequested) = true;
    m_flagsMutex.unlock();
    return start ? m_poller->requestStart() : m_poller->requestStop();
}

void MyHttpRequestHandler::checkFlags()
{
    if (!m_flagsMutex.tryLock(m_flagsWait))
        return;
    const bool start = m_startRequested;
    const bool stop = m_stopRequested;
    m_startRequested = m_stopRequested = false;
    m_flagsMutex.unlock();
    // Emitted outside the lock: the poller's start and stop take their time, and a browser that
    // asks meanwhile should not wait for them.
    if (start)
        emit startPolling();
    if (stop)
        emit stopPolling();
}

void MyHttpRequestHandler::answerJson(HttpResponse &response, const QByteArray &body)
{
    response.setStatus(200, "OK");
    response.setHeader("Content-Type", "text/html");
    response.write(body, true);
}

void MyHttpRequestHandler::answerEmpty(HttpResponse &response, int status, const QByteArray &text)
{
    response.setStatus(status, text);
    response.write(QByteArray(), true);
}

bool MyHttpRequestHandler::admitted(const HttpRequest &request, HttpResponse &response) const
{
    // Everything but the plain files of the document root may act or hand out data: the call
    // point, the file pages and the login page (a login is a change too). A page of another site
    // may embed files, never drive these.
    const QByteArray path = request.getPath();
    bool staticFile = !isLoginPage(path) && !path.contains("ajax.html");
    for (const char *page : {"saveFile.html", "exportConfig.html", "downloadCSV.html", "importConfig.html", "loadFile.html"})
        staticFile = staticFile && !path.contains(page);
    return m_gate.admit(request, response, staticFile);
}

void MyHttpRequestHandler::service(HttpRequest &request, HttpResponse &response)
{
    if (!admitted(request, response))
        return;
    const t_GetArray params = request.getParameterMap();
    const QByteArray path = request.getPath();
    const bool loginPage = isLoginPage(path);

    if (!g_settings.sessionEnabled) {
        if (loginPage) {
            response.redirect("root/home.html");
            return;
        }
        servePage(request, response, params, 255);
        return;
    }

    // Only the login page opens a session. A login gives the session a new id, so requests that
    // were under way with the old one (a favicon, a script) come back unknown; were they to open
    // sessions of their own, their cookies would replace the new one and undo the login.
    HttpSession session = m_sessions->getSession(request, response, loginPage);
    session.setLastAccess();
    if (!session.contains("username")) {
        loginStep(request, response, params, session);
        return;
    }

    const int privilege = static_cast<qint16>(session.get("priv").toInt());
    if (request.getCookie("user").isEmpty())
        response.setCookie(HttpCookie("user", session.get("username").toString().toUtf8(), 0, "/"));
    if (loginPage) {
        if (RequestParams::has(params, "logout")) {
            m_sessions->removeSession(session);
            response.redirect("login.html");
        } else {
            response.redirect("root/home.html");
        }
        return;
    }
    servePage(request, response, params, privilege);
}

void MyHttpRequestHandler::loginStep(HttpRequest &request, HttpResponse &response, const t_GetArray &params,
                                     HttpSession &session)
{
    const QByteArray path = request.getPath();
    if (isLoginPage(path)) {
        if (RequestParams::has(params, "username") && RequestParams::has(params, "password")) {
            const QString user = RequestParams::text(params, "username");
            const int permissions = g_usersManager.checkUser(user, RequestParams::text(params, "password"));
            if (permissions == 0) {
                answerJson(response, "{\"success\":false}");
                return;
            }
            // A fresh id at login: an id that someone planted before the login is worth nothing.
            HttpSession renewed = m_sessions->renewSession(session, response);
            renewed.set("username", user);
            renewed.set("logintime", QTime::currentTime());
            renewed.set("priv", permissions);
            response.setCookie(HttpCookie("user", user.toUtf8(), 0, "/"));
            answerJson(response, plainSuccessJson());
            return;
        }
        // The login page itself, and nothing else: no file page and no call is reached this way.
        m_staticFiles->service(request, response);
        return;
    }
    if (path.contains("index.html")) {
        response.redirect("login.html");
    } else if (path.contains("ajax.html")) {
        answerJson(response, buildErrorJson(QStringLiteral("User not logged in")));
    } else if (path.contains(".html")) {
        response.redirect("/login.html");
    } else {
        // Scripts, style sheets and images of the login page.
        m_staticFiles->service(request, response);
    }
}

void MyHttpRequestHandler::servePage(HttpRequest &request, HttpResponse &response, const t_GetArray &params,
                                     int privilege)
{
    const QByteArray path = request.getPath();
    if (path.contains("ajax.html"))
        runCall(params, privilege, response);
    else if (path.contains("saveFile.html"))
        saveFile(request, response, params);
    else if (path.contains("exportConfig.html"))
        exportConfig(response, params, privilege);
    else if (path.contains("downloadCSV.html"))
        downloadCsv(response);
    else if (path.contains("importConfig.html"))
        importConfig(request, response, params, privilege);
    else if (path.contains("loadFile.html"))
        loadFile(request, response, privilege);
    else
        m_staticFiles->service(request, response);
}

void MyHttpRequestHandler::runCall(const t_GetArray &params, int privilege, HttpResponse &response)
{
    answerJson(response, m_calls.run(RequestParams::raw(params, "func"), params, privilege));
}

void MyHttpRequestHandler::saveFile(HttpRequest &request, HttpResponse &response, const t_GetArray &params)
{
    if (!RequestParams::has(params, "filename") || !RequestParams::has(params, "fileContent")) {
        answerEmpty(response, 400, "Bad Request");
        return;
    }
    const QByteArray fileName = RequestParams::raw(params, "filename");
    if (!HttpResponse::isHeaderSafe(fileName)) {
        answerEmpty(response, 400, "Bad Request");
        return;
    }
    if (fileName.contains(".pdf")) {
        const QByteArray pdf = m_systemFun->htmlToPdf(RequestParams::text(params, "fileContent"));
        if (pdf.isEmpty()) {
            // An empty document would pass for a PDF that the browser cannot open.
            answerEmpty(response, 500, "Internal error");
            return;
        }
        response.setStatus(200, "OK");
        response.setHeader("Content-Disposition", "attachment; filename=" + quotedFileName(fileName));
        response.setHeader("Content-type", "application/pdf");
        response.write(pdf, true);
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-Disposition", "attachment; filename=" + quotedFileName(fileName));
    if (fileName.contains(".csv")) {
        response.setHeader("Content-type", "text/csv");
    } else {
        const QByteArray type = request.getHeader("Content-type");
        if (!type.isEmpty())
            response.setHeader("Content-type", type);
    }
    if (RequestParams::has(params, "formToken")) {
        // The page learns from this cookie that its download has started; it never replaces the
        // session's own cookie.
        const QByteArray token = RequestParams::raw(params, "formToken");
        if (isCookieToken(token) && token != m_sessions->cookieName())
            response.setCookie(HttpCookie(token, "1", 0, "/"));
    }
    response.write(RequestParams::raw(params, "fileContent"), true);
}

void MyHttpRequestHandler::exportConfig(HttpResponse &response, const t_GetArray &params, int privilege)
{
    // The script and the backup hold password digests and the mail password.
    if (privilege != 255) {
        answerJson(response, CallTable::privilegeError());
        return;
    }
    if (!m_databaseMutex.tryLock(m_databaseWait)) {
        answerEmpty(response, 500, "Internal error");
        return;
    }
    if (RequestParams::integer(params, "withArchive") == 0) {
        const QByteArray script = m_configManager->exportConfig();
        m_databaseMutex.unlock();
        response.setStatus(200, "OK");
        response.setHeader("Content-Disposition", "attachment; filename=Dalvoren_cfg.sql");
        response.setHeader("Content-type", "application/octet-stream");
        response.write(script, true);
        return;
    }

    // A snapshot, never the live file: the archive writer may be inserting meanwhile.
    QTemporaryDir folder;
    const QString snapshot = folder.filePath(QStringLiteral("db_backup.sqlite"));
    QString error;
    const bool taken = folder.isValid() && ConfigManager::backupSnapshot(snapshot, &error);
    m_databaseMutex.unlock();
    QFile file(snapshot);
    if (!taken || !file.open(QIODevice::ReadOnly)) {
        if (!error.isEmpty())
            qWarning("MyHttpRequestHandler: backup failed: %s", qPrintable(error));
        answerEmpty(response, 500, "Internal error");
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-Disposition", "attachment; filename=db_backup.sqlite");
    response.setHeader("Content-type", "application/octet-stream");
    for (;;) {
        const QByteArray piece = file.read(StreamPiece);
        if (piece.isEmpty() || response.hasWriteFailed())
            break;
        response.writeStream(piece);
    }
    response.write(QByteArray(), true);
}

void MyHttpRequestHandler::downloadCsv(HttpResponse &response)
{
    quint64 served = 0;
    std::unique_ptr<QFile> file = m_archiveManager->openCsvFile(&served);
    if (!file) {
        answerEmpty(response, 500, "Internal error");
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-Disposition", "attachment; filename=data.csv");
    response.setHeader("Content-type", "application/octet-stream");
    file->seek(0);
    for (;;) {
        const QByteArray piece = file->read(StreamPiece);
        if (piece.isEmpty() || response.hasWriteFailed())
            break;
        response.writeStream(piece);
    }
    response.write(QByteArray(), true);
    // Only the file sent here: a download that outlasts the busy window may find a newer file.
    m_archiveManager->releaseCsvFile(served);
}

void MyHttpRequestHandler::importConfig(HttpRequest &request, HttpResponse &response, const t_GetArray &params,
                                        int privilege)
{
    if (privilege != 255) {
        answerJson(response, CallTable::privilegeError());
        return;
    }
    // Replacing the database under a running poller or a configuration call would lose one of them.
    if (pollingRuns()) {
        answerJson(response, buildErrorJson(QStringLiteral("App is in visual mode")));
        return;
    }
    if (!m_databaseMutex.tryLock(m_databaseWait)) {
        answerJson(response, buildErrorJson(QStringLiteral("Database mutex locked")));
        return;
    }
    QTemporaryFile *upload = request.getUploadedFile("uploadedfile");
    const QByteArray body = upload ? m_configManager->importUploadedFile(RequestParams::text(params, "uploadedfile"), upload)
                                   : buildErrorJson(QStringLiteral("Invalid file"));
    m_databaseMutex.unlock();
    response.setStatus(200, "OK");
    response.write(body, true);
}

void MyHttpRequestHandler::loadFile(HttpRequest &request, HttpResponse &response, int privilege)
{
    if (privilege != 255) {
        answerJson(response, CallTable::privilegeError());
        return;
    }
    QTemporaryFile *upload = request.getUploadedFile("uploadedfile");
    if (!upload) {
        answerEmpty(response, 400, "Bad Request");
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-type", "text/plain");
    response.write(upload->readAll(), true);
}
