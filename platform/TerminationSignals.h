#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM and SIGINT turned into a Qt signal in the thread that created the object, so that a
// service manager or a Ctrl+C ends the program the way Quit does. One object per process.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    // Installs the handlers; false (and no handlers) when the system refused.
    explicit TerminationSignals(QObject *parent = nullptr);
    // Puts the default handlers back.
    ~TerminationSignals() override;

    bool isInstalled() const { return m_notifier != nullptr; }

signals:
    // The number of the signal that arrived.
    void received(int signalNumber);

private slots:
    void readPipe();

private:
    QSocketNotifier *m_notifier = nullptr;
};
