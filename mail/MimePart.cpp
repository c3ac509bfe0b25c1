#include "MimePart.h"

#include "QuotedPrintable.h"

MimePart::MimePart() : m_formatter(76) {}

void MimePart::addHeaderLine(const QString &line)
{
    m_header += line;
    m_header += QLatin1String("\r\n");
}

QString MimePart::toString()
{
    if (!m_prepared)
        prepare();
    return m_mimeString;
}

// The body's bytes up to the first zero byte, as the text the part holds.
static QString textUpToNul(const QByteArray &content)
{
    return QString::fromUtf8(content.constData(), int(qstrnlen(content.constData(), uint(content.size()))));
}

void MimePart::prepare()
{
    QString text;
    text += QLatin1String("Content-Type: ") + m_cType;
    if (!m_cName.isEmpty())
        text += QLatin1String("; name=\"") + m_cName + QLatin1Char('"');
    if (!m_cCharset.isEmpty())
        text += QLatin1String("; charset=") + m_cCharset;
    if (!m_cBoundary.isEmpty())
        text += QLatin1String("; boundary=") + m_cBoundary;
    text += QLatin1String("\r\n");

    text += QLatin1String("Content-Transfer-Encoding: ");
    switch (m_cEncoding) {
    case _7Bit: text += QLatin1String("7bit"); break;
    case _8Bit: text += QLatin1String("8bit"); break;
    case Base64: text += QLatin1String("base64"); break;
    case QuotedPrintable: text += QLatin1String("quoted-printable"); break;
    }
    text += QLatin1String("\r\n");

    if (!m_cId.isEmpty())
        text += QLatin1String("Content-ID: <") + m_cId + QLatin1String(">\r\n");
    text += m_header;
    text += QLatin1String("\r\n");

    switch (m_cEncoding) {
    case _7Bit:
        // Anything beyond ASCII cannot travel as 7bit: it comes out as "?" or U+FFFD.
        text += QString::fromUtf8(textUpToNul(m_content).toLatin1());
        break;
    case _8Bit:
        text += textUpToNul(m_content);
        break;
    case Base64:
        text += m_formatter.format(QString::fromLatin1(m_content.toBase64()), false);
        break;
    case QuotedPrintable:
        text += m_formatter.format(QuotedPrintable::encode(m_content), true);
        break;
    }
    text += QLatin1String("\r\n");

    m_mimeString = text;
    m_prepared = true;
}
