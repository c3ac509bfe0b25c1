#include "TrayMenu.h"

#include "BrowserOpener.h"
#include "TrayBackend.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QIcon>
#include <QInputDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>

static void initTrayResources() { Q_INIT_RESOURCE(TrayMenu); }

namespace {

const char *const g_mainVersion = "0.2.0";
const char *const g_configVersion = "0.3.4";

const char *const g_mainAbout =
    "<p align=\"center\"><b>Dalvoran ver. 0.2.0</b></p>"
    "<p>This application has been developped with the framework Qt 5.2 (LGPL Version 2.1)</p>"
    "<p>Used free componentes:</p>"
    "<p>Qt - The Qt Company, LGPL Version 2.1<br>---<br>"
    "libmodbus - LGPL Version 2.1<br>---<br>"
    "Mosquitto - Eclipse Public License 2.0<br>---<br>"
    "SQLite - public domain</p>";

const char *const g_configAbout =
    "<p align=\"center\"><b>Vexo ver. 0.3.4</b></p>"
    "<p>This application has been developped with the framework Qt 5.2.1</p>"
    "<p>Used free componentes:</p>"
    "<p>Qt - The Qt Company, LGPL Version 2.1<br>---<br>"
    "libmodbus - LGPL Version 2.1<br>--</p>";

} // namespace

TrayMenu::TrayMenu(QApplication *application, QSettings *settings, Program program, QWidget *parent)
    : QDialog(parent)
    , m_application(application)
    , m_settings(settings)
    , m_program(program)
{
    initTrayResources();
    m_port = readTopLevel(QStringLiteral("listener/port"), 80).toInt();
    m_langPath = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    m_currLang.clear();

    createActions();
    createTrayIcon();

    QString language = readTopLevel(QStringLiteral("other/prefLang"), QVariant()).toString();
    if (language.isEmpty()) {
        const QString locale = QLocale().name();
        const int underscore = locale.lastIndexOf(QLatin1Char('_'));
        const QString code = underscore < 0 ? QString() : locale.left(underscore);
        if (code == QLatin1String("pl"))
            language = QStringLiteral("pl");
        else if (m_program == ConfigurationProgram && code == QLatin1String("es"))
            language = QStringLiteral("es");
        else
            language = QStringLiteral("en");
        setPrefLang(language);
    }
    loadLanguage(language);

    QAction *checked = m_englishAction;
    for (QAction *action : m_langGroup->actions()) {
        if (action->data().toString() == m_currLang)
            checked = action;
    }
    checked->setChecked(true);

    connect(m_trayIcon, &TrayBackend::activated, this, &TrayMenu::trayClicked);
    m_trayIcon->setVisible(true);
}

TrayMenu::~TrayMenu() = default;

QString TrayMenu::address() const { return QStringLiteral("http://127.0.0.1:") + QString::number(m_port); }

// The tray's settings object may have been left in a group by its owner; the keys of the tray
// always live at the top level of config.ini.
QVariant TrayMenu::readTopLevel(const QString &key, const QVariant &fallback)
{
    const QString group = m_settings->group();
    while (!m_settings->group().isEmpty())
        m_settings->endGroup();
    const QVariant value = m_settings->value(key, fallback);
    if (!group.isEmpty())
        m_settings->beginGroup(group);
    return value;
}

void TrayMenu::writeTopLevel(const QString &key, const QVariant &value)
{
    const QString group = m_settings->group();
    while (!m_settings->group().isEmpty())
        m_settings->endGroup();
    m_settings->setValue(key, value);
    m_settings->sync();
    if (!group.isEmpty())
        m_settings->beginGroup(group);
}

void TrayMenu::createActions()
{
    m_launchBrowserAction = new QAction(this);
    connect(m_launchBrowserAction, &QAction::triggered, this, &TrayMenu::slotLaunchBrowser);
    m_copyIpAction = new QAction(this);
    connect(m_copyIpAction, &QAction::triggered, this, &TrayMenu::slotCopyIp2Clipboard);

    m_langGroup = new QActionGroup(this);
    m_langGroup->setExclusive(true);
    connect(m_langGroup, &QActionGroup::triggered, this, &TrayMenu::slotLanguageChanged);
    auto language = [this](const QString &text, const QString &code, bool offered) {
        QAction *action = new QAction(text, this);
        action->setCheckable(true);
        action->setData(code);
        if (offered)
            m_langGroup->addAction(action);
        return action;
    };
    const bool main = m_program == MainProgram;
    m_englishAction = language(QStringLiteral("&English"), QStringLiteral("en"), true);
    if (main) {
        m_polishAction = language(QStringLiteral("&Polski"), QStringLiteral("pl"), true);
    } else {
        // The configuration program knows these languages but offers English alone.
        m_spanishAction = language(QStringLiteral("&Espanol"), QStringLiteral("es"), false);
        m_germanAction = language(QStringLiteral("&Deutsch"), QStringLiteral("de"), false);
        m_polishAction = language(QStringLiteral("&Polski"), QStringLiteral("pl"), false);
    }

    m_changePortAction = new QAction(this);
    connect(m_changePortAction, &QAction::triggered, this, &TrayMenu::slotChangeListeningPort);
    m_aboutAction = new QAction(this);
    connect(m_aboutAction, &QAction::triggered, this, &TrayMenu::slotShowAbout);
    m_quitAction = new QAction(this);
    connect(m_quitAction, &QAction::triggered, this, &TrayMenu::slotExitApp);
}

void TrayMenu::createTrayIcon()
{
    m_languageMenu = new QMenu(this);
    m_languageMenu->addActions(m_langGroup->actions());

    m_trayIconMenu = new QMenu(this);
    m_trayIconMenu->addAction(m_launchBrowserAction);
    m_trayIconMenu->addAction(m_copyIpAction);
    m_trayIconMenu->addSeparator();
    m_trayIconMenu->addMenu(m_languageMenu);
    m_trayIconMenu->addAction(m_changePortAction);
    m_trayIconMenu->addSeparator();
    m_trayIconMenu->addAction(m_aboutAction);
    m_trayIconMenu->addSeparator();
    m_trayIconMenu->addAction(m_quitAction);

    const bool main = m_program == MainProgram;
    m_trayIcon = new TrayBackend(QIcon(main ? QStringLiteral(":/images/tray_icon3") : QStringLiteral(":/images/tray_icon2")),
                                 this);
    m_trayIcon->setContextMenu(m_trayIconMenu);
    m_trayIcon->setToolTip(QCoreApplication::applicationName() + QLatin1Char(' ')
                           + QLatin1String(main ? g_mainVersion : g_configVersion));
}

void TrayMenu::loadLanguage(const QString &language)
{
    if (language == m_currLang)
        return;
    const QString appPattern = m_program == MainProgram ? QStringLiteral("dalv_%1.qm") : QStringLiteral("vexol_%1.qm");
    loadTranslator(m_translator, appPattern.arg(language));
    loadTranslator(m_translatorQt, QStringLiteral("qt_%1.qm").arg(language));
    retranslateUi();
    m_currLang = language;
    setPrefLang(language);
}

void TrayMenu::loadTranslator(QTranslator &translator, const QString &fileName)
{
    m_application->removeTranslator(&translator);
    bool loaded = translator.load(m_langPath + fileName);
    // Qt's own catalogues are installed with Qt on Linux, not beside every program.
    if (!loaded && fileName.startsWith(QLatin1String("qt_")))
        loaded = translator.load(fileName, QLibraryInfo::location(QLibraryInfo::TranslationsPath));
    if (loaded)
        m_application->installTranslator(&translator);
}

void TrayMenu::setPrefLang(const QString &language) { writeTopLevel(QStringLiteral("other/prefLang"), language); }

void TrayMenu::slotLanguageChanged(QAction *action)
{
    if (action)
        loadLanguage(action->data().toString());
}

void TrayMenu::retranslateUi()
{
    m_launchBrowserAction->setText(tr("&Launch browser"));
    QFont bold = m_launchBrowserAction->font();
    bold.setWeight(75);
    m_launchBrowserAction->setFont(bold);
    m_copyIpAction->setText(tr("&Copy IP address to clipboard"));
    m_languageMenu->setTitle(tr("&Language"));
    m_changePortAction->setText(tr("&Change listening port"));
    m_aboutAction->setText(tr("&About"));
    m_quitAction->setText(tr("&Quit"));
}

void TrayMenu::trayClicked(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        slotLaunchBrowser();
}

void TrayMenu::slotLaunchBrowser() { BrowserOpener::open(address()); }

void TrayMenu::slotCopyIp2Clipboard() { QApplication::clipboard()->setText(address(), QClipboard::Clipboard); }

void TrayMenu::slotChangeListeningPort()
{
    const int stored = readTopLevel(QStringLiteral("listener/port"), 80).toInt();
    bool ok = false;
    const int port = QInputDialog::getInt(this, tr("Listening port modification"), tr("New listening port:"), stored,
                                          80, 65535, 1, &ok);
    if (ok)
        writeTopLevel(QStringLiteral("listener/port"), port);
}

void TrayMenu::slotShowAbout()
{
    QMessageBox::about(this, tr("About"),
                       QString::fromLatin1(m_program == MainProgram ? g_mainAbout : g_configAbout));
}

void TrayMenu::slotExitApp()
{
    if (m_program == MainProgram)
        m_trayIcon->setVisible(false);
    emit exitApp();
}

void TrayMenu::showRunningMessage()
{
    m_trayIcon->showMessage(tr("Program is running."),
                            tr("Program is listening on port: ") + QString::number(m_port) + QLatin1Char('.'),
                            QSystemTrayIcon::Information, 1000);
}

void TrayMenu::showBindError()
{
    m_trayIcon->showMessage(tr("Error!"),
                            tr("Cannot bind on port: ") + QString::number(m_port) + tr(". Port already in use!"),
                            QSystemTrayIcon::Warning, 4000);
}
