#include "StrictJson.h"

#include <vector>

namespace {

bool isDigit(ushort c) { return c >= '0' && c <= '9'; }

bool isHexDigit(ushort c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

} // namespace

bool StrictJson::isOneValue(const QString &text) { return StrictJson(text).check(); }

StrictJson::StrictJson(const QString &text) : m_text(text), m_length(text.size()) {}

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
                if (c == '{' && !member())
                    return false;
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
            open.pop_back();
        }
    }
}

// A member's name and its colon, up to where its value starts.
bool StrictJson::member()
{
    if (peek() != '"' || !string())
        return false;
    skipSpace();
    if (peek() != ':')
        return false;
    ++m_pos;
    skipSpace();
    return true;
}

bool StrictJson::scalar()
{
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
