#include "ModbusTCPLine.h"

#include "ModbusClient.h"

#include <QTcpSocket>

namespace {
constexpr int kDefaultTimeoutMs = 500;
} // namespace

ModbusTCPLine::ModbusTCPLine(const ConnectionManager::TCPConnectionCfg &cfg, QObject *parent)
    : ModbusLine(parent), m_slaveId(cfg.id), m_name(cfg.name), m_ip(cfg.ip), m_port(cfg.portTCP),
      m_timeout(cfg.timeout)
{
}

int ModbusTCPLine::connectLine()
{
    if (m_port < 1 || m_port > 65535) {
        m_ctx.reset();
        return Timeout;
    }
    {
        // A server that is down or a host that does not answer is told within the line's own
        // time-out, before any context is made.
        QTcpSocket probe;
        probe.connectToHost(m_ip, quint16(m_port));
        // A line without a time-out waits as long as the library's default response time.
        if (!probe.waitForConnected(m_timeout > 0 ? m_timeout : kDefaultTimeoutMs)) {
            m_ctx.reset();
            return Timeout;
        }
        probe.abort();
    }
    m_ctx.reset();
    std::unique_ptr<ModbusClient> ctx = ModbusClient::newTcp(m_ip.toLatin1(), quint16(m_port));
    if (!ctx)
        return Timeout;
    ctx->connect();
    m_ctx = std::move(ctx);
    applyTimeout(m_timeout);
    return Success;
}

int ModbusTCPLine::reportSlaveId(int *slaveId, bool noRetry)
{
    const int code = identifyOnce(m_slaveId, slaveId);
    if ((code != BadReply && code != OtherError) || noRetry)
        return code;
    disconnectLine();
    if (connectLine() != Success)
        return code;
    return reportSlaveId(slaveId, true);
}
