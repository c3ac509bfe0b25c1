#include "Creator.h"

#include "Database.h"
#include "HelperStarter.h"
#include "HttpConnectionHandlerPool.h"
#include "HttpListener.h"
#include "HttpSessionStore.h"
#include "Logs.h"
#include "MyHttpRequestHandler.h"
#include "PdfConverter.h"
#include "ProgramStart.h"
#include "QuickExit.h"
#include "StaticFileController.h"
#include "TrayMenu.h"

#include <QApplication>
#include <QSettings>

Creator::Creator(const QString &configPath, bool restarted, QObject *parent) : QObject(parent)
{
    auto settingsIn = [&](const QString &group) { return ProgramStart::settingsIn(configPath, group, this); };
    m_sessionStore = new HttpSessionStore(settingsIn(QStringLiteral("sessions")), this);
    QSettings *docroot = settingsIn(QStringLiteral("docroot"));
    m_staticFiles = new StaticFileController(docroot, this);
    qDebug("ServiceHelper: Starting service");
    QSettings *listenerSettings = settingsIn(QStringLiteral("listener"));
    m_requestHandler = new MyHttpRequestHandler(m_staticFiles, m_sessionStore, docroot, this);
    // Before the port opens, so that no restart call can come before its slot is connected.
    connect(m_requestHandler, &MyHttpRequestHandler::restartAppAsAdmin, this, &Creator::slotRestartAppAsAdmin);
    m_listener = new HttpListener(listenerSettings, m_requestHandler, this);
    m_trayMenu = new TrayMenu(qApp, settingsIn(QString()));
    if (!m_listener->isListening()) {
        m_trayMenu->showBindError();
    } else if (!restarted) {
        m_trayMenu->slotLaunchBrowser();
        m_trayMenu->showRunningMessage();
    }

    connect(m_trayMenu, &TrayMenu::exitApp, this, &Creator::slotExitApp);
    Logs::addLog(Logs::Info, tr("Program started"));
}

Creator::~Creator() { delete m_trayMenu; }

void Creator::shutDown()
{
    PdfConverter::instance().shutDown();
    m_requestHandler->stopForExit();
    delete m_listener;
    m_listener = nullptr;
}

void Creator::leave(int code)
{
    if (HttpConnectionHandlerPool::anyHandlerLeftRunning()) {
        qWarning("Creator: a request is still running; the program ends without taking down its objects");
        // The archive and the event log are written by now; this thread's connection has no
        // statement open between two events.
        Database::closeThisThread();
        QuickExit::now(code);
    }
    QCoreApplication::exit(code);
}

void Creator::slotExitApp()
{
    shutDown();
    leave(0);
}

void Creator::slotRestartAppAsAdmin()
{
    shutDown();
    // Whether the launcher starts or not, this instance goes: the user asked for a restart.
    HelperStarter().start(QStringLiteral("Vexo_admin"), {QStringLiteral("-r")});
    // Through the event loop rather than the C library's exit where it can: every object is then
    // taken down in order and the database connection of this thread is closed.
    leave(12);
}
