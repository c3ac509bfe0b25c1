#include "QuotedPrintable.h"

QString QuotedPrintable::encode(const QByteArray &input)
{
    static const char hex[] = "0123456789ABCDEF";
    QString out;
    out.reserve(input.size() * 3);
    for (const char ch : input) {
        const uchar byte = uchar(ch);
        if (byte == ' ' || (byte >= 33 && byte <= 126 && byte != '=')) {
            out += QLatin1Char(char(byte));
        } else {
            out += QLatin1Char('=');
            out += QLatin1Char(hex[byte >> 4]);
            out += QLatin1Char(hex[byte & 0x0f]);
        }
    }
    return out;
}

// "0"-"9" and "A"-"F" (either case) are digits; anything else counts 0, as the characters
// between "9" and "A" always did.
static int digitValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    return 0;
}

QByteArray QuotedPrintable::decode(const QString &input)
{
    QByteArray out;
    out.reserve(input.size());
    for (int i = 0; i < input.size(); ++i) {
        const QChar c = input.at(i);
        if (c == QLatin1Char('=') && i + 2 < input.size()) {
            out += char((digitValue(input.at(i + 1)) * 16 + digitValue(input.at(i + 2))) & 0xff);
            i += 2;
        } else if (c.unicode() > 0xff) {
            out += char(0);
        } else {
            out += char(c.unicode() & 0xff);
        }
    }
    return out;
}
