#include "ModbusLine.h"

#include "BufferInterface.h"
#include "ModbusClient.h"
#include "ValueFlag.h"

#include <cstring>
#include <vector>

namespace {

// The float types' "no value" markers: ±1.0e20 and -2.0e20.
bool isFloatMarker(quint32 pattern)
{
    return (pattern & 0x7FFFFFFFu) == 0x60AD78ECu || pattern == 0xE12D78ECu;
}

float floatFromBits(quint32 pattern)
{
    float f;
    std::memcpy(&f, &pattern, sizeof f);
    return f;
}

// Whether value i of the block is made of the pair of words 2i and 2i+1.
bool decodesPair(const ReadIteration &block)
{
    switch (block.regType) {
    case 0:
    case 1:
    case 5:
        return block.valSize == 32;
    case 2:
    case 3:
        return block.regSize == 16 || block.regSize == 32;
    case 6:
        return true;
    default:
        return false;
    }
}

} // namespace

ModbusLine::ModbusLine(QObject *parent) : QObject(parent) {}

ModbusLine::~ModbusLine() = default;

int ModbusLine::disconnectLine()
{
    m_ctx.reset();
    return Success;
}

int ModbusLine::failureCode() const
{
    return m_ctx && m_ctx->lastFailureWasTimeout() ? Timeout : OtherError;
}

void ModbusLine::applyTimeout(int timeoutMs)
{
    // No time at all would make every read fail, or take the rest of the previous reply: the
    // fresh context keeps the library's default.
    if (timeoutMs <= 0)
        return;
    qint64 sec = 0;
    qint64 usec = 0;
    m_ctx->getTimeoutBegin(&sec, &usec);
    m_ctx->setTimeoutBegin(sec, qint64(timeoutMs) * 1000);
}

int ModbusLine::identifyOnce(int slaveIdToAsk, int *slaveId)
{
    if (!m_ctx && connectLine() != Success)
        return noConnectionCode();
    if (m_ctx->setSlave(slaveIdToAsk) == -1)
        return OtherError;
    quint8 reply[ModbusClient::ReportSlaveIdBufferSize] = {};
    const int n = m_ctx->reportSlaveId(reply, int(sizeof reply));
    if (n < 0)
        return failureCode();
    if (n == 0 || n > 254)
        return BadReply;
    if (slaveId)
        *slaveId = reply[0];
    return Success;
}

int ModbusLine::readBlock(const ReadIteration &block, BufferInterface *buffer, qint64 timestamp, int extra)
{
    Q_UNUSED(extra)
    if (!m_ctx && connectLine() != Success)
        return noConnectionCode();

    const int step = block.regSize == 16 && block.valSize == 32 ? 2 : 1;
    if (block.valuesCnt > MaxBlockValues || block.valuesCnt <= 0)
        return BlockTooLarge;
    const int count = block.valuesCnt * step;
    const bool wideRegisters = block.ModbusReadFunction == 3 && block.regSize != 16;

    // Room for two words per register whatever is read, zeroed: decoding never goes past it, and
    // receivedWords below says which of them the device sent.
    std::vector<quint16> words(size_t(count) * 2, 0);
    // A value made of two 16-bit registers must come from one request: read in two, its halves
    // could stem from two different moments.
    const int registersPerValue = step == 2 || (decodesPair(block) && !wideRegisters) ? 2 : 1;
    int r = -1;
    if (m_ctx->setSlave(block.ModbusId) == 0) {
        if (block.ModbusReadFunction != 3)
            r = m_ctx->readInputRegistersAligned(block.regAddr, count, words.data(), registersPerValue);
        else if (block.regSize == 16)
            r = m_ctx->readRegistersAligned(block.regAddr, count, words.data(), registersPerValue);
        else
            r = m_ctx->readRegisters32(block.regAddr, count, words.data());
    }

    if (r == count) {
        if (buffer && !buffer->tryLock())
            return BufferBusy;
        const int receivedWords = wideRegisters ? 2 * r : r;
        for (int i = 0; buffer && i < block.valuesCnt; ++i) {
            const int address = block.regAddr + i * step;
            // A pair type read as 16-bit input registers has one word per value: the values whose
            // words never came are a read error, not a decoding of whatever the buffer held.
            if (wordsUsed(block, i) > receivedWords) {
                buffer->storeValue(block.idDevice, address, 0.0, timestamp, ValueFlag::ReadError, 0, false);
                continue;
            }
            const DecodedValue v = decodeValue(block, words.data(), i);
            buffer->storeValue(block.idDevice, address, v.value, timestamp, v.flag, 0, false);
        }
        if (buffer)
            buffer->unlock();
        return Success;
    }

    const int code = r >= 0 ? BadReply : failureCode();
    const int flag = ValueFlag::fromLineResult(code);
    if (buffer && buffer->tryLock()) {
        for (int i = 0; i < block.valuesCnt; ++i)
            buffer->storeValue(block.idDevice, block.regAddr + i * step, 0.0, timestamp, flag, 0, false);
        buffer->unlock();
    }
    return code;
}

int ModbusLine::wordsUsed(const ReadIteration &block, int index)
{
    return decodesPair(block) ? 2 * index + 2 : index + 1;
}

ModbusLine::DecodedValue ModbusLine::decodeValue(const ReadIteration &block, const quint16 *words, int index)
{
    DecodedValue result;
    const quint32 word = words[index];
    auto swappedPair = [&] { return quint32(words[2 * index]) << 16 | words[2 * index + 1]; };
    auto plainPair = [&] { return quint32(words[2 * index + 1]) << 16 | words[2 * index]; };
    auto asFloat = [&](quint32 pattern) {
        if (isFloatMarker(pattern))
            result.flag = ValueFlag::InvalidMarker;
        return double(floatFromBits(pattern));
    };

    // A 32-bit register is one value whose words the layer keeps low word first: the integer
    // types take it whole, where pairs of 16-bit registers carry their high word first.
    auto integerPair = [&] { return block.regSize == 32 ? plainPair() : swappedPair(); };

    switch (block.regType) {
    case 0:
    case 1:
        result.value = block.valSize == 32 ? double(integerPair()) : double(word);
        break;
    case 2:
        if (block.regSize == 16)
            result.value = asFloat(swappedPair());
        else if (block.regSize == 32)
            result.value = asFloat(plainPair());
        else
            result.value = word;
        break;
    case 3:
        if (block.regSize == 32)
            result.value = asFloat(swappedPair());
        else if (block.regSize == 16)
            result.value = asFloat(plainPair());
        else
            result.value = word;
        break;
    case 5:
        result.value = block.valSize == 32 ? double(qint32(integerPair())) / 10.0 : double(word);
        break;
    case 6:
        result.value = double(qint32(integerPair())) / 100.0;
        break;
    case 7:
    case 11:
        result.value = double(word) / 100.0;
        break;
    case 8:
    case 12:
        result.value = double(word) / 10.0;
        break;
    case 9:
    case 13:
        result.value = double(word) / 1000.0;
        break;
    default:
        result.value = word;
        break;
    }
    return result;
}
