#include "SystemFun.h"

#include "ConfinedTextDocument.h"

#include <QCoreApplication>
#include <QDir>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTemporaryFile>

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
    QTemporaryFile file;
    if (!file.open()) {
        qWarning("SystemFun: cannot open a temporary file for the PDF");
        return QByteArray();
    }
    ConfinedTextDocument document(documentRoot);
    document.setHtml(html);
    {
        QPdfWriter writer(&file);
        writer.setResolution(96);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(0, 4, 0, 4), QPageLayout::Millimeter);
        const QRect page = writer.pageLayout().paintRectPixels(96);
        document.setPageSize(QSizeF(page.right() - page.left() + 1, page.bottom() - page.top() + 1));
        document.print(&writer);
    }
    if (!file.flush() || !file.seek(0)) {
        qWarning("SystemFun: cannot read the PDF back");
        return QByteArray();
    }
    const QByteArray pdf = file.readAll();
    if (!pdf.startsWith("%PDF")) {
        qWarning("SystemFun: the conversion wrote no PDF");
        return QByteArray();
    }
    return pdf;
}
