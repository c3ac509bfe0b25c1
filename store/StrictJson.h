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
    // mapping) holds; a null document when the text is not one JSON value by the grammar above,
    // or when any object in it, at any depth, names a member twice. Such a text has no one
    // meaning, and Qt's reader keeps the earlier values of a repeated name in memory for good:
    // every reader of outside text goes through here, never straight to QJsonDocument.
    static QJsonDocument read(const QByteArray &utf8);

private:
    StrictJson(const QString &text, bool uniqueNames);

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
    const bool m_uniqueNames;
    int m_pos = 0;
    std::vector<QSet<QString>> m_names; // the names met so far in every object not closed yet
};
