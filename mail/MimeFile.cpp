#include "MimeFile.h"

#include <QFile>
#include <QFileInfo>

MimeFile::MimeFile(QFile *file) : m_file(file)
{
    m_cType = QStringLiteral("application/octet-stream");
    m_cName = file ? QFileInfo(*file).fileName() : QString();
    m_cEncoding = Base64;
}

MimeFile::MimeFile(const QByteArray &stream, const QString &fileName)
{
    m_cType = QStringLiteral("application/octet-stream");
    m_cName = fileName;
    m_cEncoding = Base64;
    m_content = stream;
}

MimeFile::~MimeFile()
{
    delete m_file;
}

void MimeFile::prepare()
{
    if (m_file) {
        // A file that cannot be read gives an empty body.
        m_content.clear();
        if (m_file->open(QIODevice::ReadOnly)) {
            m_content = m_file->readAll();
            m_file->close();
        }
    }
    MimePart::prepare();
}
