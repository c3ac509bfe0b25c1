#pragma once

#include <QObject>
#include <QString>

class HttpListener;
class HttpSessionStore;
class MyHttpRequestHandler;
class StaticFileController;
class TrayMenu;

// The start-up object of the main program: builds the HTTP server with the request handler from
// "config.ini" and the tray menu, and ends the program by Quit (code 0) or by the restart through
// the Vexo_admin launcher (code 12). Lives in the main thread until main returns.
class Creator : public QObject
{
    Q_OBJECT
public:
    // restarted: the program was started with "-r"; no browser and no start balloon then.
    Creator(const QString &configPath, bool restarted, QObject *parent = nullptr);
    ~Creator() override;

    MyHttpRequestHandler *requestHandler() const { return m_requestHandler; }

public slots:
    void slotRestartAppAsAdmin();
    void slotExitApp();

private:
    // Conversions under way end first (their requests answer at once) and the converter
    // processes are reaped; polling stops before the program goes, so that its session breaks and
    // its last archive rows are written; then the listener, so the port is free for the next
    // instance.
    void shutDown();
    // After shutDown: through the event loop and the teardown of every object when all
    // connection threads have ended; at once otherwise, so that a request still running never
    // works on what the teardown would free.
    void leave(int code);

    MyHttpRequestHandler *m_requestHandler = nullptr;
    HttpListener *m_listener = nullptr;
    TrayMenu *m_trayMenu = nullptr;
    HttpSessionStore *m_sessionStore = nullptr;
    StaticFileController *m_staticFiles = nullptr;
};
