#pragma once

#include <QObject>
#include <QSystemTrayIcon>

class QIcon;
class QMenu;

// The desktop tray icon of a program. Where the desktop has a tray the icon, its menu and its
// balloons show there; every balloon is also written to the log as one line, so a headless run
// (and its tests) sees it all the same.
class TrayBackend : public QObject
{
    Q_OBJECT
public:
    TrayBackend(const QIcon &icon, QObject *parent = nullptr);
    ~TrayBackend() override;

    void setContextMenu(QMenu *menu);
    void setToolTip(const QString &toolTip);
    void setVisible(bool visible);
    bool isVisible() const;
    // Logs "TrayMenu: balloon <title> <text>" and shows the balloon where a tray exists.
    void showMessage(const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon,
                     int milliseconds);
    QSystemTrayIcon *icon() const { return m_icon; }

signals:
    void activated(QSystemTrayIcon::ActivationReason reason);

private:
    QSystemTrayIcon *m_icon;
};
