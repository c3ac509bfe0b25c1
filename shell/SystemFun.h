#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Two stateless services of the browser calls: the general information ("getGeneralInfo") and
// the conversion of an HTML text into an A4 PDF ("saveFile.html" with a ".pdf" name). Safe to
// call from many connection threads at once.
class SystemFun : public QObject
{
    Q_OBJECT
public:
    // documentRoot: the [docroot] "path" (a relative one is taken against the executable's
    // directory); the HTML of a conversion may load files from inside it only.
    explicit SystemFun(QObject *parent = nullptr, const QString &documentRoot = QString());

    // {"ver":"0.2.0","archVer":"0.1.2","userPriv":<userPriv>,"osType":"other"}
    QByteArray getGeneralInfo(int userPriv) const;

    // The PDF document, or an empty byte array when the conversion failed or ran past its bound
    // (PdfConverter): the caller then answers 500 "Internal error" with an empty body, never an
    // empty PDF.
    QByteArray htmlToPdf(const QString &html) const;

    // The same conversion for callers without an object of this class; documentRoot absolute.
    static QByteArray convertHtmlToPdf(const QString &html, const QString &documentRoot);

    QString documentRoot() const { return m_documentRoot; }

private:
    QString m_documentRoot;
};
