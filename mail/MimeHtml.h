#pragma once

#include "MimeText.h"

// A text/html part; its HTML is the text of the text part.
class MimeHtml : public MimeText
{
    Q_OBJECT
public:
    explicit MimeHtml(const QString &html = QString());

    void setHtml(const QString &html) { m_text = html; }
    const QString &getHtml() const { return m_text; }

    void prepare() override;
};
