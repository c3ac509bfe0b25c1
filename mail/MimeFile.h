#pragma once

#include "MimePart.h"

class QFile;

// A file sent base64 as application/octet-stream, from a file (owned) or from bytes.
class MimeFile : public MimePart
{
    Q_OBJECT
public:
    explicit MimeFile(QFile *file);
    MimeFile(const QByteArray &stream, const QString &fileName);
    ~MimeFile() override;

    void prepare() override;

protected:
    QFile *m_file = nullptr;
};
