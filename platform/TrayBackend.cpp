#include "TrayBackend.h"

#include <QIcon>

TrayBackend::TrayBackend(const QIcon &icon, QObject *parent)
    : QObject(parent)
    , m_icon(new QSystemTrayIcon(icon, this))
{
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayBackend::activated);
}

TrayBackend::~TrayBackend() = default;

void TrayBackend::setContextMenu(QMenu *menu) { m_icon->setContextMenu(menu); }

void TrayBackend::setToolTip(const QString &toolTip) { m_icon->setToolTip(toolTip); }

void TrayBackend::setVisible(bool visible) { m_icon->setVisible(visible); }

bool TrayBackend::isVisible() const { return m_icon->isVisible(); }

void TrayBackend::showMessage(const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon,
                              int milliseconds)
{
    qInfo("TrayMenu: balloon %s %s", qPrintable(title), qPrintable(text));
    if (QSystemTrayIcon::isSystemTrayAvailable() && QSystemTrayIcon::supportsMessages())
        m_icon->showMessage(title, text, icon, milliseconds);
}
