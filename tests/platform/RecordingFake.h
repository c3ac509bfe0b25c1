#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

// A stand-in for a program (xdg-open, a helper beside the executable) that records how it was
// started: its working directory on the first line, then one line per argument, written to
// "<its folder>/record.<its name>" in one rename so a reader never sees half a record.
namespace RecordingFake {

inline bool install(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("#!/bin/sh\n"
               "out=\"$(dirname \"$0\")/record.$(basename \"$0\")\"\n"
               "{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$out.tmp\" && mv \"$out.tmp\" \"$out\"\n");
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

inline QString recordOf(const QString &path)
{
    const QFileInfo info(path);
    return info.absolutePath() + QStringLiteral("/record.") + info.fileName();
}

// The recorded lines (working directory first), empty while the fake has not run.
inline QStringList lines(const QString &path)
{
    QFile file(recordOf(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList result = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

// Puts a folder first on PATH for the rest of the test program.
inline void prependToPath(const QString &dir)
{
    qputenv("PATH", QFile::encodeName(dir) + ':' + qgetenv("PATH"));
}

} // namespace RecordingFake
