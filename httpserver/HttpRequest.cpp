#include "HttpRequest.h"

#include <QIODevice>
#include <QSettings>

HttpRequest::HttpRequest(QSettings *settings)
{
    QMutexLocker locker(&settingsLock());
    m_maxSize = settings->value("maxRequestSize", "16000").toInt();
    m_maxMultiPartSize = settings->value("maxMultiPartSize", "1000000").toInt();
}

HttpRequest::HttpRequest(int maxRequestSize, int maxMultiPartSize)
    : m_maxSize(maxRequestSize), m_maxMultiPartSize(maxMultiPartSize)
{
}

HttpRequest::~HttpRequest()
{
    qDeleteAll(m_uploadedFiles);
    delete m_tempFile;
}

QMutex &HttpRequest::settingsLock()
{
    static QMutex lock;
    return lock;
}

void HttpRequest::readFromSocket(QIODevice *socket) { (void)socket; }
HttpRequest::RequestStatus HttpRequest::getStatus() const { return m_status; }
int HttpRequest::getAbortCode() const { return m_abortCode; }
QByteArray HttpRequest::getMethod() const { return m_method; }
QByteArray HttpRequest::getVersion() const { return m_version; }
QByteArray HttpRequest::getPath() const { return urlDecode(m_path); }
QByteArray HttpRequest::getHeader(const QByteArray &name) const { return m_headers.value(name); }
QMultiMap<QByteArray, QByteArray> HttpRequest::getHeaderMap() const { return m_headers; }
t_GetArray HttpRequest::getParameterMap() const { return m_parameters; }
QByteArray HttpRequest::getBody() const { return m_body; }
QByteArray HttpRequest::getCookie(const QByteArray &name) const { return m_cookies.value(name); }
QMap<QByteArray, QByteArray> &HttpRequest::getCookieMap() { return m_cookies; }
QTemporaryFile *HttpRequest::getUploadedFile(const QByteArray &fieldName) const
{
    return m_uploadedFiles.value(fieldName);
}
bool HttpRequest::closeAfterReply() const { return false; }
bool HttpRequest::isHttp10() const { return m_version == "HTTP/1.0"; }
QByteArray HttpRequest::urlDecode(const QByteArray &source) { return source; }
