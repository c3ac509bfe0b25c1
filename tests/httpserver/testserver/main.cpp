// Runs the HTTP server on the settings of one config.ini (groups "listener" and "docroot") and
// prints "READY <port>" once it listens. A line "quit" (or the end of standard input) stops the
// server and prints "STOPPED". Options: --quiet leaves out the per-request log lines;
// --head-wait-bound MS, --body-grace MS and --newcomer-wait MS set the pool's bounds: how long a
// connection may wait for its request head before a new connection may take its thread, how long
// a body may come slowly, and how long a new connection waits for a busy pool.
#include "HttpConnectionHandlerPool.h"
#include "HttpListener.h"
#include "StaticFileController.h"
#include "TestRequestHandler.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSettings>
#include <QSocketNotifier>

#include <cstdio>
#include <utility>

int main(int argc, char *argv[])
{
    // Every thread, the connection handlers included, takes Qt's own poll() loop rather than
    // glib's: glib wakes its loop through an eventfd each time a socket's write notifier is
    // switched on or off, which the sockets do for every reply. Read when each thread starts,
    // so it is set before any of them.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: http_test_server config.ini [--quiet] [--head-wait-bound MS] [--body-grace MS] "
                             "[--newcomer-wait MS]\n");
        return 2;
    }
    const bool quiet = args.contains(QStringLiteral("--quiet"));
    HttpConnectionHandlerPool::Bounds bounds = HttpConnectionHandlerPool::bounds();
    for (const auto &option :
         {std::make_pair("--head-wait-bound", &bounds.headMs), std::make_pair("--body-grace", &bounds.bodyGraceMs),
          std::make_pair("--newcomer-wait", &bounds.newcomerWaitMs)}) {
        const int at = args.indexOf(QLatin1String(option.first));
        if (at > 0 && at + 1 < args.size())
            *option.second = args.at(at + 1).toInt();
    }
    HttpConnectionHandlerPool::setBounds(bounds);
    if (quiet)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    QSettings docrootSettings(args.at(1), QSettings::IniFormat);
    docrootSettings.beginGroup(QStringLiteral("docroot"));
    StaticFileController staticFiles(&docrootSettings);
    TestRequestHandler handler(&staticFiles, !quiet);

    QSettings listenerSettings(args.at(1), QSettings::IniFormat);
    listenerSettings.beginGroup(QStringLiteral("listener"));
    auto *listener = new HttpListener(&listenerSettings, &handler);
    if (!listener->isListening())
        return 1;
    std::printf("READY %u\n", listener->serverPort());
    std::fflush(stdout);

    // The end of standard input (the test closing it) stops the server the orderly way.
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&]() {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, stdin) == nullptr || QByteArray(buffer).startsWith("quit"))
            app.quit();
    });
    const int code = app.exec();
    delete listener;
    std::printf("STOPPED\n");
    std::fflush(stdout);
    // Kept alive after the orderly stop until the next line or the end of the input, so that a
    // test can still look at what the process holds open.
    app.exec();
    return code;
}
