#include "Creator.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QDir>
#include <QFile>

int main(int argc, char *argv[])
{
    // A machine without a display (a service, a test) runs without one rather than not at all.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's own event loop: glib's wakes every HTTP connection thread through an eventfd each time
    // a socket's write notifier is switched on or off, a fifth of what the server can serve.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    const bool restarted = argc >= 2 && qstrcmp(argv[1], "-r") == 0;
    QCoreApplication::setOrganizationName(QStringLiteral("Other"));
    QCoreApplication::setApplicationName(QStringLiteral("Vexo"));
    QApplication::setQuitOnLastWindowClosed(false);

    const QString configPath = QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini");
    if (!QFile::exists(configPath))
        qFatal("Cannot find config file %s", QDir::toNativeSeparators(configPath).toLocal8Bit().constData());
    qDebug("Using config file %s", qPrintable(configPath));

    // A service manager's stop or a Ctrl+C ends the program the way Quit does; taken before the
    // port opens, and delivered by the event loop once the program is built.
    TerminationSignals termination;
    auto *creator = new vexo::Creator(configPath, restarted, &app);
    QObject::connect(&termination, &TerminationSignals::received, creator, &vexo::Creator::slotExitApp);
    const int code = app.exec();
    delete creator;
    return code;
}
