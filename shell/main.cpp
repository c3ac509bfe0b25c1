#include "ConfigManager.h"
#include "Database.h"
#include "SettingsManager.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSqlQuery>

int main(int argc, char *argv[])
{
    // Qt's own event loop: glib's wakes every HTTP connection thread through an eventfd each time
    // a socket's write notifier is switched on or off, a fifth of what the server can serve.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tarsek"));
    QCoreApplication::setApplicationName(QStringLiteral("Dalvoran"));
    QApplication::setQuitOnLastWindowClosed(false);

    const QString configPath = QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini");
    if (!QFile::exists(configPath))
        qFatal("Cannot find config file %s", QDir::toNativeSeparators(configPath).toLocal8Bit().constData());
    qDebug("Using config file %s", qPrintable(configPath));

    ConfigManager configManager;
    if (configManager.databaseExists())
        configManager.openDatabase();
    else
        configManager.clearDatabase();
    {
        Database scope;
        QSqlQuery(scope.handle()).exec(QStringLiteral("PRAGMA foreign_keys = ON;"));
    }
    g_settings.loadSettings();

    const int code = app.exec();
    Database::closeThisThread();
    return code;
}
