#pragma once

#include <QString>
#include <QStringList>

// Starts the helper programs that are installed beside the program ("Vexo_admin",
// "platforms/Pellaris", "www/root/Vexo_setup", "Bootloader"): resolved against the application
// directory only, never the working directory or PATH, and started detached with an argument list,
// no shell. A trailing ".exe" of a name is dropped.
class HelperStarter
{
public:
    // applicationDir: where the helpers are looked for; the executable's directory by default.
    explicit HelperStarter(const QString &applicationDir = QString());

    // The absolute path of the helper, or an empty text when it is not an executable file there.
    // A name that climbs out of the directory ("..") or is absolute resolves to nothing.
    QString resolve(const QString &name) const;
    // Starts the helper detached in the application directory; false when it is missing or
    // cannot be started. pid, when given, receives the started process's id.
    bool start(const QString &name, const QStringList &arguments, qint64 *pid = nullptr) const;

    QString applicationDir() const { return m_dir; }

private:
    QString m_dir;
};
