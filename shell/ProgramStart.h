#pragma once

#include <QString>

class QObject;
class QSettings;

// The start-up steps both programs share, before and after their application object exists.
class ProgramStart
{
public:
    // Before the application object: a machine without a display (a service, a test) runs
    // headless rather than not at all, and Qt's own event loop replaces glib's.
    static void prepareEnvironment();
    // "config.ini" beside the executable; the program ends when it is missing.
    static QString configPath();
    // A settings object on that file, opened in group (the top level when empty), owned by parent.
    static QSettings *settingsIn(const QString &configPath, const QString &group, QObject *parent);
};
