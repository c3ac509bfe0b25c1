#include "LibModbusClient.h"

#include <algorithm>
#include <cerrno>

#include <modbus.h>
#include <sys/file.h>
#include <sys/ioctl.h>

namespace {

constexpr int kFunctionReadHolding = 0x03;
constexpr int kFunctionWriteMultiple = 0x10;
constexpr int kExceptionBit = 0x80;
constexpr int kMaxAdu = 260; // the TCP frame, the longest of both

} // namespace

LibModbusClient::LibModbusClient(modbus_t *ctx, bool isRtu) : m_ctx(ctx), m_isRtu(isRtu) {}

LibModbusClient::~LibModbusClient()
{
    modbus_close(m_ctx);
    modbus_free(m_ctx);
}

int LibModbusClient::failed()
{
    m_lastErrno = errno;
    return -1;
}

int LibModbusClient::failedWith(int err)
{
    m_lastErrno = err;
    errno = err;
    return -1;
}

bool LibModbusClient::rangeFits(int addr, int nb)
{
    if (addr < 0 || nb <= 0 || addr + nb > 65536) {
        failedWith(EINVAL);
        return false;
    }
    return true;
}

int LibModbusClient::connect()
{
    if (modbus_connect(m_ctx) == -1)
        return failed();
    if (m_isRtu) {
        // The lock keeps out every other opener that asks for it, root included; TIOCEXCL keeps
        // out plain openers that are not root.
        const int fd = modbus_get_socket(m_ctx);
        if (flock(fd, LOCK_EX | LOCK_NB) == -1 || ioctl(fd, TIOCEXCL) == -1) {
            const int err = errno == EWOULDBLOCK ? EBUSY : errno;
            modbus_close(m_ctx);
            return failedWith(err);
        }
    }
    return 0;
}

void LibModbusClient::close()
{
    modbus_close(m_ctx);
}

int LibModbusClient::setSlave(int slave)
{
    if (modbus_set_slave(m_ctx, slave) == -1)
        return failed();
    m_slave = slave;
    return 0;
}

void LibModbusClient::getTimeoutBegin(qint64 *sec, qint64 *usec)
{
    uint32_t s = 0;
    uint32_t us = 0;
    modbus_get_response_timeout(m_ctx, &s, &us);
    *sec = s;
    *usec = us;
}

int LibModbusClient::setTimeoutBegin(qint64 sec, qint64 usec)
{
    qint64 total = std::max<qint64>(sec, 0) * 1000000 + std::max<qint64>(usec, 0);
    total = std::clamp<qint64>(total, 1, qint64(UINT32_MAX) * 1000000);
    if (modbus_set_response_timeout(m_ctx, uint32_t(total / 1000000), uint32_t(total % 1000000)) == -1)
        return failed();
    return 0;
}

int LibModbusClient::reportSlaveId(quint8 *dest, int maxDest)
{
    const int rc = modbus_report_slave_id(m_ctx, maxDest, dest);
    return rc < 0 ? failed() : rc;
}

// Requests larger than the protocol allows go out in pieces of at most `piece` registers; the
// caller sees one call: the whole count, the count up to a short piece, or -1 from a failed one.
template <typename Piece>
static int inPieces(int nb, int piece, Piece call)
{
    for (int done = 0; done < nb;) {
        const int n = std::min(nb - done, piece);
        const int rc = call(done, n);
        if (rc < 0)
            return -1;
        done += rc;
        if (rc != n)
            return done;
    }
    return nb;
}

int LibModbusClient::readRegisters(int addr, int nb, quint16 *dest)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, MaxReadRegisters, [&](int done, int n) {
        const int rc = modbus_read_registers(m_ctx, addr + done, n, dest + done);
        return rc < 0 ? failed() : rc;
    });
}

int LibModbusClient::readInputRegisters(int addr, int nb, quint16 *dest)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, MaxReadRegisters, [&](int done, int n) {
        const int rc = modbus_read_input_registers(m_ctx, addr + done, n, dest + done);
        return rc < 0 ? failed() : rc;
    });
}

int LibModbusClient::writeRegisters(int addr, int nb, const quint16 *src)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, MaxWriteRegisters, [&](int done, int n) {
        const int rc = modbus_write_registers(m_ctx, addr + done, n, src + done);
        return rc < 0 ? failed() : rc;
    });
}

int LibModbusClient::readRegisters32(int addr, int nb, quint16 *dest)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, MaxReadRegisters32, [&](int done, int n) { return readChunk32(addr + done, n, dest + 2 * done); });
}

int LibModbusClient::writeRegisters32(int addr, int nb, const quint16 *src)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, MaxWriteRegisters32,
                    [&](int done, int n) { return writeChunk32(addr + done, n, src + 2 * done); });
}

int LibModbusClient::exchange(const quint8 *request, int length, quint8 *pdu)
{
    if (modbus_send_raw_request(m_ctx, const_cast<quint8 *>(request), length) == -1)
        return failed();
    quint8 reply[kMaxAdu];
    const int rc = modbus_receive_confirmation(m_ctx, reply);
    if (rc == -1)
        return failed();
    const int header = modbus_get_header_length(m_ctx);
    // The library has checked the RTU checksum; what it passes unchecked for a raw request is
    // ours to check: the unit that answered and the function it answered. A raw TCP request goes
    // out with transaction id 0, which keeps a late reply to an earlier ordinary request out.
    const int trailer = m_isRtu ? 2 : 0;
    const int pduLength = rc - header - trailer;
    if (pduLength < 2 || reply[header - 1] != request[0])
        return failedWith(EMBBADDATA);
    if (!m_isRtu && (reply[0] != 0 || reply[1] != 0))
        return failedWith(EMBBADDATA);
    if (reply[header] == (request[1] | kExceptionBit))
        return failedWith(int(MODBUS_ENOBASE) + reply[header + 1]);
    if (reply[header] != request[1])
        return failedWith(EMBBADDATA);
    std::copy(reply + header, reply + header + pduLength, pdu);
    return pduLength;
}

int LibModbusClient::readChunk32(int addr, int nb, quint16 *dest)
{
    const quint8 request[] = {quint8(m_slave), kFunctionReadHolding, quint8(addr >> 8), quint8(addr),
                              quint8(nb >> 8), quint8(nb)};
    quint8 pdu[kMaxAdu];
    const int length = exchange(request, int(sizeof request), pdu);
    if (length < 0)
        return -1;
    const int byteCount = pdu[1];
    // A well-formed shorter reply is passed on as a shorter count: the caller sees the mismatch.
    if (byteCount % 4 != 0 || byteCount > nb * 4 || length != 2 + byteCount)
        return failedWith(EMBBADDATA);
    const int received = byteCount / 4;
    for (int i = 0; i < received; ++i) {
        const quint8 *b = pdu + 2 + 4 * i;
        dest[2 * i] = quint16(b[2] << 8 | b[3]);
        dest[2 * i + 1] = quint16(b[0] << 8 | b[1]);
    }
    return received;
}

int LibModbusClient::writeChunk32(int addr, int nb, const quint16 *src)
{
    quint8 request[7 + 4 * MaxWriteRegisters32] = {quint8(m_slave), kFunctionWriteMultiple, quint8(addr >> 8),
                                                   quint8(addr), quint8(nb >> 8), quint8(nb), quint8(nb * 4)};
    for (int i = 0; i < nb; ++i) {
        quint8 *b = request + 7 + 4 * i;
        b[0] = quint8(src[2 * i + 1] >> 8);
        b[1] = quint8(src[2 * i + 1]);
        b[2] = quint8(src[2 * i] >> 8);
        b[3] = quint8(src[2 * i]);
    }
    quint8 pdu[kMaxAdu];
    const int length = exchange(request, 7 + 4 * nb, pdu);
    if (length < 0)
        return -1;
    if (length != 5 || (pdu[1] << 8 | pdu[2]) != addr || (pdu[3] << 8 | pdu[4]) != nb)
        return failedWith(EMBBADDATA);
    return nb;
}
