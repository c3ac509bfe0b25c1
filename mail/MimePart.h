#pragma once

#include "MimeContentFormatter.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// One MIME entity: its header fields and its body, rendered once and kept until prepared again.
class MimePart : public QObject
{
    Q_OBJECT
public:
    // The transfer encoding of a body; the message uses the same values for its header encoding.
    enum Encoding { _7Bit = 0, _8Bit = 1, Base64 = 2, QuotedPrintable = 3 };

    MimePart();
    ~MimePart() override = default;

    void setContent(const QByteArray &content) { m_content = content; }
    const QByteArray &getContent() const { return m_content; }
    void setHeader(const QString &header) { m_header = header; }
    const QString &getHeader() const { return m_header; }
    // Appends one line; CRLF is added.
    void addHeaderLine(const QString &line);

    void setContentId(const QString &id) { m_cId = id; }
    const QString &getContentId() const { return m_cId; }
    void setContentName(const QString &name) { m_cName = name; }
    const QString &getContentName() const { return m_cName; }
    void setContentType(const QString &type) { m_cType = type; }
    const QString &getContentType() const { return m_cType; }
    void setCharset(const QString &charset) { m_cCharset = charset; }
    const QString &getCharset() const { return m_cCharset; }
    void setEncoding(Encoding encoding) { m_cEncoding = encoding; }
    Encoding getEncoding() const { return m_cEncoding; }

    MimeContentFormatter &getContentFormatter() { return m_formatter; }

    // The rendered part; built on the first call, repeated afterwards until prepare() runs again.
    virtual QString toString();
    virtual void prepare();

protected:
    QString m_header;
    QByteArray m_content;
    QString m_cId;
    QString m_cName;
    QString m_cType;
    QString m_cCharset;
    QString m_cBoundary;
    Encoding m_cEncoding = _7Bit;
    QString m_mimeString;
    bool m_prepared = false;
    MimeContentFormatter m_formatter;
};
