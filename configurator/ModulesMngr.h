#pragma once

#include <QByteArray>
#include <QFileInfo>
#include <QObject>
#include <QString>

namespace vexo {

// Which browser modules are installed below the document root ("modules/<name>/") and which
// pages, style sheets and scripts each holds. Walks the directories on every call.
class ModulesMngr : public QObject
{
    Q_OBJECT
public:
    // A relative root is taken from the program's directory, not the working directory.
    explicit ModulesMngr(const QString &rootPath, QObject *parent = nullptr);

    // {"<module>":{"html":[..],"css":[..],"js":[..]},...}; {"modules":{}} without a modules directory.
    QByteArray getListOfInstalledModules() const;
    QByteArray moduleFilesJson(const QString &moduleDir) const;
    // "<suffix>":["file",...] for the files directly in the directory.
    QByteArray listFilesJson(const QString &dir, const QString &suffix) const;

private:
    QFileInfo m_root;
};

} // namespace vexo
