#include "HttpResponse.h"

#include "HttpRequest.h"

#include <QTcpSocket>

HttpResponse::HttpResponse(QTcpSocket *socket) : m_socket(socket) {}

void HttpResponse::setStatus(int statusCode, const QByteArray &description)
{
    m_statusCode = statusCode;
    m_statusText = description;
}
void HttpResponse::setHeader(const QByteArray &name, const QByteArray &value) { m_headers.insert(name, value); }
void HttpResponse::setHeader(const QByteArray &name, int value) { setHeader(name, QByteArray::number(value)); }
QMap<QByteArray, QByteArray> &HttpResponse::getHeaders() { return m_headers; }
void HttpResponse::setCookie(const HttpCookie &cookie) { m_cookies.insert(cookie.getName(), cookie); }
QMap<QByteArray, HttpCookie> &HttpResponse::getCookies() { return m_cookies; }
int HttpResponse::getStatusCode() const { return m_statusCode; }
void HttpResponse::write(const QByteArray &data, bool lastPart) { (void)data; m_sentLastPart = lastPart; }
void HttpResponse::writeStream(const QByteArray &data, bool lastPart) { write(data, lastPart); }
void HttpResponse::redirect(const QByteArray &url) { setHeader("Location", url); write("Redirect", true); }
bool HttpResponse::hasSentLastPart() const { return m_sentLastPart; }
void HttpResponse::adaptTo(const HttpRequest &request) { (void)request; }
void HttpResponse::setHeadOnly(bool headOnly) { m_headOnly = headOnly; }
void HttpResponse::setChunkingAllowed(bool allowed) { m_chunkingAllowed = allowed; }
void HttpResponse::setWriteTimeout(int milliseconds) { m_writeTimeout = milliseconds; }
bool HttpResponse::hasWriteFailed() const { return m_failed; }
void HttpResponse::sendHeaders(const QByteArray &) {}
QByteArray HttpResponse::headerBlock() const { return {}; }
bool HttpResponse::writeToSocket(const QByteArray &) { return true; }
void HttpResponse::fail() {}
