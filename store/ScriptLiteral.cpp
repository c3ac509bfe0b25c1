#include "ScriptLiteral.h"

#include <QLocale>
#include <QVariantMap>

#include <cmath>
#include <limits>

namespace {

bool isLineTerminator(QChar c)
{
    const ushort u = c.unicode();
    return u == 0x0A || u == 0x0D || u == 0x2028 || u == 0x2029;
}

// White space as the script grammar knows it (tab, VT, FF, space, NBSP, BOM, any Zs) plus line ends.
bool isScriptSpace(QChar c)
{
    const ushort u = c.unicode();
    if (u == 0x09 || u == 0x0B || u == 0x0C || u == 0x20 || u == 0xA0 || u == 0xFEFF)
        return true;
    return isLineTerminator(c) || c.category() == QChar::Separator_Space;
}

bool isIdentifierStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('$') || c == QLatin1Char('_');
}

bool isIdentifierPart(QChar c)
{
    return isIdentifierStart(c) || c.isDigit() || c.category() == QChar::Mark_NonSpacing
        || c.category() == QChar::Mark_SpacingCombining || c.category() == QChar::Punctuation_Connector
        || c.unicode() == 0x200C || c.unicode() == 0x200D;
}

int hexValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

bool isDecimalDigit(QChar c)
{
    return c.unicode() >= '0' && c.unicode() <= '9';
}

class LiteralReader
{
public:
    explicit LiteralReader(const QString &text) : m_text(text), m_length(text.size()) {}

    bool readDocument(QVariant *value)
    {
        skipSpace();
        if (m_pos >= m_length)
            return fail(QStringLiteral("Unexpected end of input"));
        const QChar first = m_text.at(m_pos);
        if (first != QLatin1Char('[') && first != QLatin1Char('{'))
            return fail(QStringLiteral("Expected an array or an object literal"));
        if (!readValue(value, 0))
            return false;
        skipSpace();
        // A statement terminator after the literal is still just the literal.
        while (m_pos < m_length && m_text.at(m_pos) == QLatin1Char(';')) {
            ++m_pos;
            skipSpace();
        }
        if (m_pos < m_length)
            return fail(QStringLiteral("Unexpected text after the literal"));
        return true;
    }

    QString error() const { return m_error; }

private:
    bool fail(const QString &what)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("%1 at offset %2").arg(what, QString::number(m_pos));
        return false;
    }

    QChar peek() const { return m_pos < m_length ? m_text.at(m_pos) : QChar(); }

    bool skipSpace()
    {
        while (m_pos < m_length) {
            const QChar c = m_text.at(m_pos);
            if (isScriptSpace(c)) {
                ++m_pos;
            } else if (c == QLatin1Char('/') && m_pos + 1 < m_length && m_text.at(m_pos + 1) == QLatin1Char('/')) {
                while (m_pos < m_length && !isLineTerminator(m_text.at(m_pos)))
                    ++m_pos;
            } else if (c == QLatin1Char('/') && m_pos + 1 < m_length && m_text.at(m_pos + 1) == QLatin1Char('*')) {
                const int end = m_text.indexOf(QLatin1String("*/"), m_pos + 2);
                if (end < 0) {
                    m_pos = m_length;
                    return fail(QStringLiteral("Unterminated comment"));
                }
                m_pos = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    bool readValue(QVariant *value, int depth)
    {
        if (!skipSpace())
            return false;
        if (m_pos >= m_length)
            return fail(QStringLiteral("Unexpected end of input"));
        const QChar c = m_text.at(m_pos);
        if (c == QLatin1Char('[') || c == QLatin1Char('{')) {
            if (depth >= ScriptLiteral::MaxDepth)
                return fail(QStringLiteral("Nesting too deep"));
            return c == QLatin1Char('[') ? readArray(value, depth + 1) : readObject(value, depth + 1);
        }
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            QString s;
            if (!readString(&s))
                return false;
            *value = s;
            return true;
        }
        if (c == QLatin1Char('-') || c == QLatin1Char('+')) {
            // A sign is the unary operator of the script language, applied to a number that follows.
            ++m_pos;
            skipSpace();
            double d = 0;
            if (!readUnsignedNumber(&d))
                return false;
            *value = c == QLatin1Char('-') ? -d : d;
            return true;
        }
        if (isDecimalDigit(c) || c == QLatin1Char('.')) {
            double d = 0;
            if (!readUnsignedNumber(&d))
                return false;
            *value = d;
            return true;
        }
        if (isIdentifierStart(c)) {
            const QString word = readIdentifier();
            if (word == QLatin1String("true"))
                *value = true;
            else if (word == QLatin1String("false"))
                *value = false;
            else if (word == QLatin1String("null"))
                *value = QVariant::fromValue(nullptr);
            else if (word == QLatin1String("undefined"))
                *value = QVariant();
            else if (word == QLatin1String("NaN"))
                *value = std::numeric_limits<double>::quiet_NaN();
            else if (word == QLatin1String("Infinity"))
                *value = std::numeric_limits<double>::infinity();
            else
                return fail(QStringLiteral("Unexpected identifier \"%1\"").arg(word.left(40)));
            return true;
        }
        return fail(QStringLiteral("Unexpected character"));
    }

    // Infinity and NaN are globals of the language; a literal text may carry them after a sign.
    bool readUnsignedNumber(double *out)
    {
        if (m_pos >= m_length)
            return fail(QStringLiteral("Unexpected end of input"));
        if (isIdentifierStart(m_text.at(m_pos))) {
            const int start = m_pos;
            const QString word = readIdentifier();
            if (word == QLatin1String("Infinity")) {
                *out = std::numeric_limits<double>::infinity();
                return true;
            }
            if (word == QLatin1String("NaN")) {
                *out = std::numeric_limits<double>::quiet_NaN();
                return true;
            }
            m_pos = start;
            return fail(QStringLiteral("Expected a number"));
        }
        const int start = m_pos;
        if (m_text.at(m_pos) == QLatin1Char('0') && m_pos + 1 < m_length
            && (m_text.at(m_pos + 1) == QLatin1Char('x') || m_text.at(m_pos + 1) == QLatin1Char('X'))) {
            m_pos += 2;
            double d = 0;
            int digits = 0;
            while (m_pos < m_length && hexValue(m_text.at(m_pos)) >= 0) {
                d = d * 16 + hexValue(m_text.at(m_pos));
                ++m_pos;
                ++digits;
            }
            if (digits == 0)
                return fail(QStringLiteral("Malformed hexadecimal number"));
            *out = d;
            return checkNumberEnd();
        }
        if (m_text.at(m_pos) == QLatin1Char('0') && m_pos + 1 < m_length && isDecimalDigit(m_text.at(m_pos + 1))) {
            // Legacy octal (017 is 15) unless a digit 8 or 9 makes it decimal, as non-strict scripts read it.
            int end = m_pos + 1;
            bool octal = true;
            while (end < m_length && isDecimalDigit(m_text.at(end))) {
                if (m_text.at(end).unicode() >= '8')
                    octal = false;
                ++end;
            }
            if (octal) {
                double d = 0;
                for (int i = m_pos + 1; i < end; ++i)
                    d = d * 8 + (m_text.at(i).unicode() - '0');
                m_pos = end;
                *out = d;
                return checkNumberEnd();
            }
        }
        while (m_pos < m_length && isDecimalDigit(m_text.at(m_pos)))
            ++m_pos;
        const bool intDigits = m_pos > start;
        bool fracDigits = false;
        if (m_pos < m_length && m_text.at(m_pos) == QLatin1Char('.')) {
            ++m_pos;
            const int fracStart = m_pos;
            while (m_pos < m_length && isDecimalDigit(m_text.at(m_pos)))
                ++m_pos;
            fracDigits = m_pos > fracStart;
        }
        if (!intDigits && !fracDigits)
            return fail(QStringLiteral("Malformed number"));
        if (m_pos < m_length && (m_text.at(m_pos) == QLatin1Char('e') || m_text.at(m_pos) == QLatin1Char('E'))) {
            ++m_pos;
            if (m_pos < m_length && (m_text.at(m_pos) == QLatin1Char('+') || m_text.at(m_pos) == QLatin1Char('-')))
                ++m_pos;
            const int expStart = m_pos;
            while (m_pos < m_length && isDecimalDigit(m_text.at(m_pos)))
                ++m_pos;
            if (m_pos == expStart)
                return fail(QStringLiteral("Malformed exponent"));
        }
        *out = ScriptLiteral::stringToNumber(m_text.mid(start, m_pos - start));
        return checkNumberEnd();
    }

    // "3in" or "1.5.2" is not a number followed by something, it is a syntax error.
    bool checkNumberEnd()
    {
        if (m_pos < m_length) {
            const QChar c = m_text.at(m_pos);
            if (isIdentifierStart(c) || isDecimalDigit(c) || c == QLatin1Char('.'))
                return fail(QStringLiteral("Malformed number"));
        }
        return true;
    }

    QString readIdentifier()
    {
        const int start = m_pos;
        while (m_pos < m_length && isIdentifierPart(m_text.at(m_pos)))
            ++m_pos;
        return m_text.mid(start, m_pos - start);
    }

    bool readString(QString *out)
    {
        const QChar quote = m_text.at(m_pos++);
        QString s;
        while (true) {
            if (m_pos >= m_length)
                return fail(QStringLiteral("Unterminated string"));
            const QChar c = m_text.at(m_pos);
            if (c == quote) {
                ++m_pos;
                break;
            }
            // The browser's JSON may carry U+2028 and U+2029 raw inside a text; only CR and LF end a line there.
            if (c.unicode() == 0x0A || c.unicode() == 0x0D)
                return fail(QStringLiteral("Line end inside a string"));
            if (c != QLatin1Char('\\')) {
                s.append(c);
                ++m_pos;
                continue;
            }
            ++m_pos;
            if (m_pos >= m_length)
                return fail(QStringLiteral("Unterminated string"));
            const QChar e = m_text.at(m_pos++);
            switch (e.unicode()) {
            case 'n': s.append(QLatin1Char('\n')); break;
            case 't': s.append(QLatin1Char('\t')); break;
            case 'r': s.append(QLatin1Char('\r')); break;
            case 'b': s.append(QLatin1Char('\b')); break;
            case 'f': s.append(QLatin1Char('\f')); break;
            case 'v': s.append(QLatin1Char('\v')); break;
            case 'x':
            case 'u': {
                const int count = e == QLatin1Char('x') ? 2 : 4;
                if (m_pos + count > m_length)
                    return fail(QStringLiteral("Malformed escape"));
                int code = 0;
                for (int i = 0; i < count; ++i) {
                    const int h = hexValue(m_text.at(m_pos + i));
                    if (h < 0)
                        return fail(QStringLiteral("Malformed escape"));
                    code = code * 16 + h;
                }
                m_pos += count;
                s.append(QChar(static_cast<ushort>(code)));
                break;
            }
            case '\r':
                // A backslash before a line end continues the string on the next line.
                if (m_pos < m_length && m_text.at(m_pos) == QLatin1Char('\n'))
                    ++m_pos;
                break;
            case '\n':
            case 0x2028:
            case 0x2029:
                break;
            default:
                if (e.unicode() >= '0' && e.unicode() <= '7') {
                    // Legacy octal escape of non-strict scripts: up to three digits, at most \377.
                    int code = e.unicode() - '0';
                    const int maxDigits = code <= 3 ? 2 : 1;
                    for (int i = 0; i < maxDigits && m_pos < m_length; ++i) {
                        const ushort d = m_text.at(m_pos).unicode();
                        if (d < '0' || d > '7')
                            break;
                        code = code * 8 + (d - '0');
                        ++m_pos;
                    }
                    s.append(QChar(static_cast<ushort>(code)));
                } else {
                    s.append(e);
                }
                break;
            }
        }
        *out = s;
        return true;
    }

    // After an element of an array or object: a comma for the next one, or the closing bracket.
    bool afterElement(QChar close, const QString &what, bool *closed)
    {
        skipSpace();
        if (m_pos >= m_length)
            return fail(QStringLiteral("Unterminated ") + what);
        const QChar c = m_text.at(m_pos);
        if (c != QLatin1Char(',') && c != close)
            return fail(QStringLiteral("Expected , or ") + close + QStringLiteral(" in an ") + what);
        ++m_pos;
        *closed = c == close;
        return true;
    }

    bool readArray(QVariant *value, int depth)
    {
        ++m_pos; // [
        QVariantList list;
        while (true) {
            skipSpace();
            if (m_pos >= m_length)
                return fail(QStringLiteral("Unterminated array"));
            QChar c = m_text.at(m_pos);
            if (c == QLatin1Char(']')) {
                ++m_pos;
                break;
            }
            if (c == QLatin1Char(',')) {
                // A hole: the element is absent, as [1,,2] has no element 1.
                list.append(QVariant());
                ++m_pos;
                continue;
            }
            QVariant element;
            if (!readValue(&element, depth))
                return false;
            list.append(element);
            bool closed = false;
            if (!afterElement(QLatin1Char(']'), QStringLiteral("array"), &closed))
                return false;
            if (closed)
                break;
        }
        *value = list;
        return true;
    }

    bool readObject(QVariant *value, int depth)
    {
        ++m_pos; // {
        QVariantMap map;
        while (true) {
            skipSpace();
            if (m_pos >= m_length)
                return fail(QStringLiteral("Unterminated object"));
            QChar c = m_text.at(m_pos);
            if (c == QLatin1Char('}')) {
                ++m_pos;
                break;
            }
            QString key;
            if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
                if (!readString(&key))
                    return false;
            } else if (isDecimalDigit(c) || c == QLatin1Char('.')) {
                double d = 0;
                if (!readUnsignedNumber(&d))
                    return false;
                key = ScriptLiteral::numberText(d);
            } else if (isIdentifierStart(c)) {
                key = readIdentifier();
            } else {
                return fail(QStringLiteral("Expected a property name"));
            }
            skipSpace();
            if (peek() != QLatin1Char(':'))
                return fail(QStringLiteral("Expected : after a property name"));
            ++m_pos;
            QVariant element;
            if (!readValue(&element, depth))
                return false;
            map.insert(key, element);
            bool closed = false;
            if (!afterElement(QLatin1Char('}'), QStringLiteral("object"), &closed))
                return false;
            if (closed)
                break;
        }
        *value = map;
        return true;
    }

    const QString &m_text;
    const int m_length;
    int m_pos = 0;
    QString m_error;
};

bool isNull(const QVariant &value)
{
    return value.userType() == QMetaType::Nullptr;
}

} // namespace

bool ScriptLiteral::parse(const QString &text, QVariant *value, QString *error)
{
    if (text.size() > MaxLength) {
        if (error)
            *error = QStringLiteral("Text too long");
        return false;
    }
    LiteralReader reader(text);
    QVariant result;
    if (!reader.readDocument(&result)) {
        if (error)
            *error = reader.error();
        return false;
    }
    if (value)
        *value = result;
    return true;
}

bool ScriptLiteral::parseArray(const QString &text, QVariantList *list, QString *error)
{
    QVariant value;
    if (!parse(text, &value, error))
        return false;
    if (value.userType() != QMetaType::QVariantList) {
        if (error)
            *error = QStringLiteral("Not an array");
        return false;
    }
    if (list) {
        // A hole is no element of the array: readers take the elements that are there.
        list->clear();
        const QVariantList elements = value.toList();
        for (const QVariant &element : elements) {
            if (element.isValid())
                list->append(element);
        }
    }
    return true;
}

QString ScriptLiteral::numberText(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    if (value == 0)
        return QStringLiteral("0");
    // Shortest round-trip digits, then laid out as the script language lays out a number.
    const QString e = QString::number(std::fabs(value), 'e', QLocale::FloatingPointShortest);
    const int ePos = e.indexOf(QLatin1Char('e'));
    QString digits = e.left(ePos);
    digits.remove(QLatin1Char('.'));
    const int k = digits.size();
    const int n = e.midRef(ePos + 1).toInt() + 1;
    QString out;
    if (k <= n && n <= 21) {
        out = digits + QString(n - k, QLatin1Char('0'));
    } else if (0 < n && n <= 21) {
        out = digits.left(n) + QLatin1Char('.') + digits.mid(n);
    } else if (-6 < n && n <= 0) {
        out = QStringLiteral("0.") + QString(-n, QLatin1Char('0')) + digits;
    } else {
        out = digits.left(1);
        if (k > 1)
            out += QLatin1Char('.') + digits.mid(1);
        out += QLatin1Char('e') + QLatin1String(n - 1 >= 0 ? "+" : "-") + QString::number(std::abs(n - 1));
    }
    return value < 0 ? QLatin1Char('-') + out : out;
}

static QString nonNullText(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

QString ScriptLiteral::toText(const QVariant &value)
{
    // Never a null text: bound into a statement, a null text would store NULL, not ''.
    if (!value.isValid())
        return QStringLiteral("");
    if (isNull(value))
        return QStringLiteral("null");
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::QString:
        return nonNullText(value.toString());
    case QMetaType::QVariantList: {
        // Array join: absent and null elements are empty.
        const QVariantList list = value.toList();
        QStringList parts;
        parts.reserve(list.size());
        for (const QVariant &element : list)
            parts.append(isNull(element) ? QString() : toText(element));
        return nonNullText(parts.join(QLatin1Char(',')));
    }
    case QMetaType::QVariantMap:
        return QStringLiteral("[object Object]");
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return numberText(value.toDouble());
    default:
        return value.toString();
    }
}

double ScriptLiteral::stringToNumber(const QString &text)
{
    int start = 0;
    int end = text.size();
    while (start < end && isScriptSpace(text.at(start)))
        ++start;
    while (end > start && isScriptSpace(text.at(end - 1)))
        --end;
    const QString s = text.mid(start, end - start);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (s.isEmpty())
        return 0;
    if (s.size() > 2 && s.at(0) == QLatin1Char('0') && (s.at(1) == QLatin1Char('x') || s.at(1) == QLatin1Char('X'))) {
        double d = 0;
        for (int i = 2; i < s.size(); ++i) {
            const int h = hexValue(s.at(i));
            if (h < 0)
                return nan;
            d = d * 16 + h;
        }
        return d;
    }
    int i = 0;
    bool negative = false;
    if (s.at(0) == QLatin1Char('+') || s.at(0) == QLatin1Char('-')) {
        negative = s.at(0) == QLatin1Char('-');
        i = 1;
    }
    const QString rest = s.mid(i);
    if (rest == QLatin1String("Infinity"))
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    // Only the decimal grammar: digits, an optional point, an optional exponent.
    int p = 0;
    int intDigits = 0;
    int fracDigits = 0;
    while (p < rest.size() && isDecimalDigit(rest.at(p))) {
        ++p;
        ++intDigits;
    }
    if (p < rest.size() && rest.at(p) == QLatin1Char('.')) {
        ++p;
        while (p < rest.size() && isDecimalDigit(rest.at(p))) {
            ++p;
            ++fracDigits;
        }
    }
    if (intDigits + fracDigits == 0)
        return nan;
    if (p < rest.size() && (rest.at(p) == QLatin1Char('e') || rest.at(p) == QLatin1Char('E'))) {
        ++p;
        if (p < rest.size() && (rest.at(p) == QLatin1Char('+') || rest.at(p) == QLatin1Char('-')))
            ++p;
        int expDigits = 0;
        while (p < rest.size() && isDecimalDigit(rest.at(p))) {
            ++p;
            ++expDigits;
        }
        if (expDigits == 0)
            return nan;
    }
    if (p != rest.size())
        return nan;
    // "5." and ".5" are numbers to the script language; the C locale reader wants digits on both sides.
    QString canonical = rest;
    if (intDigits == 0)
        canonical.prepend(QLatin1Char('0'));
    const int dot = canonical.indexOf(QLatin1Char('.'));
    if (dot >= 0 && (dot + 1 == canonical.size() || !isDecimalDigit(canonical.at(dot + 1))))
        canonical.insert(dot + 1, QLatin1Char('0'));
    bool ok = false;
    double d = QLocale::c().toDouble(canonical, &ok);
    if (!ok) {
        // Out of range: the C reader refuses, the script language gives Infinity or 0.
        d = std::strtod(canonical.toLatin1().constData(), nullptr);
    }
    return negative ? -d : d;
}

double ScriptLiteral::toNumber(const QVariant &value)
{
    if (!value.isValid())
        return std::numeric_limits<double>::quiet_NaN();
    if (isNull(value))
        return 0;
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool() ? 1 : 0;
    case QMetaType::QString:
        return stringToNumber(value.toString());
    case QMetaType::QVariantList:
        return stringToNumber(toText(value));
    case QMetaType::QVariantMap:
        return std::numeric_limits<double>::quiet_NaN();
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toDouble();
    default:
        return stringToNumber(value.toString());
    }
}

qint32 ScriptLiteral::toInt32(const QVariant &value)
{
    const double d = toNumber(value);
    if (!std::isfinite(d))
        return 0;
    const double two32 = 4294967296.0;
    double m = std::fmod(std::trunc(d), two32);
    if (m < 0)
        m += two32;
    // m is now an exact integer in [0, 2^32), so the conversion to an unsigned 32-bit value is defined.
    const quint32 bits = static_cast<quint32>(m);
    return static_cast<qint32>(bits);
}
