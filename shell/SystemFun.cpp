#include "SystemFun.h"

#include "PdfConverter.h"

#include <QCoreApplication>
#include <QDir>

SystemFun::SystemFun(QObject *parent, const QString &documentRoot)
    : QObject(parent)
{
    if (!documentRoot.isEmpty())
        m_documentRoot = QDir::cleanPath(QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(documentRoot));
}

QByteArray SystemFun::getGeneralInfo(int userPriv) const
{
    return "{\"ver\":\"0.2.0\",\"archVer\":\"0.1.2\",\"userPriv\":" + QByteArray::number(userPriv)
           + ",\"osType\":\"other\"}";
}

QByteArray SystemFun::htmlToPdf(const QString &html) const { return convertHtmlToPdf(html, m_documentRoot); }

QByteArray SystemFun::convertHtmlToPdf(const QString &html, const QString &documentRoot)
{
    return PdfConverter::instance().convert(html, documentRoot);
}
