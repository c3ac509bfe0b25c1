#pragma once

#include <QString>

// Decides whether a text is exactly one JSON value by the standard grammar alone, with nothing a
// lenient reader would let through: no "1.", "-.5", "01" or "1.e5", no raw control character or
// lone surrogate in a string, no NaN or Infinity, no byte order mark, only blank, tab, line feed
// and carriage return as white space. Nesting is followed without recursion, so any depth is read.
class StrictJson
{
public:
    // True when the text, surrounding white space allowed, is one JSON value and nothing else.
    static bool isOneValue(const QString &text);

private:
    explicit StrictJson(const QString &text);

    bool check();
    bool scalar();
    bool string();
    bool number();
    bool word(const char *literal);
    bool member();
    void skipSpace();
    ushort peek() const;

    const QString &m_text;
    const int m_length;
    int m_pos = 0;
};
