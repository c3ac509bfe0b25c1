#pragma once

#include <QString>

// Keeps one running copy per installation: an exclusive flock(2) on a lock file beside the
// executable. Each installed copy guards its own files, and the system drops the lock when the
// process ends, however it ends. The descriptor is not inherited by programs started later.
class SingleInstance
{
public:
    // The lock file for name in the application directory ("<dir>/<name>.lock").
    static QString lockFileFor(const QString &name);

    explicit SingleInstance(const QString &lockFilePath);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when this process holds the lock now (taken at once or already held); false when
    // another process holds it or the file cannot be opened. Never waits.
    bool tryLock();
    bool isLocked() const { return m_fd >= 0; }
    // Gives the lock up before the end of the process.
    void release();

private:
    QString m_path;
    int m_fd = -1;
};
