#include "MimeMultiPart.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

static const char *const multiPartTypeNames[] = {
    "multipart/mixed",  "multipart/digest", "multipart/alternative", "multipart/related",
    "multipart/report", "multipart/signed", "multipart/encrypted",
};

static QString typeName(MimeMultiPart::MultiPartType type)
{
    const int index = int(type);
    if (index < 0 || index > 6)
        return QString();
    return QString::fromLatin1(multiPartTypeNames[index]);
}

MimeMultiPart::MimeMultiPart(MultiPartType type) : m_type(type)
{
    m_cType = typeName(type);
    m_cEncoding = _8Bit;
    const char seed = char(QRandomGenerator::global()->generate() & 0xff);
    m_cBoundary = QString::fromLatin1(QCryptographicHash::hash(QByteArray(1, seed), QCryptographicHash::Md5).toHex());
}

void MimeMultiPart::setMimeType(MultiPartType type)
{
    m_type = type;
    m_cType = typeName(type);
}

void MimeMultiPart::prepare()
{
    m_content.clear();
    for (MimePart *part : qAsConst(m_parts)) {
        m_content += "--" + m_cBoundary.toLatin1() + "\r\n";
        part->prepare();
        m_content += part->toString().toUtf8();
    }
    m_content += "--" + m_cBoundary.toLatin1() + "--\r\n";
    MimePart::prepare();
}
