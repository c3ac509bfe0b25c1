#pragma once

#include "DeviceFinder.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>

#include <functional>

class QThread;

// The device search of both request handlers. The current finder lives in a thread of its own,
// so its probes and replies go on while the main thread is blocked; request threads only queue
// work to it and wait for the answer with a bound. Any thread may call.
class DeviceSearch : public QObject
{
    Q_OBJECT
public:
    // How long a request thread waits for the search thread.
    static constexpr int WaitMs = 5000;

    explicit DeviceSearch(QObject *parent = nullptr);
    // Releases the current finder (its helper killed) and ends the thread.
    ~DeviceSearch() override;

    // "startSearchingDevices": releases the previous search (its helper killed) and starts a new
    // one; answers "ok".
    QByteArray startSearchingDevices();
    // "getSearchedDevices": the current search's list, then the search is released; an empty
    // body when no search runs or nobody answered.
    QByteArray getSearchedDevices();

    // Where new searches send their probes and which helper they start (tests: loopback, a fake).
    void setTarget(const DeviceFinder::Target &target);
    // Datagrams the current search has read; -1 without a search.
    int datagramsRead();

private:
    // Runs work in the search thread and waits for it at most WaitMs; false when it did not run in time.
    bool runInSearchThread(const std::function<void()> &work);

    // The current finder, or null. Only the search thread sets it or uses the finder.
    DeviceFinder *takeFinder();

    QMutex m_mutex; // guards m_finder, m_target and m_generation
    quint64 m_generation = 0; // counts searches: a start that ran late does not replace a newer one
    QThread *m_thread = nullptr;
    QObject *m_anchor = nullptr; // lives in the search thread; queued work runs through it
    DeviceFinder *m_finder = nullptr;
    DeviceFinder::Target m_target;
};
