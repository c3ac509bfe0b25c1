#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A peer program started by a test (a pymodbus server, a broker, an SMTP server) that runs
// until the object goes away. A peer says it is ready by printing a line that starts with
// "READY" (for example "READY 127.0.0.1 40123"); start() waits for that line, not for a time.
class PeerProcess
{
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // Starts the program and waits up to timeoutMs for the ready line (or for readyPattern,
    // a plain substring looked for in standard output and standard error, when given).
    bool start(const QString &program, const QStringList &args, int timeoutMs = 20000,
               const QByteArray &readyPattern = "READY");
    // Convenience for a Python peer run by Debian's interpreter.
    bool startPython(const QString &script, const QStringList &args, int timeoutMs = 20000);
    // The words after "READY" on the ready line.
    QStringList readyWords() const { return m_readyWords; }
    // Everything the peer printed so far (both channels).
    QByteArray output();
    // Sends a line to the peer's standard input (peers that take commands).
    void send(const QByteArray &line);
    void stop();
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    QByteArray m_output;
    QStringList m_readyWords;
};
