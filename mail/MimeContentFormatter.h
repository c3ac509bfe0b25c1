#pragma once

#include <QObject>
#include <QString>

// Folds an encoded body into lines no longer than the maximum length.
class MimeContentFormatter : public QObject
{
    Q_OBJECT
public:
    explicit MimeContentFormatter(int maxLength = 76);

    void setMaxLength(int length) { m_maxLength = length; }
    int getMaxLength() const { return m_maxLength; }

    // Plain mode cuts hard every maxLength characters. Quoted-printable mode keeps the input's
    // line feeds, ends a line with a soft break ("=") so that no line, the "=" included, is
    // longer than maxLength, and never splits a three-character escape.
    QString format(const QString &content, bool quotedPrintable = false) const;

private:
    int m_maxLength;
};
