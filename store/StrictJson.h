#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QSet>
#include <QString>

#include <vector>

// Decides whether a text is exactly one JSON value by the standard grammar alone, with nothing a
// lenient reader would let through: no "1.", "-.5", "01" or "1.e5", no raw control character or
// lone surrogate in a string, no NaN or Infinity, no byte order mark, only blank, tab, line feed
// and carriage return as white space. Nesting is followed without recursion, so any depth is read.
class StrictJson
{
public:
    // True when the text, surrounding white space allowed, is one JSON value and nothing else.
    static bool isOneValue(const QString &text);

    // The document that UTF-8 text from outside the program (a message, a request, a stored
    // mapping) holds, as Qt's reader reads it; a null document when Qt's reader refuses it, or
    // when any object in it, at any depth, names a member twice. Such a text has no one meaning,
    // and Qt's reader keeps the earlier values of a repeated name in memory for good: every
    // reader of outside text goes through here, never straight to QJsonDocument. What Qt's reader
    // let through before ("1.", a raw control character) is still read: devices rely on it.
    static QJsonDocument read(const QByteArray &utf8);

private:
    // Standard: the grammar above. Reading: brackets, commas, colons and names are followed and
    // the names checked, while the values are left to Qt's reader.
    enum class Mode { Standard, Reading };
    StrictJson(const QString &text, Mode mode);

    bool lenientScalar();
    bool lenientString();

    bool check();
    bool scalar();
    bool string();
    bool number();
    bool word(const char *literal);
    bool member();
    void skipSpace();
    ushort peek() const;

    QString name(int from, int to) const;

    const QString &m_text;
    const int m_length;
    const bool m_uniqueNames; // only in Reading mode, which also leaves the values to Qt
    int m_pos = 0;
    std::vector<QSet<QString>> m_names; // the names met so far in every object not closed yet
};
