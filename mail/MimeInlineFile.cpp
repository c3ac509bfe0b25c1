#include "MimeInlineFile.h"

MimeInlineFile::MimeInlineFile(QFile *file) : MimeFile(file) {}

void MimeInlineFile::prepare()
{
    addHeaderLine(QStringLiteral("Content-Disposition: inline"));
    MimeFile::prepare();
}
