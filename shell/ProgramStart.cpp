#include "ProgramStart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

void ProgramStart::prepareEnvironment()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // glib's loop wakes every HTTP connection thread through an eventfd each time a socket's
    // write notifier is switched on or off, a fifth of what the server can serve.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

QString ProgramStart::configPath()
{
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini");
    if (!QFile::exists(path))
        qFatal("Cannot find config file %s", QDir::toNativeSeparators(path).toLocal8Bit().constData());
    qDebug("Using config file %s", qPrintable(path));
    return path;
}

QSettings *ProgramStart::settingsIn(const QString &configPath, const QString &group, QObject *parent)
{
    auto *settings = new QSettings(configPath, QSettings::IniFormat, parent);
    if (!group.isEmpty())
        settings->beginGroup(group);
    return settings;
}
