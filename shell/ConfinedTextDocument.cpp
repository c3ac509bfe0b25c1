#include "ConfinedTextDocument.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPixmap>
#include <QThread>
#include <QUrl>

namespace {

// "data:[<type>][;base64],<payload>"
bool decodeDataUrl(const QUrl &url, QByteArray *payload)
{
    const QByteArray text = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    const int comma = text.indexOf(',');
    if (comma < 0)
        return false;
    const QByteArray header = text.left(comma).trimmed().toLower();
    const QByteArray data = text.mid(comma + 1);
    if (header.endsWith(";base64")) {
        const auto result = QByteArray::fromBase64Encoding(data.trimmed());
        if (!result)
            return false;
        *payload = *result;
    } else {
        *payload = data;
    }
    return true;
}

} // namespace

ConfinedTextDocument::ConfinedTextDocument(const QString &root, QObject *parent)
    : QTextDocument(parent)
    , m_root(root.isEmpty() ? QString() : QFileInfo(root).canonicalFilePath())
{
}

QString ConfinedTextDocument::confinedPath(const QUrl &name) const
{
    if (m_root.isEmpty())
        return QString();
    QString path;
    if (name.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) == 0)
        path = name.toLocalFile();
    else if (name.scheme().isEmpty() && name.host().isEmpty())
        path = name.path(QUrl::FullyDecoded);
    else
        return QString();
    if (path.isEmpty() || path.contains(QChar(0)))
        return QString();
    if (QDir::isRelativePath(path))
        path = m_root + QLatin1Char('/') + path;
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || !canonical.startsWith(m_root + QLatin1Char('/')) || !QFileInfo(canonical).isFile())
        return QString();
    return canonical;
}

QVariant ConfinedTextDocument::loadResource(int type, const QUrl &name)
{
    QByteArray bytes;
    bool found = false;
    if (name.scheme().compare(QLatin1String("data"), Qt::CaseInsensitive) == 0) {
        found = decodeDataUrl(name, &bytes);
    } else {
        const QString path = confinedPath(name);
        QFile file(path);
        if (!path.isEmpty() && file.open(QIODevice::ReadOnly)) {
            bytes = file.readAll();
            found = true;
        }
    }
    if (type == ImageResource) {
        QImage image;
        if (found)
            image.loadFromData(bytes);
        if (image.isNull()) {
            image = QImage(1, 1, QImage::Format_ARGB32);
            image.fill(Qt::transparent);
        }
        // Pixmaps belong to the GUI thread; conversions run on connection threads too.
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            return QPixmap::fromImage(image);
        return image;
    }
    if (!found)
        return QVariant();
    return bytes;
}
