#include "DeviceSearch.h"

#include <QMetaObject>
#include <QSemaphore>
#include <QThread>

#include <memory>

DeviceSearch::DeviceSearch(QObject *parent) : QObject(parent)
{
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("DeviceSearch"));
    m_anchor = new QObject;
    m_anchor->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_anchor, &QObject::deleteLater);
    m_thread->start();
}

DeviceSearch::~DeviceSearch()
{
    runInSearchThread([this] { delete takeFinder(); });
    m_thread->quit();
    if (m_thread->wait(WaitMs))
        delete m_thread;
    // A thread that does not end in time is left behind rather than destroyed while it runs.
}

DeviceFinder *DeviceSearch::takeFinder()
{
    QMutexLocker lock(&m_mutex);
    DeviceFinder *finder = m_finder;
    m_finder = nullptr;
    return finder;
}

bool DeviceSearch::runInSearchThread(const std::function<void()> &work)
{
    if (QThread::currentThread() == m_thread) {
        work();
        return true;
    }
    auto done = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        m_anchor, [work, done] { work(); done->release(); }, Qt::QueuedConnection);
    return done->tryAcquire(1, WaitMs);
}

QByteArray DeviceSearch::startSearchingDevices()
{
    quint64 generation = 0;
    DeviceFinder::Target target;
    {
        QMutexLocker lock(&m_mutex);
        generation = ++m_generation;
        target = m_target;
    }
    // The finder is made in the search thread, so its timers, socket and helper belong there.
    runInSearchThread([this, generation, target] {
        delete takeFinder(); // the previous search ends here, its helper killed
        auto *finder = new DeviceFinder(target);
        QMutexLocker lock(&m_mutex);
        if (generation == m_generation && !m_finder) {
            m_finder = finder;
            return;
        }
        lock.unlock();
        delete finder;
    });
    return QByteArrayLiteral("ok");
}

QByteArray DeviceSearch::getSearchedDevices()
{
    auto reply = std::make_shared<QByteArray>();
    const bool ran = runInSearchThread([this, reply] {
        DeviceFinder *finder = takeFinder();
        if (!finder)
            return;
        *reply = finder->getSearchedDevices();
        delete finder;
    });
    return ran ? *reply : QByteArray();
}

void DeviceSearch::setTarget(const DeviceFinder::Target &target)
{
    QMutexLocker lock(&m_mutex);
    m_target = target;
}

int DeviceSearch::datagramsRead()
{
    auto count = std::make_shared<int>(-1);
    const bool ran = runInSearchThread([this, count] {
        QMutexLocker lock(&m_mutex);
        if (m_finder)
            *count = m_finder->datagramsRead();
    });
    return ran ? *count : -1;
}
