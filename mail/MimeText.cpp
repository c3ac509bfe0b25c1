#include "MimeText.h"

MimeText::MimeText(const QString &text) : m_text(text)
{
    m_cType = QStringLiteral("text/plain");
    m_cCharset = QStringLiteral("utf-8");
    m_cEncoding = _8Bit;
}

void MimeText::prepare()
{
    m_content = m_text.toUtf8();
    MimePart::prepare();
}
