#include "AlarmEvaluator.h"
#include "BrowserOpener.h"
#include "Creator.h"
#include "Database.h"
#include "PdfConverter.h"
#include "ProgramStart.h"
#include "SingleInstance.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QThread>
#include <QUrl>

// How long a restarted instance waits for the one it replaces to let go of the lock.
static constexpr int RestartLockWaitMs = 5000;

// The lock of this installation; a restarted instance keeps trying while the old one ends.
static bool takeInstanceLock(SingleInstance &lock, bool restarted)
{
    QElapsedTimer clock;
    clock.start();
    while (!lock.tryLock()) {
        if (!restarted || clock.elapsed() >= RestartLockWaitMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

int main(int argc, char *argv[])
{
    // The program's own child processes (alarm expressions, PDF pages): no window, no lock,
    // no listener.
    if (AlarmEvaluator::isWorkerCall(argc, argv))
        return AlarmEvaluator::runWorker(argc, argv);
    if (PdfConverter::isWorkerCall(argc, argv))
        return PdfConverter::runWorker(argc, argv);
    ProgramStart::prepareEnvironment();
    QApplication app(argc, argv);
    const bool restarted = argc >= 2 && qstrcmp(argv[1], "-r") == 0;
    QCoreApplication::setOrganizationName(QStringLiteral("Tarsek"));
    QCoreApplication::setApplicationName(QStringLiteral("Dalvoran"));
    QApplication::setQuitOnLastWindowClosed(false);

    const QString configPath = ProgramStart::configPath();

    SingleInstance lock(SingleInstance::lockFileFor(QStringLiteral("Dalvoran")));
    if (!takeInstanceLock(lock, restarted)) {
        // Another copy of this installation runs: show the user that one.
        QSettings settings(configPath, QSettings::IniFormat);
        const QString port = settings.value(QStringLiteral("listener/port")).toString();
        BrowserOpener::open(QUrl(QStringLiteral("http://127.0.0.1:") + port, QUrl::TolerantMode).toString());
        return 0;
    }

    // A service manager's stop or a Ctrl+C ends the program the way Quit does; taken before the
    // port opens, and delivered by the event loop once the program is built.
    TerminationSignals termination;
    auto *creator = new Creator(configPath, restarted, &app);
    QObject::connect(&termination, &TerminationSignals::received, creator, &Creator::slotExitApp);

    const int code = app.exec();
    delete creator;
    Database::closeThisThread();
    return code;
}
