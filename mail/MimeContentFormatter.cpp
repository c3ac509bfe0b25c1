#include "MimeContentFormatter.h"

MimeContentFormatter::MimeContentFormatter(int maxLength) : m_maxLength(maxLength) {}

QString MimeContentFormatter::format(const QString &content, bool quotedPrintable) const
{
    QString out;
    out.reserve(content.size() + content.size() / qMax(1, m_maxLength) * 3 + 3);
    int count = 0;
    for (const QChar c : content) {
        if (quotedPrintable) {
            if (c == QLatin1Char('\n')) {
                out += c;
                count = 0;
                continue;
            }
            ++count;
            if (count >= m_maxLength || (c == QLatin1Char('=') && count >= m_maxLength - 2)) {
                out += QLatin1String("=\r\n");
                count = 1;
            }
        } else {
            ++count;
            if (count > m_maxLength) {
                out += QLatin1String("\r\n");
                count = 1;
            }
        }
        out += c;
    }
    return out;
}
