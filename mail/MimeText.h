#pragma once

#include "MimePart.h"

// A text/plain part in UTF-8, sent 8bit.
class MimeText : public MimePart
{
public:
    explicit MimeText(const QString &text = QString());

    void setText(const QString &text) { m_text = text; }
    const QString &getText() const { return m_text; }

    void prepare() override;

protected:
    QString m_text;
};
