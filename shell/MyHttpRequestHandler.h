#pragma once

#include "CallTable.h"
#include "HttpRequestHandler.h"
#include "HttpSession.h"
#include "RequestGate.h"
#include "RequestParams.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

class AlarmsManager;
class ArchiveManager;
class ConfigManager;
class ConnectionManager;
class DeviceManager;
class DeviceSearch;
class ModbusEngine;
class SystemFun;
class Updates;
class HttpRequest;
class HttpResponse;
class HttpSessionStore;
class Poller;
class QSettings;
class QTimer;
class StaticFileController;

// The request handler of the main program. Settles the caller's privilege (login and sessions
// when login is on), serves the file pages (downloads, uploads, configuration export and import),
// sends the calls of "ajax.html" through the call table and hands everything else to the static
// file controller. One object serves every connection thread at once; the managers it owns are
// called from those threads, and polling is started and stopped only from the main thread.
class MyHttpRequestHandler : public HttpRequestHandler
{
    Q_OBJECT
public:
    // Pieces of the download pages: the backup and the CSV file are never held whole in memory.
    static constexpr int StreamPiece = 524288;

    // appDir holds "db.sqlite" (created with its default rows when absent); empty means the
    // executable's directory.
    MyHttpRequestHandler(StaticFileController *staticFiles, HttpSessionStore *sessions, QSettings *docroot,
                         QObject *parent = nullptr, const QString &appDir = QString());
    ~MyHttpRequestHandler() override;

    void service(HttpRequest &request, HttpResponse &response) override;

    bool pollingRuns() const;
    // Before the program ends: no more polling requests are taken, and polling stops now.
    void stopForExit();

    // The locks are bounded waits; tests hold them and shorten the waits.
    QMutex &databaseLock() { return m_databaseMutex; }
    QMutex &modbusLock() { return m_modbusMutex; }
    QMutex &flagsLock() { return m_flagsMutex; }
    void setLockWaits(int databaseMs, int modbusMs, int flagsMs);
    const CallTable &callTable() const { return m_calls; }
    // Where searches send their probes (tests aim them at loopback).
    DeviceSearch *deviceSearch() const { return m_deviceSearch; }

signals:
    void restartAppAsAdmin();
    void startPolling();
    void stopPolling();

public slots:
    // Turns the browser's polling requests into the poller's start and stop, in that order.
    void checkFlags();

private:
    void bindCalls();
    QByteArray requestPolling(bool start);
    void runCall(const t_GetArray &params, int privilege, HttpResponse &response);
    void servePage(HttpRequest &request, HttpResponse &response, const t_GetArray &params, int privilege);
    void loginStep(HttpRequest &request, HttpResponse &response, const t_GetArray &params, HttpSession &session);

    void saveFile(HttpRequest &request, HttpResponse &response, const t_GetArray &params);
    void exportConfig(HttpResponse &response, const t_GetArray &params, int privilege);
    void downloadCsv(HttpResponse &response);
    void importConfig(HttpRequest &request, HttpResponse &response, const t_GetArray &params, int privilege);
    void loadFile(HttpRequest &request, HttpResponse &response, int privilege);

    bool admitted(const HttpRequest &request, HttpResponse &response) const;
    static void answerJson(HttpResponse &response, const QByteArray &body);
    static void answerEmpty(HttpResponse &response, int status, const QByteArray &text);

    StaticFileController *m_staticFiles;
    HttpSessionStore *m_sessions;
    ModbusEngine *m_modbusEngine = nullptr;
    Updates *m_updates = nullptr;
    QString m_appDir;
    RequestGate m_gate;
    ConnectionManager *m_connectionManager = nullptr;
    DeviceManager *m_deviceManager = nullptr;
    ArchiveManager *m_archiveManager = nullptr;
    AlarmsManager *m_alarmsManager = nullptr;
    Poller *m_poller = nullptr;
    ConfigManager *m_configManager = nullptr;
    SystemFun *m_systemFun = nullptr;
    QMutex m_databaseMutex;
    QMutex m_modbusMutex;
    DeviceSearch *m_deviceSearch = nullptr;
    bool m_startRequested = false;
    bool m_stopRequested = false;
    QMutex m_flagsMutex;
    QTimer *m_flagTimer = nullptr;
    int m_databaseWait = 2000;
    int m_flagsWait = 1000;
    CallTable m_calls;
};
