#include "HttpListener.h"
#include "HttpSessionStore.h"
#include "MyHttpRequestHandler.h"
#include "StaticFileController.h"
#include "Database.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

int main(int argc, char *argv[])
{
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

    QSettings sessionSettings(configPath, QSettings::IniFormat);
    sessionSettings.beginGroup(QStringLiteral("sessions"));
    HttpSessionStore sessions(&sessionSettings);
    QSettings docroot(configPath, QSettings::IniFormat);
    docroot.beginGroup(QStringLiteral("docroot"));
    StaticFileController files(&docroot);
    QSettings listenerSettings(configPath, QSettings::IniFormat);
    listenerSettings.beginGroup(QStringLiteral("listener"));
    MyHttpRequestHandler handler(&files, &sessions, &docroot);
    HttpListener listener(&listenerSettings, &handler);

    const int code = app.exec();
    Database::closeThisThread();
    return code;
}
