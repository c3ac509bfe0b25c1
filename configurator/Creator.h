#pragma once

#include <QObject>
#include <QString>

class HttpListener;
class StaticFileController;
class TrayMenu;

namespace vexo {

class MyHttpRequestHandler;

// Builds Vexo's serving side from "config.ini" (static files, the request handler, the listener)
// and owns the three ends of the program: Quit, the restart through "Vexo_admin" and the hand-over
// to the installer "www/root/Vexo_setup". Main thread only.
class Creator : public QObject
{
    Q_OBJECT
public:
    static constexpr int HandOverExitCode = 12;

    Creator(const QString &configPath, bool restarted, QObject *parent = nullptr);
    ~Creator() override;

    MyHttpRequestHandler *requestHandler() const { return m_requestHandler; }
    HttpListener *listener() const { return m_listener; }
    TrayMenu *trayMenu() const { return m_trayMenu; }

public slots:
    void slotRestartAppAsAdmin();
    void slotRunAutoUpdate();
    void slotExitApp();

private:
    // Closes the port, starts the helper detached with "-r" and ends the process at once. A
    // helper that is not there leaves the program serving.
    void handOver(const QString &helper);

    MyHttpRequestHandler *m_requestHandler = nullptr;
    HttpListener *m_listener = nullptr;
    TrayMenu *m_trayMenu = nullptr; // a widget, so not a child: deleted here
};

} // namespace vexo
