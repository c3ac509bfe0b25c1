#include <QApplication>

int main(int argc, char *argv[])
{
    // Qt's own event loop: glib's wakes every HTTP connection thread through an eventfd each time
    // a socket's write notifier is switched on or off, a fifth of what the server can serve.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Other"));
    QCoreApplication::setApplicationName(QStringLiteral("Vexo"));
    QApplication::setQuitOnLastWindowClosed(false);
    return 0;
}
