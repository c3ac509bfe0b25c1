#pragma once

#include <QDialog>
#include <QSystemTrayIcon>
#include <QTranslator>

class QAction;
class QActionGroup;
class QApplication;
class QMenu;
class QSettings;
class TrayBackend;

// The program's only desktop presence: the tray icon with its menu (browser, address, language,
// listening port, about, quit), the two translators of the interface and the preferred language.
// Never shown itself; it parents its actions, menus, icon and dialogs. Main thread only.
class TrayMenu : public QDialog
{
    Q_OBJECT
public:
    // Which program the tray belongs to: icon, version, translation files, languages, about text
    // and whether Quit hides the icon differ.
    enum Program { MainProgram, ConfigurationProgram };

    // settings: on "config.ini" with no group open, not owned, used by the tray alone. Builds the
    // menu, loads the preferred language (first default from the locale) and shows the icon.
    TrayMenu(QApplication *application, QSettings *settings, Program program = MainProgram,
             QWidget *parent = nullptr);
    ~TrayMenu() override;

    // The start balloon ("Program is running.") and the bind-error balloon ("Error!").
    void showRunningMessage();
    void showBindError();

    // The language whose translators are loaded ("en", "pl", ...).
    QString currentLanguage() const { return m_currLang; }
    // The port read at construction: the browser address and the balloons use it.
    int port() const { return m_port; }
    TrayBackend *trayBackend() const { return m_trayIcon; }
    QMenu *contextMenu() const { return m_trayIconMenu; }
    QActionGroup *languageGroup() const { return m_langGroup; }

signals:
    void exitApp();

public slots:
    void trayClicked(QSystemTrayIcon::ActivationReason reason);
    void slotLaunchBrowser();
    void slotCopyIp2Clipboard();
    void slotExitApp();
    void slotLanguageChanged(QAction *action);
    void slotChangeListeningPort();
    void slotShowAbout();

private:
    void createActions();
    void createTrayIcon();
    void loadLanguage(const QString &language);
    void loadTranslator(QTranslator &translator, const QString &fileName);
    void retranslateUi();
    void setPrefLang(const QString &language);
    QVariant readTopLevel(const QString &key, const QVariant &fallback);
    void writeTopLevel(const QString &key, const QVariant &value);
    QString address() const;

    QApplication *m_application;
    QSettings *m_settings;
    Program m_program;
    int m_port = 80;

    QAction *m_launchBrowserAction = nullptr;
    QAction *m_copyIpAction = nullptr;
    QAction *m_englishAction = nullptr;
    QAction *m_polishAction = nullptr;
    QAction *m_spanishAction = nullptr;
    QAction *m_germanAction = nullptr;
    QAction *m_changePortAction = nullptr;
    QAction *m_aboutAction = nullptr;
    QAction *m_quitAction = nullptr;
    QActionGroup *m_langGroup = nullptr;
    QMenu *m_languageMenu = nullptr;
    QMenu *m_trayIconMenu = nullptr;
    TrayBackend *m_trayIcon = nullptr;

    QTranslator m_translator;
    QTranslator m_translatorQt;
    QString m_langPath;
    QString m_currLang;
};
