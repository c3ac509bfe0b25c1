#include "ModbusEngine.h"

#include "JsonReply.h"
#include "ModbusClient.h"
#include "ScriptLiteral.h"
#include "SerialPortList.h"

#include <QFile>
#include <QSettings>
#include <QTcpSocket>
#include <QThread>
#include <QVector>

#include <cmath>
#include <cstring>

namespace vexo {

namespace {

const char *const g_baudRateNames[] = {"1200",  "2400",  "4800",   "9600",   "19200",  "38400",
                                       "57600", "115200", "230400", "256000", "1000000"};
const int g_baudRateValues[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 256000, 1000000};
constexpr unsigned kBaudRates = sizeof g_baudRateValues / sizeof g_baudRateValues[0];
const char *const g_modeNames[] = {"RTU 8N2", "RTU 8E1", "RTU 8O1", "RTU 8N1"};

const char ERR_NOT_CONNECTED[] = "ERR_NOT_CONNECTED";
const char ERR_INPUT_PARAMS[] = "ERR_INPUT_PARAMS";
const char ERR_TOO_MANY_REGS[] = "ERR_TOO_MANY_REGS";
const char ERR_TIMEOUT[] = "ERR_TIMEOUT";
const char ERR_SOCKET_CONN[] = "ERR_SOCKET_CONN";
const char ERR_REG_NUMB_NO_MATCH[] = "ERR_REG_NUMB_NO_MATCH";
const char ERR_INVALID_COM[] = "ERR_INVALID_COM";

void modeBits(qint16 mode, char *parity, int *stopBits)
{
    switch (mode) {
    case 0: *parity = 'N'; *stopBits = 2; break;
    case 1: *parity = 'E'; *stopBits = 1; break;
    case 2: *parity = 'O'; *stopBits = 1; break;
    default: *parity = 'N'; *stopBits = 1; break;
    }
}

// The first listed port whose name is or holds the text; an empty text matches none.
bool findPort(const QString &text, QString *found)
{
    if (text.isEmpty())
        return false;
    const QList<SerialPortList::Port> ports = SerialPortList::getPorts();
    for (const SerialPortList::Port &port : ports) {
        if (port.portName == text || port.portName.contains(text)) {
            *found = port.portName;
            return true;
        }
    }
    return false;
}

// A saved number; a value that is no integer counts as absent, so a hand-edited store never
// puts text where the replies put numbers.
int savedInt(const QSettings &settings, const QString &key, int fallback)
{
    bool ok = false;
    const int value = settings.value(key).toInt(&ok);
    return ok ? value : fallback;
}

bool needsTwoRegisters(const QString &type)
{
    return type == QLatin1String("float4321") || type == QLatin1String("float1234") || type == QLatin1String("long");
}

float floatOf(quint32 bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

quint32 bitsOf(float f)
{
    quint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

quint32 swapHalves(quint32 word) { return (word << 16) | (word >> 16); }

// Fixed-point with the given decimals; null for a value that is not finite.
QString formF(float value, int precision)
{
    if (!std::isfinite(value))
        return QStringLiteral("null");
    return QString::number(double(value), 'f', precision);
}

// Six significant digits, the shorter notation; 1.0e8 itself goes to fixed-point.
QString formG(float value, int precision)
{
    if (!std::isfinite(value))
        return QStringLiteral("null");
    if (double(value) == 1.0e8)
        return formF(value, precision);
    return QString::number(double(value), 'g', 6);
}

} // namespace

std::atomic<int> ModbusEngine::s_requestPauseMs{100};

struct ModbusEngine::Block
{
    int address = 0;
    int values = 0;
    int registers = 0;
    int regSize = 16;
    int valSize = 16;
    int precision = 2;
    QString type;
    // Words of 16 bits in the buffer: two per 32-bit register or per two-register value.
    int words() const { return (regSize == 32 || valSize == 32) ? 2 * values : values; }
};

int baudRateFromIndex(unsigned index)
{
    return index < kBaudRates ? g_baudRateValues[index] : -1;
}

ModbusEngine::ModbusEngine(QObject *parent) : QObject(parent)
{
    m_errorsMap.insert(ERR_NOT_CONNECTED, "{\"error\":\"Not connected\"}");
    m_errorsMap.insert(ERR_INPUT_PARAMS, "{\"error\":\"Input parameters error!\"}");
    m_errorsMap.insert(ERR_TOO_MANY_REGS, "{\"error\":\"Too many registers\"}");
    m_errorsMap.insert(ERR_TIMEOUT, "{\"error\":\"I/O error: did not receive any data from slave.\"}");
    m_errorsMap.insert(ERR_SOCKET_CONN, "{\"error\":\"Unable to connect with TCP socket.\"}");
    m_errorsMap.insert(ERR_REG_NUMB_NO_MATCH, "{\"error\":\"Number of registers returned does not match!\"}");
    m_errorsMap.insert(ERR_INVALID_COM, "{\"error\":\"Invalid port!\"}");
}

ModbusEngine::~ModbusEngine() { releaseContext(); }

QByteArray ModbusEngine::error(const char *name) const { return m_errorsMap.value(name); }

void ModbusEngine::releaseContext()
{
    if (m_pModbus) {
        m_pModbus->close();
        m_pModbus.reset();
    }
}

QString ModbusEngine::jsonEscape(char c)
{
    switch (c) {
    case '\b': return QStringLiteral("\\b");
    case '\t': return QStringLiteral("\\t");
    case '\n': return QStringLiteral("\\n");
    case '\f': return QStringLiteral("\\f");
    case '\r': return QStringLiteral("\\r");
    case '"': return QStringLiteral("\\\"");
    case '/': return QStringLiteral("\\/");
    case '\\': return QStringLiteral("\\\\");
    default: return QString(QLatin1Char(c));
    }
}

QString ModbusEngine::loaderPortNumber(const QString &portText)
{
    if (portText.startsWith(QLatin1String("COM")))
        return portText.mid(3);
    int digits = portText.size();
    while (digits > 0 && portText.at(digits - 1).isDigit() && portText.at(digits - 1).unicode() < 128)
        --digits;
    const QString tail = portText.mid(digits);
    return tail.isEmpty() ? QStringLiteral("0") : tail;
}

QByteArray ModbusEngine::getPortSettings()
{
    QString out = QStringLiteral("{\"ports\":{");
    const QList<SerialPortList::Port> ports = SerialPortList::getPorts();
    for (int i = 0; i < ports.size(); ++i) {
        QString name = ports.at(i).portName;
        if (name.contains(QLatin1String("\\.")))
            name = name.right(5);
        if (i > 0)
            out += QLatin1Char(',');
        out += QStringLiteral("\"%1\":{\"portName\":%2,\"friendName\":%3}")
                   .arg(i)
                   .arg(JsonReply::quoted(name), JsonReply::quoted(ports.at(i).friendName));
    }
    out += QStringLiteral("},\"baudRate\":{");
    for (unsigned i = 0; i < kBaudRates; ++i)
        out += QStringLiteral("%1\"%2\":\"%3\"").arg(i ? QStringLiteral(",") : QString()).arg(i).arg(
            QLatin1String(g_baudRateNames[i]));
    out += QStringLiteral("},\"mode\":{");
    for (int i = 0; i < 4; ++i)
        out += QStringLiteral("%1\"%2\":\"%3\"").arg(i ? QStringLiteral(",") : QString()).arg(i).arg(
            QLatin1String(g_modeNames[i]));
    const QSettings settings;
    out += QStringLiteral("},\"userSettings\":{\"port\":") +
           JsonReply::quoted(settings.value(QStringLiteral("portName"), QStringLiteral("0")).toString()) +
           QStringLiteral(",\"slaveID\":%1,\"baudRate\":%2,\"mode\":%3,\"timeout\":%4,\"tcpIp\":")
               .arg(savedInt(settings, QStringLiteral("slaveID"), 1))
               .arg(savedInt(settings, QStringLiteral("baudRate"), 0))
               .arg(savedInt(settings, QStringLiteral("mode"), 3))
               .arg(savedInt(settings, QStringLiteral("timeout"), 1000)) +
           JsonReply::quoted(settings.value(QStringLiteral("tcpIp"), QStringLiteral("192.168.1.100")).toString()) +
           QStringLiteral(",\"tcpPort\":%1,\"connectionType\":\"%2\",\"isConnected\":%3}}")
               .arg(savedInt(settings, QStringLiteral("tcpPort"), 502))
               .arg(m_connType != 0 ? QStringLiteral("tcp") : QStringLiteral("serial"))
               .arg(m_connected ? QStringLiteral("true") : QStringLiteral("false"));
    return out.toUtf8();
}

QByteArray ModbusEngine::connectModbus(const t_GetArray &params)
{
    if (!RequestParams::has(params, "connType"))
        return error(ERR_INPUT_PARAMS);
    if (RequestParams::raw(params, "connType") == "serial")
        return connectSerial(params);
    return connectTcp(params);
}

void ModbusEngine::applyResponseTimeout(int timeoutMs)
{
    // Below 1 ms the library's own default stays.
    if (!m_pModbus || timeoutMs < 1)
        return;
    const qint64 ms = qMin(timeoutMs, MaxTimeoutMs);
    m_pModbus->setTimeoutBegin(ms / 1000, (ms % 1000) * 1000);
}

QByteArray ModbusEngine::connectSerial(const t_GetArray &params)
{
    if (params.size() <= 5)
        return error(ERR_INPUT_PARAMS);
    for (const char *name : {"portSelect", "slaveID", "baudRate", "mode", "timeout"})
        if (!RequestParams::has(params, name))
            return error(ERR_INPUT_PARAMS);
    const QString portText = RequestParams::text(params, "portSelect");
    const int slave = RequestParams::integer(params, "slaveID");
    const int baudIndex = RequestParams::integer(params, "baudRate");
    const qint16 mode = qint16(RequestParams::integer(params, "mode"));
    const int timeout = RequestParams::integer(params, "timeout");
    if (portText.isEmpty() || timeout < 1 || slave != qint16(slave))
        return error(ERR_INPUT_PARAMS);

    QSettings settings;
    settings.setValue(QStringLiteral("Selected_Port"), loaderPortNumber(portText));
    QString found;
    if (!findPort(portText, &found))
        return QByteArrayLiteral("{\"error\":\"Selected serial port not found.\"}");
    if (found.startsWith(QLatin1String("LPT")))
        return error(ERR_INVALID_COM);
    const int baud = baudRateFromIndex(unsigned(baudIndex));
    if (baud < 0)
        return QByteArrayLiteral("{\"error\":\"Baud rate error!\"}");
    char parity = 'N';
    int stopBits = 1;
    modeBits(mode, &parity, &stopBits);

    std::unique_ptr<ModbusClient> context = ModbusClient::newRtu(QFile::encodeName(found), baud, parity, 8, stopBits);
    // A slave id the library refuses would leave the requests going to the previous one.
    if (context && context->setSlave(slave) != 0)
        return error(ERR_INPUT_PARAMS);
    releaseContext();
    m_connected = false;
    if (!context || context->connect() == -1)
        return QByteArrayLiteral("{\"error\":\"Could not connect to serial port!\"}");
    m_pModbus = std::move(context);

    settings.setValue(QStringLiteral("portName"), portText);
    settings.setValue(QStringLiteral("slaveID"), qint16(slave));
    settings.setValue(QStringLiteral("baudRate"), baudIndex);
    settings.setValue(QStringLiteral("mode"), mode);
    settings.setValue(QStringLiteral("timeout"), timeout);
    m_connected = true;
    m_connType = 0;
    applyResponseTimeout(timeout);
    return QByteArrayLiteral("{\"ok\":\"Connected with serial port.\"}");
}

QByteArray ModbusEngine::connectTcp(const t_GetArray &params)
{
    for (const char *name : {"ipAddres_tcp", "slaveID", "port_tcp", "timeout"})
        if (!RequestParams::has(params, name))
            return error(ERR_INPUT_PARAMS);
    const QString address = RequestParams::text(params, "ipAddres_tcp");
    const int slave = RequestParams::integer(params, "slaveID");
    const int port = RequestParams::integer(params, "port_tcp");
    const int timeout = RequestParams::integer(params, "timeout");
    // A port outside the 16-bit range would be cut down to another port and saved as it came.
    if (timeout < 1 || slave != qint16(slave) || port < 1 || port > 65535)
        return error(ERR_INPUT_PARAMS);

    std::unique_ptr<ModbusClient> context = ModbusClient::newTcp(address.toUtf8(), quint16(port));
    if (context && context->setSlave(slave) != 0)
        return error(ERR_INPUT_PARAMS);
    releaseContext();
    m_pModbus = std::move(context);

    QSettings settings;
    settings.setValue(QStringLiteral("tcpIp"), address);
    settings.setValue(QStringLiteral("slaveID"), qint16(slave));
    settings.setValue(QStringLiteral("tcpPort"), port);
    settings.setValue(QStringLiteral("timeout"), timeout);
    settings.sync();

    if (m_pModbus && reconnectTcp()) {
        m_pModbus->close();
        m_connType = 1;
        m_connected = true;
        return QByteArrayLiteral("{\"ok\":\"Connected with Modbus TCP.\"}");
    }
    m_pModbus.reset();
    m_connected = false;
    return QByteArrayLiteral("{\"error\":\"Could not connect to Modbus TCP!\"}");
}

QByteArray ModbusEngine::disconnectModbus()
{
    releaseContext();
    m_connected = false;
    return QByteArrayLiteral("{\"ok\":\"Disconnected\"}");
}

bool ModbusEngine::reconnectTcp() { return reconnectTcp(QSettings()); }

bool ModbusEngine::reconnectTcp(const QSettings &settings)
{
    const QString address = settings.value(QStringLiteral("tcpIp")).toString();
    const quint16 port = quint16(savedInt(settings, QStringLiteral("tcpPort"), 0));
    const int timeout = qBound(1, savedInt(settings, QStringLiteral("timeout"), 0), MaxTimeoutMs);
    bool connected = false;
    {
        QTcpSocket probe;
        probe.connectToHost(address, port, QIODevice::ReadWrite);
        connected = probe.waitForConnected(timeout);
        if (connected)
            probe.close();
    }
    if (connected && m_pModbus)
        m_pModbus->connect();
    return connected;
}

bool ModbusEngine::reconnectSerial()
{
    const QSettings settings;
    const QString portText = settings.value(QStringLiteral("portName")).toString();
    const int baud = baudRateFromIndex(unsigned(savedInt(settings, QStringLiteral("baudRate"), 0)));
    const qint16 mode = qint16(savedInt(settings, QStringLiteral("mode"), 0));
    const int timeout = savedInt(settings, QStringLiteral("timeout"), 0);
    QString found;
    if (!findPort(portText, &found) || baud < 0)
        return false;
    char parity = 'N';
    int stopBits = 1;
    modeBits(mode, &parity, &stopBits);
    releaseContext();
    std::unique_ptr<ModbusClient> context = ModbusClient::newRtu(QFile::encodeName(found), baud, parity, 8, stopBits);
    // A context that did not connect is not kept: the next call answers "not connected".
    if (!context || context->connect() == -1)
        return false;
    m_pModbus = std::move(context);
    m_connected = true;
    applyResponseTimeout(timeout);
    return true;
}

bool ModbusEngine::reconnect()
{
    disconnectModbus();
    return reconnectSerial();
}

bool ModbusEngine::applySavedSlave(const QSettings &settings)
{
    return m_pModbus->setSlave(savedInt(settings, QStringLiteral("slaveID"), 0)) == 0;
}

bool ModbusEngine::startTcpRequest(const QSettings &settings) { return m_connType != 1 || reconnectTcp(settings); }

void ModbusEngine::endTcpRequest()
{
    if (m_connType == 1 && m_pModbus)
        m_pModbus->close();
}

bool ModbusEngine::mayRetry(unsigned attempt)
{
    if (attempt > MaxRetryAttempt)
        return false;
    if (m_connType == 1)
        return true;
    return m_connected && reconnect();
}

QByteArray ModbusEngine::parseBlock(const t_GetArray &params, bool forWrite, Block *block) const
{
    if (!RequestParams::has(params, "regAddr") || !RequestParams::has(params, "valuesCnt") ||
        (forWrite && !RequestParams::has(params, "regVals")))
        return error(ERR_INPUT_PARAMS);
    block->address = RequestParams::integer(params, "regAddr");
    block->values = RequestParams::integer(params, "valuesCnt");
    if (block->values < 1 || block->address < 0 || block->address > 65535)
        return error(ERR_INPUT_PARAMS);
    block->type = RequestParams::text(params, "regType", QStringLiteral("int"));
    block->regSize = RequestParams::integer(params, "regSize", 16);
    if (block->regSize != 16 && block->regSize != 32)
        return QByteArrayLiteral("{\"error\":\"Invalid registers size!\"}");
    block->valSize = RequestParams::integer(params, "valSize", 16);
    if (block->valSize != 16 && block->valSize != 32)
        return QByteArrayLiteral("{\"error\":\"Invalid value size!\"}");
    if (!forWrite) {
        block->precision = RequestParams::integer(params, "floatPrec", 2);
        if (unsigned(block->precision) > unsigned(MaxPrecision))
            return QByteArrayLiteral("{\"error\":\"Invalid float precision!\"}");
    }
    if (block->regSize == 32 && block->valSize == 16)
        return QByteArrayLiteral("{\"error\":\"Invalid one value size!\"}");
    // A two-register type in one register would reach past the words moved.
    if (block->valSize == 16 && needsTwoRegisters(block->type))
        return QByteArrayLiteral("{\"error\":\"Invalid value size!\"}");
    if (block->values > MaxValues)
        return error(ERR_TOO_MANY_REGS);
    block->registers = (block->regSize == 16 && block->valSize == 32) ? 2 * block->values : block->values;
    if (block->address + block->registers > 65536)
        return error(ERR_INPUT_PARAMS);
    return QByteArray();
}

int ModbusEngine::readBlock(const Block &block, quint16 *dest)
{
    if (block.regSize == 32)
        return m_pModbus->readRegisters32(block.address, block.registers, dest);
    return m_pModbus->readRegistersAligned(block.address, block.registers, dest, block.valSize / 16);
}

int ModbusEngine::writeBlock(const Block &block, const quint16 *src)
{
    if (block.regSize == 32)
        return m_pModbus->writeRegisters32(block.address, block.registers, src);
    return m_pModbus->writeRegistersAligned(block.address, block.registers, src, block.valSize / 16);
}

QByteArray ModbusEngine::readRegisters(const t_GetArray &params, unsigned attempt)
{
    if (s_requestPauseMs > 0)
        QThread::msleep(ulong(s_requestPauseMs));
    if (!m_pModbus)
        return error(ERR_NOT_CONNECTED);
    Block block;
    const QByteArray refused = parseBlock(params, false, &block);
    if (!refused.isEmpty())
        return refused;
    const QSettings settings;
    if (!startTcpRequest(settings))
        return error(ERR_SOCKET_CONN);
    if (!applySavedSlave(settings)) {
        endTcpRequest();
        return error(ERR_INPUT_PARAMS);
    }
    QVector<quint16> buffer(block.words(), 0);
    const int rc = readBlock(block, buffer.data());
    const int err = m_pModbus->lastErrno();
    endTcpRequest();
    if (rc != block.registers)
        return retryOrFail(Op::Read, rc, err, attempt, params);

    const quint16 *reg = buffer.constData();
    auto word = [reg](int i) { return quint32(reg[2 * i]) | quint32(reg[2 * i + 1]) << 16; };
    const QString &type = block.type;
    const bool r16 = block.regSize == 16;
    QString out = QStringLiteral("[");
    for (int i = 0; i < block.values; ++i) {
        if (i > 0)
            out += QLatin1Char(',');
        if (type == QLatin1String("float4321") && r16)
            out += formG(floatOf(swapHalves(word(i))), block.precision);
        else if (type == QLatin1String("float4321"))
            out += formF(floatOf(word(i)), block.precision);
        else if (type == QLatin1String("float1234") && !r16)
            out += formG(floatOf(swapHalves(word(i))), block.precision);
        else if (type == QLatin1String("float1234"))
            out += formF(floatOf(word(i)), block.precision);
        else if (type == QLatin1String("long") && r16)
            out += QString::number(swapHalves(word(i)));
        else if (type == QLatin1String("long"))
            out += QString::number(word(i)); // one 32-bit register is one value, no halves to order
        else if (type == QLatin1String("int") && block.valSize == 16)
            out += QString::number(qint16(reg[i]));
        else if (type == QLatin1String("int"))
            out += QString::number(qint32(word(i)));
        else if (type == QLatin1String("uint") && block.valSize == 32)
            out += QString::number(word(i));
        else
            out += QString::number(reg[i]);
    }
    out += QLatin1Char(']');
    return out.toLatin1();
}

QByteArray ModbusEngine::writeRegisters(const t_GetArray &params, unsigned attempt)
{
    if (!m_pModbus)
        return error(ERR_NOT_CONNECTED);
    if (s_requestPauseMs > 0)
        QThread::msleep(ulong(s_requestPauseMs));
    Block block;
    const QByteArray refused = parseBlock(params, true, &block);
    if (!refused.isEmpty())
        return refused;
    const QSettings settings;
    if (!applySavedSlave(settings))
        return error(ERR_INPUT_PARAMS);

    const QByteArray valuesError = QByteArrayLiteral("{\"error\":\"Registers values error!\"}");
    // Holes keep their places: [1,,3] is three values for three registers, the second undefined.
    QVariant parsed;
    const QString text = QString::fromUtf8(QByteArray::fromPercentEncoding(RequestParams::raw(params, "regVals")));
    if (!ScriptLiteral::parse(text, &parsed) || parsed.userType() != QMetaType::QVariantList)
        return valuesError;
    const QVariantList values = parsed.toList();
    if (values.size() != block.values)
        return valuesError;
    const QString &type = block.type;
    const bool r16 = block.regSize == 16;
    const bool isFloat = type == QLatin1String("float4321") || type == QLatin1String("float1234");
    // A 32-bit value of a type that has no 32-bit encoding would leave half of each word unset.
    if (block.valSize == 32 && !isFloat && type != QLatin1String("int") && type != QLatin1String("uint"))
        return valuesError;
    QVector<quint16> buffer(block.words(), 0);
    quint16 *reg = buffer.data();
    auto setWord = [reg](int i, quint32 w) {
        reg[2 * i] = quint16(w);
        reg[2 * i + 1] = quint16(w >> 16);
    };
    for (int i = 0; i < block.values; ++i) {
        const QVariant &element = values.at(i);
        if (isFloat) {
            const double number = ScriptLiteral::toNumber(element);
            const quint32 bits = bitsOf(std::isnan(number) ? 0.0f : float(number));
            const bool swapped = (type == QLatin1String("float4321")) == r16;
            setWord(i, swapped ? swapHalves(bits) : bits);
        } else if (block.valSize == 32) {
            setWord(i, quint32(ScriptLiteral::toInt32(element)));
        } else {
            reg[i] = quint16(ScriptLiteral::toInt32(element));
        }
    }

    if (!startTcpRequest(settings))
        return error(ERR_SOCKET_CONN);
    const int rc = writeBlock(block, buffer.constData());
    const int err = m_pModbus->lastErrno();
    endTcpRequest();
    if (rc == block.registers)
        return QByteArrayLiteral("{\"ok\":\"Values successfully sent.\"}");
    return retryOrFail(Op::Write, rc, err, attempt, params);
}

QByteArray ModbusEngine::identifySlave(unsigned attempt)
{
    if (!m_pModbus)
        return error(ERR_NOT_CONNECTED);
    const QSettings settings;
    if (!startTcpRequest(settings))
        return error(ERR_SOCKET_CONN);
    if (!applySavedSlave(settings)) {
        endTcpRequest();
        return error(ERR_INPUT_PARAMS);
    }
    quint8 bytes[ModbusClient::ReportSlaveIdBufferSize] = {};
    const int n = m_pModbus->reportSlaveId(bytes, int(sizeof bytes));
    const int err = m_pModbus->lastErrno();
    endTcpRequest();
    if (n < 1 || n > 254)
        return retryOrFail(Op::Identify, n == 0 || n > 254 ? 0 : n, err, attempt, t_GetArray());

    QString descArray = QStringLiteral("[");
    QString desc;
    for (int i = 0; i < n; ++i) {
        descArray += QString::number(bytes[i]) + QLatin1Char(',');
        if (i >= 2 && bytes[i] >= 32 && bytes[i] <= 125)
            desc += jsonEscape(char(bytes[i]));
    }
    descArray[descArray.size() - 1] = QLatin1Char(']');
    QSettings().setValue(QStringLiteral("Tarsek_ID"), QString::number(bytes[0]));
    return (QStringLiteral("{\"id\":%1,\"desc\":\"%2\",\"descArray\":%3}").arg(bytes[0]).arg(desc, descArray))
        .toLatin1();
}

QByteArray ModbusEngine::retryOrFail(Op op, int result, int err, unsigned attempt, const t_GetArray &params)
{
    if (result < 0 && ModbusClient::isTimeoutErrno(err))
        return error(ERR_TIMEOUT);
    static const char *const lines[3][2] = {
        {"CRC retransmission attempt number : ", "Reg numb retransmission attempt number : "},
        {"write CRC retransmission attempt number : ", "write Reg numb retransmission attempt number : "},
        {"identify crc retransmission attempt number : ", "identify unknow retransmission attempt number : "}};
    if (mayRetry(attempt)) {
        qDebug("%s%u", lines[int(op)][result < 0 ? 0 : 1], attempt + 1);
        switch (op) {
        case Op::Read: return readRegisters(params, attempt + 1);
        case Op::Write: return writeRegisters(params, attempt + 1);
        case Op::Identify: return identifySlave(attempt + 1);
        }
    }
    if (result < 0)
        return ("{\"error\":\"Protocol error! " + JsonReply::escape(ModbusClient::strerror(err)) + "\"}").toLatin1();
    return op == Op::Identify ? QByteArrayLiteral("{\"error\":\"Unknown error!\"}") : error(ERR_REG_NUMB_NO_MATCH);
}

} // namespace vexo
