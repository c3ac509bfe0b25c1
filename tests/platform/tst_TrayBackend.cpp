#include "TrayBackend.h"

#include <QIcon>
#include <QtTest>

namespace {
QStringList g_lines;
QtMessageHandler g_previous = nullptr;
void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_lines << message;
    if (g_previous)
        g_previous(type, context, message);
}
} // namespace

class tst_TrayBackend : public QObject
{
    Q_OBJECT
private slots:
    void balloonIsOneLogLine();
};

void tst_TrayBackend::balloonIsOneLogLine()
{
    g_previous = qInstallMessageHandler(record);
    TrayBackend tray{QIcon()};
    tray.setVisible(true);
    tray.showMessage(QStringLiteral("Error!"), QStringLiteral("Cannot bind on port: 8080. Port already in use!"),
                     QSystemTrayIcon::Warning, 4000);
    tray.showMessage(QStringLiteral("Program is running."), QStringLiteral("Program is listening on port: 80."),
                     QSystemTrayIcon::Information, 1000);
    qInstallMessageHandler(g_previous);
    QCOMPARE(g_lines.filter(QStringLiteral("TrayMenu: balloon")),
             QStringList({QStringLiteral("TrayMenu: balloon Error! Cannot bind on port: 8080. Port already in use!"),
                          QStringLiteral("TrayMenu: balloon Program is running. Program is listening on port: 80.")}));
}

QTEST_MAIN(tst_TrayBackend)
#include "tst_TrayBackend.moc"
