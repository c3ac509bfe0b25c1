#pragma once

#include <QString>

// Opens an address in the desktop's browser through xdg-open from PATH, started detached with the
// address as its one argument. Qt's own opener does nothing on a headless platform.
class BrowserOpener
{
public:
    // True when xdg-open could be started; callers may ignore the result.
    static bool open(const QString &url);
};
