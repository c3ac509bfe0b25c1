#include "MimeAttachment.h"

MimeAttachment::MimeAttachment(QFile *file) : MimeFile(file) {}

MimeAttachment::MimeAttachment(const QByteArray &stream, const QString &fileName) : MimeFile(stream, fileName) {}

void MimeAttachment::prepare()
{
    // Mail readers have always received this exact spelling from us.
    addHeaderLine(QStringLiteral("Content-disposition: attachment"));
    MimeFile::prepare();
}
