#pragma once

#include "MimeFile.h"

// A file offered as an attachment.
class MimeAttachment : public MimeFile
{
    Q_OBJECT
public:
    explicit MimeAttachment(QFile *file);
    MimeAttachment(const QByteArray &stream, const QString &fileName);

    void prepare() override;
};
