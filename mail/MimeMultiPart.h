#pragma once

#include "MimePart.h"

#include <QList>

// A multipart container; it renders the parts it holds but does not own them.
class MimeMultiPart : public MimePart
{
    Q_OBJECT
public:
    enum MultiPartType { Mixed = 0, Digest = 1, Alternative = 2, Related = 3, Report = 4, Signed = 5, Encrypted = 6 };

    explicit MimeMultiPart(MultiPartType type = Related);

    void addPart(MimePart *part) { m_parts.append(part); }
    const QList<MimePart *> &getParts() const { return m_parts; }
    void setMimeType(MultiPartType type);
    MultiPartType getMimeType() const { return m_type; }

    void prepare() override;

private:
    QList<MimePart *> m_parts;
    MultiPartType m_type;
};
