#include "BrowserOpener.h"

#include <QProcess>

bool BrowserOpener::open(const QString &url)
{
    if (!QProcess::startDetached(QStringLiteral("xdg-open"), {url})) {
        qWarning("BrowserOpener: cannot start xdg-open for %s", qPrintable(url));
        return false;
    }
    return true;
}
