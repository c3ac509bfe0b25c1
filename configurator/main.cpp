#include "Creator.h"
#include "PdfConverter.h"
#include "ProgramStart.h"
#include "TerminationSignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (PdfConverter::isWorkerCall(argc, argv))
        return PdfConverter::runWorker(argc, argv);
    ProgramStart::prepareEnvironment();
    QApplication app(argc, argv);
    const bool restarted = argc >= 2 && qstrcmp(argv[1], "-r") == 0;
    QCoreApplication::setOrganizationName(QStringLiteral("Other"));
    QCoreApplication::setApplicationName(QStringLiteral("Vexo"));
    QApplication::setQuitOnLastWindowClosed(false);

    const QString configPath = ProgramStart::configPath();

    // A service manager's stop or a Ctrl+C ends the program the way Quit does; taken before the
    // port opens, and delivered by the event loop once the program is built.
    TerminationSignals termination;
    auto *creator = new vexo::Creator(configPath, restarted, &app);
    QObject::connect(&termination, &TerminationSignals::received, creator, &vexo::Creator::slotExitApp);
    const int code = app.exec();
    delete creator;
    return code;
}
