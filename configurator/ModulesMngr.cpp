#include "ModulesMngr.h"

#include "JsonReply.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>

namespace vexo {

ModulesMngr::ModulesMngr(const QString &rootPath, QObject *parent)
    : QObject(parent),
      m_root(QDir::isAbsolutePath(rootPath) ? rootPath
                                            : QDir(QCoreApplication::applicationDirPath()).filePath(rootPath))
{
}

QByteArray ModulesMngr::listFilesJson(const QString &dir, const QString &suffix) const
{
    QString out = JsonReply::quoted(suffix) + QStringLiteral(":[");
    QDirIterator it(dir, {QStringLiteral("*.") + suffix}, QDir::Files | QDir::NoDotAndDotDot);
    bool first = true;
    while (it.hasNext()) {
        it.next();
        if (!first)
            out += QLatin1Char(',');
        first = false;
        out += JsonReply::quoted(it.fileName());
    }
    out += QLatin1Char(']');
    return out.toUtf8();
}

QByteArray ModulesMngr::moduleFilesJson(const QString &moduleDir) const
{
    return '{' + listFilesJson(moduleDir, QStringLiteral("html")) + ',' + listFilesJson(moduleDir, QStringLiteral("css")) +
           ',' + listFilesJson(moduleDir, QStringLiteral("js")) + '}';
}

QByteArray ModulesMngr::getListOfInstalledModules() const
{
    const QByteArray none = QByteArrayLiteral("{\"modules\":{}}");
    QFileInfo root(m_root.absoluteFilePath()); // looked at afresh on every call
    if (!root.exists() || !root.isDir())
        return none;
    const QFileInfo modules(root.absoluteFilePath() + QStringLiteral("/modules"));
    if (!modules.exists() || !modules.isDir())
        return none;
    QByteArray out = "{";
    QDirIterator it(modules.absoluteFilePath(), QDir::Dirs | QDir::NoDotAndDotDot);
    bool first = true;
    while (it.hasNext()) {
        it.next();
        if (!first)
            out += ',';
        first = false;
        out += JsonReply::quoted(it.fileName()).toUtf8() + ':' + moduleFilesJson(it.filePath());
    }
    out += '}';
    return out;
}

} // namespace vexo
