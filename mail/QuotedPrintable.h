#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Quoted-printable coding of byte strings, without line breaks (the formatter folds).
class QuotedPrintable : public QObject
{
    Q_OBJECT
public:
    // Printable ASCII and space pass; every other byte and "=" become "=" and two upper-case
    // hexadecimal digits.
    static QString encode(const QByteArray &input);
    // "=XY" gives one byte. An "=" with fewer than two characters after it stays as it stands.
    static QByteArray decode(const QString &input);

private:
    QuotedPrintable() = delete;
};
