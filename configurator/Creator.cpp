#include "Creator.h"

#include "HelperStarter.h"
#include "HttpConnectionHandlerPool.h"
#include "HttpListener.h"
#include "MyHttpRequestHandler.h"
#include "PdfConverter.h"
#include "ProgramStart.h"
#include "QuickExit.h"
#include "StaticFileController.h"
#include "TrayMenu.h"

#include <QApplication>
#include <QSettings>

namespace vexo {

Creator::Creator(const QString &configPath, bool restarted, QObject *parent) : QObject(parent)
{
    auto settingsIn = [&](const QString &group) { return ProgramStart::settingsIn(configPath, group, this); };
    QSettings *docroot = settingsIn(QStringLiteral("docroot"));
    auto *staticFiles = new StaticFileController(docroot, this);
    qDebug("ServiceHelper: Starting service");
    QSettings *listenerSettings = settingsIn(QStringLiteral("listener"));
    m_requestHandler = new MyHttpRequestHandler(staticFiles, docroot, this);
    // Before the port opens, so that no hand-over call can come before its slot is connected.
    connect(m_requestHandler, &MyHttpRequestHandler::restartAppAsAdmin, this, &Creator::slotRestartAppAsAdmin);
    connect(m_requestHandler, &MyHttpRequestHandler::runAutoUpdate, this, &Creator::slotRunAutoUpdate);
    m_listener = new HttpListener(listenerSettings, m_requestHandler, this);
    m_trayMenu = new TrayMenu(qobject_cast<QApplication *>(QCoreApplication::instance()), settingsIn(QString()),
                              TrayMenu::ConfigurationProgram);
    if (!m_listener->isListening()) {
        m_trayMenu->showBindError();
    } else if (!restarted) {
        m_trayMenu->slotLaunchBrowser();
        m_trayMenu->showRunningMessage();
    }
    connect(m_trayMenu, &TrayMenu::exitApp, this, &Creator::slotExitApp);
}

Creator::~Creator() { delete m_trayMenu; }

void Creator::slotExitApp()
{
    // Conversions under way answer at once, so their threads end within the wait below, and no
    // converter process outlives the program.
    PdfConverter::instance().shutDown();
    delete m_listener;
    m_listener = nullptr;
    // A connection thread that outlasted the wait may still be inside the request handler, which
    // the teardown after the event loop would free under it.
    if (HttpConnectionHandlerPool::anyHandlerLeftRunning()) {
        qWarning("Creator: a request is still running; the program ends without taking down its objects");
        QuickExit::now(0);
    }
    QCoreApplication::exit(0);
}

void Creator::slotRestartAppAsAdmin() { handOver(QStringLiteral("Vexo_admin")); }

void Creator::slotRunAutoUpdate() { handOver(QStringLiteral("www/root/Vexo_setup")); }

void Creator::handOver(const QString &helper)
{
    const HelperStarter starter;
    if (starter.resolve(helper).isEmpty()) {
        qWarning("Creator: %s is missing or not executable; the program keeps running", qPrintable(helper));
        return;
    }
    PdfConverter::instance().shutDown();
    delete m_listener;
    m_listener = nullptr;
    starter.start(helper, {QStringLiteral("-r")});
    // At once, as the hand-over asks, and without the static destructors: a connection thread may
    // still be inside the handler.
    QuickExit::now(HandOverExitCode);
}

} // namespace vexo
