#include "SingleInstance.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QString SingleInstance::lockFileFor(const QString &name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name + QStringLiteral(".lock");
}

SingleInstance::SingleInstance(const QString &lockFilePath)
    : m_path(lockFilePath)
{
}

SingleInstance::~SingleInstance() { release(); }

bool SingleInstance::tryLock()
{
    if (m_fd >= 0)
        return true;
    const QByteArray path = QFile::encodeName(m_path);
    int fd = -1;
    do {
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        qWarning("SingleInstance: cannot open %s", path.constData());
        return false;
    }
    int result = -1;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void SingleInstance::release()
{
    if (m_fd < 0)
        return;
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}
