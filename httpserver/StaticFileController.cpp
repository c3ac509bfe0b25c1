#include "StaticFileController.h"

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QtDebug>

namespace {

const QByteArray g_contentTypeName = QByteArrayLiteral("Content-Type");

} // namespace

StaticFileController::StaticFileController(QSettings *settings, QObject *parent)
    : HttpRequestHandler(parent)
{
    QMutexLocker locker(&HttpRequest::settingsLock());
    m_maxAge = settings->value("maxAge", "60000").toInt();
    m_encoding = settings->value("encoding", "UTF-8").toString();
    m_docroot = settings->value("path", ".").toString();
    if (!(m_docroot.startsWith(":/") || m_docroot.startsWith("qrc://"))
        && QDir::isRelativePath(m_docroot) && settings->format() != QSettings::NativeFormat) {
        const QFileInfo configFile(settings->fileName());
        m_docroot = QFileInfo(configFile.absolutePath(), m_docroot).absoluteFilePath();
    }
    m_canonicalRoot = QFileInfo(m_docroot).canonicalFilePath();
    m_maxCachedFileSize = settings->value("maxCachedFileSize", "65536").toInt();
    m_cache.setMaxCost(settings->value("cacheSize", "1000000").toInt());
    m_cacheTimeout = settings->value("cacheTime", "60000").toInt();
    m_cacheControl = "max-age=" + QByteArray::number(m_maxAge / 1000);
    m_textCharset = "; charset=" + m_encoding.toUtf8();
}

StaticFileController::~StaticFileController()
{
    QMutexLocker locker(&m_mutex);
    m_cache.clear();
}

void StaticFileController::service(HttpRequest &request, HttpResponse &response)
{
    const QByteArray path = request.getPath();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();

    m_mutex.lock();
    if (CacheEntry *entry = m_cache.object(path)) {
        if (m_cacheTimeout == 0 || entry->created > now - m_cacheTimeout) {
            const QByteArray document = entry->document;
            const QByteArray contentType = entry->contentType;
            m_mutex.unlock();
            if (!contentType.isEmpty())
                response.setHeader(g_contentTypeName, contentType);
            response.setHeader("Cache-Control", m_cacheControl);
            // The whole document in one write, framed as before: a piece and the end of the reply.
            response.writePieceAndEnd(document);
            return;
        }
    }
    m_mutex.unlock();

    if (path.contains("/..")) {
        qWarning("StaticFileController: detected forbidden characters in path %s",
                 path.constData());
        forbidden(response);
        return;
    }
    // A zero byte would cut the name short in the file system; such a name names no file here.
    if (path.contains('\0')) {
        qWarning("StaticFileController: detected forbidden characters in path %s",
                 QByteArray(path).replace('\0', "%00").constData());
        forbidden(response);
        return;
    }

    QByteArray filePath = path;
    if (QFileInfo(m_docroot + QString::fromUtf8(filePath)).isDir())
        filePath.append("/index.html");
    const QString fileName = m_docroot + QString::fromUtf8(filePath);

    // The name may still reach out of the root: a target without a leading "/" continues the
    // root's own name ("/srv/www" + "-old/x"), and a symbolic link may point anywhere.
    if (QFileInfo::exists(fileName) && !isInsideRoot(fileName)) {
        qWarning("StaticFileController: path %s leads out of the document root",
                 path.constData());
        forbidden(response);
        return;
    }

    QFile file(fileName);
    if (file.open(QIODevice::ReadOnly)) {
        setContentType(QString::fromUtf8(filePath), response);
        response.setHeader("Cache-Control", m_cacheControl);
        if (file.size() <= m_maxCachedFileSize) {
            auto *entry = new CacheEntry;
            while (!file.atEnd() && file.error() == QFile::NoError) {
                const QByteArray buffer = file.read(65536);
                if (buffer.isEmpty())
                    break;
                response.write(buffer);
                entry->document.append(buffer);
            }
            entry->created = now;
            entry->contentType = contentTypeOf(QString::fromUtf8(filePath));
            QMutexLocker locker(&m_mutex);
            m_cache.insert(path, entry, entry->document.size());
        } else {
            while (!file.atEnd() && file.error() == QFile::NoError) {
                const QByteArray buffer = file.read(65536);
                if (buffer.isEmpty())
                    break;
                response.write(buffer);
            }
        }
        file.close();
    } else if (file.exists()) {
        qWarning("StaticFileController: Cannot open existing file %s for reading",
                 qPrintable(QFileInfo(file).absoluteFilePath()));
        forbidden(response);
    } else {
        response.setStatus(404, "not found");
        response.write("404 not found", true);
    }
}

bool StaticFileController::isInsideRoot(const QString &fileName) const
{
    // Resource paths cannot be reached through links; "/.." is refused before this.
    if (m_docroot.startsWith(":/") || m_docroot.startsWith("qrc://"))
        return true;
    if (m_canonicalRoot.isEmpty())
        return false;
    const QString canonical = QFileInfo(fileName).canonicalFilePath();
    return canonical == m_canonicalRoot || canonical.startsWith(m_canonicalRoot + '/')
        || (m_canonicalRoot == "/" && canonical.startsWith('/'));
}

void StaticFileController::forbidden(HttpResponse &response) const
{
    response.setStatus(403, "forbidden");
    response.write("403 forbidden", true);
}

void StaticFileController::setContentType(const QString &fileName, HttpResponse &response) const
{
    const QByteArray contentType = contentTypeOf(fileName);
    if (!contentType.isEmpty())
        response.setHeader(g_contentTypeName, contentType);
}

QByteArray StaticFileController::contentTypeOf(const QString &fileName) const
{
    // Latin-1 suffixes: a plain literal would be turned into a QString, with an allocation, for
    // each comparison of each request.
    if (fileName.endsWith(QLatin1String(".png")))
        return QByteArrayLiteral("image/png");
    if (fileName.endsWith(QLatin1String(".jpg")))
        return QByteArrayLiteral("image/jpeg");
    if (fileName.endsWith(QLatin1String(".gif")))
        return QByteArrayLiteral("image/gif");
    if (fileName.endsWith(QLatin1String(".pdf")))
        return QByteArrayLiteral("application/pdf");
    if (fileName.endsWith(QLatin1String(".txt")))
        return "text/plain" + m_textCharset;
    if (fileName.endsWith(QLatin1String(".html")) || fileName.endsWith(QLatin1String(".htm")))
        return "text/html" + m_textCharset;
    if (fileName.endsWith(QLatin1String(".css")))
        return QByteArrayLiteral("text/css");
    if (fileName.endsWith(QLatin1String(".js")))
        return QByteArrayLiteral("text/javascript");
    return QByteArray();
}
