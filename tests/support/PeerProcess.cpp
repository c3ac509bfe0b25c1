#include "PeerProcess.h"

#include "TestEnv.h"

#include <QElapsedTimer>
#include <QThread>

PeerProcess::~PeerProcess() { stop(); }

bool PeerProcess::start(const QString &program, const QStringList &args, int timeoutMs,
                        const QByteArray &readyPattern)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(program, args);
    if (!m_process.waitForStarted(10000)) {
        qWarning("peer %s did not start", qPrintable(program));
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        m_process.waitForReadyRead(100);
        m_output += m_process.readAll();
        const int at = m_output.indexOf(readyPattern);
        if (at >= 0) {
            int end = m_output.indexOf('\n', at);
            if (end < 0) {
                if (m_process.state() != QProcess::Running)
                    end = m_output.size();
                else
                    continue;
            }
            const QByteArray line = m_output.mid(at, end - at).trimmed();
            const QList<QByteArray> words = line.split(' ');
            for (int i = 1; i < words.size(); ++i)
                if (!words.at(i).isEmpty())
                    m_readyWords << QString::fromUtf8(words.at(i));
            return true;
        }
        if (m_process.state() != QProcess::Running)
            break;
    }
    qWarning("peer %s %s never became ready; it printed:\n%s", qPrintable(program), qPrintable(args.join(' ')),
             m_output.constData());
    return false;
}

bool PeerProcess::startPython(const QString &script, const QStringList &args, int timeoutMs)
{
    return start(TestEnv::python(), QStringList{QStringLiteral("-u"), script} + args, timeoutMs);
}

QByteArray PeerProcess::output()
{
    m_output += m_process.readAll();
    return m_output;
}

void PeerProcess::send(const QByteArray &line)
{
    m_process.write(line.endsWith('\n') ? line : line + '\n');
    m_process.waitForBytesWritten(2000);
}

void PeerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}
