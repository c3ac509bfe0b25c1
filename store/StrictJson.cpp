#include "StrictJson.h"

#include <vector>

namespace {

bool isDigit(ushort c) { return c >= '0' && c <= '9'; }

bool isHexDigit(ushort c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

constexpr size_t kQtDepthLimit = 1024;

} // namespace

bool StrictJson::isOneValue(const QString &text) { return StrictJson(text, Mode::Standard).check(); }

QJsonDocument StrictJson::read(const QByteArray &utf8)
{
    // The bytes themselves go to Qt's reader, which refuses a broken UTF-8 sequence that the
    // decoding here would have replaced.
    const QString text = QString::fromUtf8(utf8);
    if (!StrictJson(text, Mode::Reading).check())
        return QJsonDocument();
    return QJsonDocument::fromJson(utf8);
}

StrictJson::StrictJson(const QString &text, Mode mode)
    : m_text(text), m_length(text.size()), m_uniqueNames(mode == Mode::Reading)
{
}

// At end of text peek() gives 0, which no rule accepts where a character is due.
ushort StrictJson::peek() const { return m_pos < m_length ? m_text.at(m_pos).unicode() : 0; }

void StrictJson::skipSpace()
{
    while (m_pos < m_length) {
        const ushort c = m_text.at(m_pos).unicode();
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            return;
        ++m_pos;
    }
}

bool StrictJson::check()
{
    std::vector<char> open; // the opening bracket of every container not closed yet
    skipSpace();
    for (;;) {
        // A value is due here.
        const ushort c = peek();
        if (c == '[' || c == '{') {
            ++m_pos;
            skipSpace();
            if (peek() == (c == '[' ? ']' : '}')) {
                ++m_pos;
            } else {
                open.push_back(char(c));
                // Qt's reader refuses a deeper document anyway; stopping here also bounds the
                // names kept for the objects still open.
                if (m_uniqueNames && open.size() > kQtDepthLimit)
                    return false;
                if (c == '{') {
                    if (m_uniqueNames)
                        m_names.emplace_back();
                    if (!member())
                        return false;
                }
                continue;
            }
        } else if (!scalar()) {
            return false;
        }
        // A value is complete: close what ends here, then go on with the next element.
        for (;;) {
            skipSpace();
            if (open.empty())
                return m_pos == m_length;
            const ushort next = peek();
            if (next == ',') {
                ++m_pos;
                skipSpace();
                if (open.back() == '{' && !member())
                    return false;
                break;
            }
            if (next != (open.back() == '[' ? ']' : '}'))
                return false;
            ++m_pos;
            if (open.back() == '{' && m_uniqueNames)
                m_names.pop_back();
            open.pop_back();
        }
    }
}

// A member's name and its colon, up to where its value starts.
bool StrictJson::member()
{
    const int from = m_pos;
    if (peek() != '"' || !(m_uniqueNames ? lenientString() : string()))
        return false;
    if (m_uniqueNames) {
        QSet<QString> &names = m_names.back();
        const int before = names.size();
        names.insert(name(from + 1, m_pos - 1));
        if (names.size() == before)
            return false;
    }
    skipSpace();
    if (peek() != ':')
        return false;
    ++m_pos;
    skipSpace();
    return true;
}

bool StrictJson::scalar()
{
    if (m_uniqueNames)
        return lenientScalar();
    switch (peek()) {
    case '"': return string();
    case 't': return word("true");
    case 'f': return word("false");
    case 'n': return word("null");
    default: return number();
    }
}

bool StrictJson::word(const char *literal)
{
    for (; *literal; ++literal, ++m_pos) {
        if (peek() != ushort(*literal))
            return false;
    }
    return true;
}

bool StrictJson::number()
{
    if (peek() == '-')
        ++m_pos;
    if (peek() == '0') {
        ++m_pos;
    } else if (isDigit(peek())) {
        while (isDigit(peek()))
            ++m_pos;
    } else {
        return false;
    }
    if (peek() == '.') {
        ++m_pos;
        if (!isDigit(peek()))
            return false;
        while (isDigit(peek()))
            ++m_pos;
    }
    if (peek() == 'e' || peek() == 'E') {
        ++m_pos;
        if (peek() == '+' || peek() == '-')
            ++m_pos;
        if (!isDigit(peek()))
            return false;
        while (isDigit(peek()))
            ++m_pos;
    }
    return true;
}

bool StrictJson::string()
{
    ++m_pos; // "
    while (m_pos < m_length) {
        const ushort c = m_text.at(m_pos++).unicode();
        if (c == '"')
            return true;
        if (c < 0x20)
            return false;
        if (QChar::isLowSurrogate(c))
            return false;
        if (QChar::isHighSurrogate(c)) {
            // The text goes out as UTF-8, which has no form for half a pair.
            if (!QChar::isLowSurrogate(peek()))
                return false;
            ++m_pos;
            continue;
        }
        if (c != '\\')
            continue;
        switch (peek()) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't': ++m_pos; break;
        case 'u':
            ++m_pos;
            for (int k = 0; k < 4; ++k, ++m_pos) {
                if (!isHexDigit(peek()))
                    return false;
            }
            break;
        default: return false;
        }
    }
    return false;
}

// A value that is not a container, as far as it reaches: whether it is one is Qt's reader's to say.
bool StrictJson::lenientScalar()
{
    if (peek() == '"')
        return lenientString();
    const int from = m_pos;
    while (m_pos < m_length) {
        const ushort c = m_text.at(m_pos).unicode();
        if (c == ',' || c == ']' || c == '}' || c == ':' || c == '"' || c == '[' || c == '{' || c == ' '
            || c == '\t' || c == '\n' || c == '\r')
            break;
        ++m_pos;
    }
    return m_pos > from;
}

// A string up to its closing quote, any escape taken as a whole, as Qt's reader takes it.
bool StrictJson::lenientString()
{
    ++m_pos; // "
    while (m_pos < m_length) {
        const ushort c = m_text.at(m_pos++).unicode();
        if (c == '"')
            return true;
        if (c != '\\' || m_pos == m_length)
            continue;
        if (m_text.at(m_pos++).unicode() != 'u')
            continue;
        for (int k = 0; k < 4 && isHexDigit(peek()); ++k)
            ++m_pos;
    }
    return false;
}

// The name as a reader compares it, escapes resolved: "\u0061" and "a" are one name. Each \u
// escape is one UTF-16 unit, as Qt's reader keeps it, halves of a pair included; an escape Qt's
// reader does not know stands for its character, as there.
QString StrictJson::name(int from, int to) const
{
    const QStringRef raw = m_text.midRef(from, to - from);
    if (!raw.contains(QLatin1Char('\\')))
        return raw.toString();
    QString out;
    out.reserve(raw.size());
    for (int i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c != QLatin1Char('\\')) {
            out += c;
            continue;
        }
        // The string was read already: a backslash is never its last character.
        const ushort e = raw.at(++i).unicode();
        switch (e) {
        case 'b': out += QChar(0x08); break;
        case 'f': out += QChar(0x0c); break;
        case 'n': out += QChar(0x0a); break;
        case 'r': out += QChar(0x0d); break;
        case 't': out += QChar(0x09); break;
        case 'u':
            out += QChar(ushort(raw.mid(i + 1, 4).toString().toUInt(nullptr, 16)));
            i += 4;
            break;
        default: out += QChar(e); break; // '"', '\\', '/' and the unknown ones stand for themselves
        }
    }
    return out;
}
