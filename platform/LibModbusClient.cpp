#include "LibModbusClient.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/select.h>

#include <modbus.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kFunctionReadHolding = 0x03;
constexpr int kFunctionWriteMultiple = 0x10;
constexpr int kExceptionBit = 0x80;
constexpr int kMaxAdu = 260; // the TCP frame, the longest of both
// The library's own response time-out, kept where a caller asks for none.
constexpr qint64 kDefaultTimeoutUs = 500000;

// The driver's constant for a rate in bit/s, or B0 when the driver has none.
speed_t speedConstant(int baud)
{
    static const struct
    {
        int baud;
        speed_t speed;
    } rates[] = {{50, B50},           {75, B75},           {110, B110},         {134, B134},
                 {150, B150},         {200, B200},         {300, B300},         {600, B600},
                 {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
                 {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
                 {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
                 {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
                 {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
                 {3500000, B3500000}, {4000000, B4000000}};
    for (const auto &rate : rates) {
        if (rate.baud == baud)
            return rate.speed;
    }
    return B0;
}

// A complete exception reply ends its exchange; nothing more is on its way.
bool isExceptionReply(int err)
{
    return err > int(MODBUS_ENOBASE) && err <= int(EMBXGTAR);
}

} // namespace

LibModbusClient::LibModbusClient(modbus_t *ctx, bool isRtu) : m_ctx(ctx), m_isRtu(isRtu) {}

LibModbusClient::LibModbusClient(modbus_t *ctx, bool isRtu, int baud) : m_ctx(ctx), m_isRtu(isRtu), m_baud(baud) {}

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

// The library waits on its descriptor with select(), which cannot take a number at or above
// FD_SETSIZE; the HTTP server raises the descriptor limit, so a busy process can hand out such
// numbers. A new descriptor takes the lowest free number: if that is already near the bound,
// the connect is refused rather than letting select() write past its set.
static bool lowDescriptorFree()
{
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe == -1)
        return false;
    ::close(probe);
    return probe < FD_SETSIZE - 64;
}

int LibModbusClient::connect()
{
    if (!lowDescriptorFree())
        return failedWith(EMFILE);
    if (modbus_connect(m_ctx) == -1)
        return failed();
    if (modbus_get_socket(m_ctx) >= FD_SETSIZE) {
        modbus_close(m_ctx);
        return failedWith(EMFILE);
    }
    if (m_isRtu) {
        // The lock keeps out every other opener that asks for it, root included; TIOCEXCL keeps
        // out plain openers that are not root.
        const int fd = modbus_get_socket(m_ctx);
        if (flock(fd, LOCK_EX | LOCK_NB) == -1 || ioctl(fd, TIOCEXCL) == -1) {
            const int err = errno == EWOULDBLOCK ? EBUSY : errno;
            modbus_close(m_ctx);
            return failedWith(err);
        }
        // The library falls back to 9600 bit/s for a rate it has no constant for: a line that
        // runs at another rate than configured reads nothing but garbage, so it is refused.
        if (m_baud > 0 && !speedIsSet(fd)) {
            modbus_close(m_ctx);
            return failedWith(EINVAL);
        }
    }
    // Whatever a previous user of the port or connection left unread is no reply to us.
    modbus_flush(m_ctx);
    return 0;
}

bool LibModbusClient::speedIsSet(int fd) const
{
    const speed_t wanted = speedConstant(m_baud);
    termios tio{};
    if (wanted == B0 || tcgetattr(fd, &tio) == -1)
        return false;
    return cfgetispeed(&tio) == wanted && cfgetospeed(&tio) == wanted;
}

template <typename Call>
int LibModbusClient::guarded(Call call)
{
    // A reply that came after its request timed out must not answer the next request: on a
    // serial line nothing tells them apart, so the input is emptied before every request.
    if (m_isRtu)
        modbus_flush(m_ctx);
    const int rc = call();
    if (rc < 0)
        recoverAfterFailure();
    return rc;
}

void LibModbusClient::recoverAfterFailure()
{
    const int err = m_lastErrno;
    // A serial slave that answers late may still be sending: the line is listened to until it
    // has been quiet for a response time, so the late reply is discarded here and not taken
    // by the next request. TCP replies carry their transaction id and need no wait.
    if (m_isRtu && !isExceptionReply(err))
        drainInput();
    modbus_flush(m_ctx);
    errno = err;
}

void LibModbusClient::drainInput()
{
    const int fd = modbus_get_socket(m_ctx);
    if (fd < 0)
        return;
    qint64 sec = 0;
    qint64 usec = 0;
    getTimeoutBegin(&sec, &usec);
    const int quietMs = int(std::clamp<qint64>(sec * 1000 + usec / 1000, 1, 60000));
    // A line that never stops chattering must not hold the caller for ever.
    QDeadlineTimer deadline(qint64(quietMs) * 3);
    quint8 scratch[256];
    while (!deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        const int wait = int(std::min<qint64>(quietMs, deadline.remainingTime()));
        if (poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN))
            return;
        if (read(fd, scratch, sizeof scratch) <= 0)
            return;
    }
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
    // No time at all would make every read fail or take what is left from the previous one.
    if (total <= 0)
        total = kDefaultTimeoutUs;
    total = std::min<qint64>(total, qint64(UINT32_MAX) * 1000000);
    if (modbus_set_response_timeout(m_ctx, uint32_t(total / 1000000), uint32_t(total % 1000000)) == -1)
        return failed();
    return 0;
}

int LibModbusClient::reportSlaveId(quint8 *dest, int maxDest)
{
    return guarded([&] {
        const int rc = modbus_report_slave_id(m_ctx, maxDest, dest);
        return rc < 0 ? failed() : rc;
    });
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

// The largest piece that holds whole values of registersPerValue registers.
static int pieceOf(int maximum, int registersPerValue)
{
    const int unit = std::max(registersPerValue, 1);
    return std::max(maximum / unit * unit, 1);
}

int LibModbusClient::readRegisters(int addr, int nb, quint16 *dest) { return readRegistersAligned(addr, nb, dest, 1); }

int LibModbusClient::readRegistersAligned(int addr, int nb, quint16 *dest, int registersPerValue)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, pieceOf(MaxReadRegisters, registersPerValue), [&](int done, int n) {
        return guarded([&] {
            const int rc = modbus_read_registers(m_ctx, addr + done, n, dest + done);
            return rc < 0 ? failed() : rc;
        });
    });
}

int LibModbusClient::readInputRegisters(int addr, int nb, quint16 *dest)
{
    return readInputRegistersAligned(addr, nb, dest, 1);
}

int LibModbusClient::readInputRegistersAligned(int addr, int nb, quint16 *dest, int registersPerValue)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, pieceOf(MaxReadRegisters, registersPerValue), [&](int done, int n) {
        return guarded([&] {
            const int rc = modbus_read_input_registers(m_ctx, addr + done, n, dest + done);
            return rc < 0 ? failed() : rc;
        });
    });
}

int LibModbusClient::writeRegisters(int addr, int nb, const quint16 *src)
{
    return writeRegistersAligned(addr, nb, src, 1);
}

int LibModbusClient::writeRegistersAligned(int addr, int nb, const quint16 *src, int registersPerValue)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, pieceOf(MaxWriteRegisters, registersPerValue), [&](int done, int n) {
        return guarded([&] {
            const int rc = modbus_write_registers(m_ctx, addr + done, n, src + done);
            return rc < 0 ? failed() : rc;
        });
    });
}

int LibModbusClient::readRegisters32(int addr, int nb, quint16 *dest)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, MaxReadRegisters32, [&](int done, int n) {
        return guarded([&] { return readChunk32(addr + done, n, dest + 2 * done); });
    });
}

int LibModbusClient::writeRegisters32(int addr, int nb, const quint16 *src)
{
    if (!rangeFits(addr, nb))
        return -1;
    return inPieces(nb, MaxWriteRegisters32, [&](int done, int n) {
        return guarded([&] { return writeChunk32(addr + done, n, src + 2 * done); });
    });
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
