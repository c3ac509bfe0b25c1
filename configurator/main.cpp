#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Other"));
    QCoreApplication::setApplicationName(QStringLiteral("Vexo"));
    QApplication::setQuitOnLastWindowClosed(false);
    return 0;
}
