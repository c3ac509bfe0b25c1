#include "MimeHtml.h"

MimeHtml::MimeHtml(const QString &html) : MimeText(html)
{
    m_cType = QStringLiteral("text/html");
}

void MimeHtml::prepare()
{
    MimeText::prepare();
}
