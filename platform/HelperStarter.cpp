#include "HelperStarter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

HelperStarter::HelperStarter(const QString &applicationDir)
    : m_dir(QDir::cleanPath(QDir(applicationDir.isEmpty() ? QCoreApplication::applicationDirPath() : applicationDir)
                                .absolutePath()))
{
}

QString HelperStarter::resolve(const QString &name) const
{
    QString relative = QDir::fromNativeSeparators(name);
    if (relative.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        relative.chop(4);
    if (relative.isEmpty() || QDir::isAbsolutePath(relative))
        return QString();
    const QString path = QDir::cleanPath(m_dir + QLatin1Char('/') + relative);
    if (!path.startsWith(m_dir + QLatin1Char('/')))
        return QString();
    const QFileInfo info(path);
    if (!info.isFile() || !info.isExecutable())
        return QString();
    return path;
}

bool HelperStarter::start(const QString &name, const QStringList &arguments, qint64 *pid) const
{
    const QString program = resolve(name);
    if (program.isEmpty()) {
        qWarning("HelperStarter: %s is not installed in %s", qPrintable(name), qPrintable(m_dir));
        return false;
    }
    if (!QProcess::startDetached(program, arguments, m_dir, pid)) {
        qWarning("HelperStarter: cannot start %s", qPrintable(program));
        return false;
    }
    return true;
}
