#pragma once

#include <QObject>
#include <QString>

// The base of every object that runs in a thread of its own (line workers, the mail queue).
// The starter moves it to a new QThread and calls process() when the thread starts; finished()
// ends the thread and releases the worker and the thread.
class ThreadWorker : public QObject
{
    Q_OBJECT
public:
    // No parent: an object with a parent cannot be moved to another thread.
    explicit ThreadWorker(QObject *parent = nullptr) : QObject(parent) {}

    virtual void stop() = 0;

signals:
    void finished();
    void error(QString err);

public slots:
    virtual void process() = 0;
};
