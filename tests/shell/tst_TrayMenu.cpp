#include "TrayBackend.h"
#include "TrayMenu.h"

#include "../platform/RecordingFake.h"
#include "TestEnv.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QInputDialog>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <functional>

// The tray in-process on the offscreen platform; modal dialogs are answered through
// QApplication::activeModalWidget once their event loop runs.
class tst_TrayMenu : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void firstLanguageFromLocale_data();
    void firstLanguageFromLocale();
    void storedLanguageWins();
    void choosingCurrentLanguageWritesNothing();
    void keysStayAtTopLevel();
    void portDialog_data();
    void portDialog();
    void doubleClickOpensBrowser();
    void copiesAddress();
    void aboutTexts_data();
    void aboutTexts();
    void quitHidesIconThenSignals();
    void configurationProgramOffersEnglishOnly();
    void balloons();
    void polishCatalogue();

private:
    QString configPath() const { return m_dir.filePath(QStringLiteral("config.ini")); }
    QString readKey(const QString &key) const { return QSettings(configPath(), QSettings::IniFormat).value(key).toString(); }
    void writeConfig(const QByteArray &text);
    // Runs answer on the modal dialog that opens while action runs.
    static void withModal(const std::function<void()> &action, const std::function<void(QWidget *)> &answer);

    QTemporaryDir m_bin;
    QTemporaryDir m_dir;
};

void tst_TrayMenu::initTestCase()
{
    QVERIFY(m_bin.isValid());
    // xdg-open stand-in that appends every address it is given to "opened".
    QFile fake(m_bin.filePath(QStringLiteral("xdg-open")));
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$(dirname \"$0\")/opened\"\n");
    fake.close();
    QVERIFY(fake.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    RecordingFake::prependToPath(m_bin.path());
}

void tst_TrayMenu::init()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    writeConfig("[listener]\nport=8123\n");
}

void tst_TrayMenu::writeConfig(const QByteArray &text)
{
    QFile file(configPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

void tst_TrayMenu::withModal(const std::function<void()> &action, const std::function<void(QWidget *)> &answer)
{
    bool answered = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            poll.stop();
            answered = true;
            answer(modal);
        }
    });
    poll.start();
    action();
    QVERIFY(answered);
}

void tst_TrayMenu::firstLanguageFromLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("checked");
    QTest::newRow("pl_PL") << QStringLiteral("pl_PL") << QStringLiteral("pl") << QStringLiteral("&Polski");
    QTest::newRow("de_DE") << QStringLiteral("de_DE") << QStringLiteral("en") << QStringLiteral("&English");
    QTest::newRow("es_ES") << QStringLiteral("es_ES") << QStringLiteral("en") << QStringLiteral("&English");
    QTest::newRow("C") << QStringLiteral("C") << QStringLiteral("en") << QStringLiteral("&English");
}

void tst_TrayMenu::firstLanguageFromLocale()
{
    QFETCH(QString, locale);
    QFETCH(QString, language);
    QFETCH(QString, checked);
    QLocale::setDefault(QLocale(locale));
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings);
    QCOMPARE(tray.currentLanguage(), language);
    QCOMPARE(readKey(QStringLiteral("other/prefLang")), language);
    QVERIFY(tray.languageGroup()->checkedAction());
    QCOMPARE(tray.languageGroup()->checkedAction()->text(), checked);
    QVERIFY(tray.trayBackend()->isVisible());
}

void tst_TrayMenu::storedLanguageWins()
{
    QLocale::setDefault(QLocale(QStringLiteral("pl_PL")));
    writeConfig("[listener]\nport=8123\n[other]\nprefLang=en\n");
    {
        QSettings settings(configPath(), QSettings::IniFormat);
        TrayMenu tray(qApp, &settings);
        QCOMPARE(tray.currentLanguage(), QStringLiteral("en"));
    }
    // A language without catalogues still becomes current; no action has it, English is checked.
    writeConfig("[other]\nprefLang=fr\n");
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings);
    QCOMPARE(tray.currentLanguage(), QStringLiteral("fr"));
    QCOMPARE(tray.languageGroup()->checkedAction()->text(), QStringLiteral("&English"));
    QCOMPARE(tray.port(), 80);
}

void tst_TrayMenu::choosingCurrentLanguageWritesNothing()
{
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings);
    QCOMPARE(tray.currentLanguage(), QStringLiteral("en"));
    settings.remove(QStringLiteral("other/prefLang"));
    settings.sync();
    QAction *english = tray.languageGroup()->actions().at(0);
    QAction *polish = tray.languageGroup()->actions().at(1);
    english->trigger();
    QVERIFY(!QSettings(configPath(), QSettings::IniFormat).contains(QStringLiteral("other/prefLang")));
    polish->trigger();
    QCOMPARE(tray.currentLanguage(), QStringLiteral("pl"));
    QCOMPARE(readKey(QStringLiteral("other/prefLang")), QStringLiteral("pl"));
    QVERIFY(polish->isChecked());
}

void tst_TrayMenu::keysStayAtTopLevel()
{
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings);
    settings.beginGroup(QStringLiteral("docroot")); // left open by someone else
    withModal([&] { tray.slotChangeListeningPort(); },
              [](QWidget *modal) {
                  auto *dialog = qobject_cast<QInputDialog *>(modal);
                  QVERIFY(dialog);
                  dialog->setIntValue(9000);
                  dialog->accept();
              });
    tray.languageGroup()->actions().at(1)->trigger();
    QCOMPARE(settings.group(), QStringLiteral("docroot"));
    QCOMPARE(readKey(QStringLiteral("listener/port")), QStringLiteral("9000"));
    QCOMPARE(readKey(QStringLiteral("other/prefLang")), QStringLiteral("pl"));
    QVERIFY(!QSettings(configPath(), QSettings::IniFormat).contains(QStringLiteral("docroot/other/prefLang")));
}

void tst_TrayMenu::portDialog_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("typed");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("stored");
    QTest::newRow("stored port offered, OK stores") << QByteArray("[listener]\nport=8123\n") << 8123 << 8124 << true << QStringLiteral("8124");
    QTest::newRow("no port: 80 offered") << QByteArray() << 80 << 65535 << true << QStringLiteral("65535");
    QTest::newRow("below 80 is clamped") << QByteArray("[listener]\nport=8123\n") << 8123 << 79 << true << QStringLiteral("80");
    QTest::newRow("above 65535 is clamped") << QByteArray("[listener]\nport=8123\n") << 8123 << 70000 << true << QStringLiteral("65535");
    QTest::newRow("cancel stores nothing") << QByteArray("[listener]\nport=8123\n") << 8123 << 9000 << false << QStringLiteral("8123");
}

void tst_TrayMenu::portDialog()
{
    QFETCH(QByteArray, config);
    QFETCH(int, start);
    QFETCH(int, typed);
    QFETCH(bool, accept);
    QFETCH(QString, stored);
    writeConfig(config);
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings);
    withModal([&] { tray.slotChangeListeningPort(); },
              [&](QWidget *modal) {
                  auto *dialog = qobject_cast<QInputDialog *>(modal);
                  QVERIFY(dialog);
                  QCOMPARE(dialog->windowTitle(), QStringLiteral("Listening port modification"));
                  QCOMPARE(dialog->labelText(), QStringLiteral("New listening port:"));
                  QCOMPARE(dialog->intMinimum(), 80);
                  QCOMPARE(dialog->intMaximum(), 65535);
                  QCOMPARE(dialog->intStep(), 1);
                  QCOMPARE(dialog->intValue(), start);
                  dialog->setIntValue(typed);
                  accept ? dialog->accept() : dialog->reject();
              });
    QCOMPARE(readKey(QStringLiteral("listener/port")), stored.isEmpty() ? QString() : stored);
    // The running program keeps its port until the next start.
    QCOMPARE(tray.port(), config.isEmpty() ? 80 : 8123);
}

void tst_TrayMenu::doubleClickOpensBrowser()
{
    const QString opened = m_bin.filePath(QStringLiteral("opened"));
    QFile::remove(opened);
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings);
    emit tray.trayBackend()->icon()->activated(QSystemTrayIcon::Trigger);
    emit tray.trayBackend()->icon()->activated(QSystemTrayIcon::Context);
    emit tray.trayBackend()->icon()->activated(QSystemTrayIcon::DoubleClick);
    auto lines = [&] {
        QFile file(opened);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QTRY_COMPARE_WITH_TIMEOUT(lines(), QByteArray("http://127.0.0.1:8123\n"), 10000);
    // The menu entry does the same.
    tray.contextMenu()->actions().at(0)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(lines(), QByteArray("http://127.0.0.1:8123\nhttp://127.0.0.1:8123\n"), 10000);
}

void tst_TrayMenu::copiesAddress()
{
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings);
    tray.slotCopyIp2Clipboard();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("http://127.0.0.1:8123"));
}

void tst_TrayMenu::aboutTexts_data()
{
    QTest::addColumn<int>("program");
    QTest::addColumn<QStringList>("parts");
    QTest::newRow("Dalvoran") << int(TrayMenu::MainProgram)
                              << QStringList({QStringLiteral("<b>Dalvoran ver. 0.2.0</b>"),
                                              QStringLiteral("This application has been developped with the framework Qt 5.2 (LGPL Version 2.1)"),
                                              QStringLiteral("Used free componentes:"), QStringLiteral("---")});
    QTest::newRow("Vexo") << int(TrayMenu::ConfigurationProgram)
                          << QStringList({QStringLiteral("<b>Vexo ver. 0.3.4</b>"),
                                          QStringLiteral("This application has been developped with the framework Qt 5.2.1<"),
                                          QStringLiteral("Used free componentes:"), QStringLiteral("<br>--</p>")});
}

void tst_TrayMenu::aboutTexts()
{
    QFETCH(int, program);
    QFETCH(QStringList, parts);
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings, TrayMenu::Program(program));
    QString title, text;
    withModal([&] { tray.slotShowAbout(); },
              [&](QWidget *modal) {
                  auto *box = qobject_cast<QMessageBox *>(modal);
                  QVERIFY(box);
                  title = box->windowTitle();
                  text = box->text();
                  box->accept();
              });
    QCOMPARE(title, QStringLiteral("About"));
    int from = 0;
    for (const QString &part : parts) {
        const int at = text.indexOf(part, from);
        QVERIFY2(at >= 0, qPrintable(part));
        from = at + part.size();
    }
}

void tst_TrayMenu::quitHidesIconThenSignals()
{
    for (int program : {int(TrayMenu::MainProgram), int(TrayMenu::ConfigurationProgram)}) {
        QSettings settings(configPath(), QSettings::IniFormat);
        TrayMenu tray(qApp, &settings, TrayMenu::Program(program));
        int emitted = 0;
        bool visibleAtSignal = true;
        connect(&tray, &TrayMenu::exitApp, [&] {
            ++emitted;
            visibleAtSignal = tray.trayBackend()->isVisible();
        });
        tray.contextMenu()->actions().last()->trigger();
        QCOMPARE(emitted, 1);
        // Only the main program hides its icon first.
        QCOMPARE(visibleAtSignal, program == int(TrayMenu::ConfigurationProgram));
    }
}

void tst_TrayMenu::configurationProgramOffersEnglishOnly()
{
    QLocale::setDefault(QLocale(QStringLiteral("es_ES")));
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings, TrayMenu::ConfigurationProgram);
    QCOMPARE(tray.currentLanguage(), QStringLiteral("es"));
    QCOMPARE(readKey(QStringLiteral("other/prefLang")), QStringLiteral("es"));
    QCOMPARE(tray.languageGroup()->actions().size(), 1);
    QCOMPARE(tray.languageGroup()->checkedAction()->text(), QStringLiteral("&English"));
    QStringList texts;
    for (QAction *action : tray.contextMenu()->actions())
        texts << action->text();
    QCOMPARE(texts, QStringList({QStringLiteral("&Launch browser"), QStringLiteral("&Copy IP address to clipboard"),
                                 QString(), QStringLiteral("&Language"), QStringLiteral("&Change listening port"),
                                 QString(), QStringLiteral("&About"), QString(), QStringLiteral("&Quit")}));
    QVERIFY(tray.contextMenu()->actions().at(0)->font().bold());
    QCOMPARE(tray.trayBackend()->icon()->toolTip(), QCoreApplication::applicationName() + QStringLiteral(" 0.3.4"));
    QVERIFY(!tray.trayBackend()->icon()->icon().isNull());
}

namespace {
QStringList g_logLines;
QtMessageHandler g_previous = nullptr;
void recordLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_logLines << message;
    if (g_previous)
        g_previous(type, context, message);
}
} // namespace

void tst_TrayMenu::balloons()
{
    QSettings settings(configPath(), QSettings::IniFormat);
    TrayMenu tray(qApp, &settings);
    QCOMPARE(tray.trayBackend()->icon()->toolTip(), QCoreApplication::applicationName() + QStringLiteral(" 0.2.0"));
    g_logLines.clear();
    g_previous = qInstallMessageHandler(recordLine);
    tray.showRunningMessage();
    tray.showBindError();
    qInstallMessageHandler(g_previous);
    QCOMPARE(g_logLines.filter(QStringLiteral("TrayMenu: balloon")),
             QStringList({QStringLiteral("TrayMenu: balloon Program is running. Program is listening on port: 8123."),
                          QStringLiteral("TrayMenu: balloon Error! Cannot bind on port: 8123. Port already in use!")}));
}

void tst_TrayMenu::polishCatalogue()
{
    QTranslator translator;
    QVERIFY(translator.load(TestEnv::binaryDir() + QStringLiteral("/dalv_pl.qm")));
    for (const char *text : {"&Launch browser", "&Copy IP address to clipboard", "&Language", "&Change listening port",
                             "&About", "&Quit", "Program is running.", "Program is listening on port: ", "Error!",
                             "Cannot bind on port: ", ". Port already in use!", "Listening port modification",
                             "New listening port:", "About"}) {
        const QString translated = translator.translate("TrayMenu", text);
        QVERIFY2(!translated.isEmpty() && translated != QLatin1String(text), text);
    }
    QCOMPARE(translator.translate("TrayMenu", "&Quit"), QStringLiteral("&Zako\u0144cz"));
    // Qt's own Polish catalogue comes with Qt (qttranslations5-l10n).
    QTranslator qt;
    QVERIFY(qt.load(QStringLiteral("qt_pl.qm"), QLibraryInfo::location(QLibraryInfo::TranslationsPath)));
}

QTEST_MAIN(tst_TrayMenu)
#include "tst_TrayMenu.moc"
