#include "HttpResponse.h"

#include "HttpRequest.h"
#include "NativeDescriptors.h"

#include <QTcpSocket>
#include <QtDebug>

namespace {

// Header names looked up for every reply, built once: a literal would become a new QByteArray,
// with an allocation, at each look-up.
const QByteArray g_connection = QByteArrayLiteral("Connection");
const QByteArray g_contentLength = QByteArrayLiteral("Content-Length");
const QByteArray g_transferEncoding = QByteArrayLiteral("Transfer-Encoding");

} // namespace

HttpResponse::HttpResponse(QTcpSocket *socket) : m_socket(socket) {}

bool HttpResponse::isHeaderSafe(const QByteArray &text)
{
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    }
    return true;
}

void HttpResponse::setStatus(int statusCode, const QByteArray &description)
{
    if (!isHeaderSafe(description)) {
        qWarning("HttpResponse: refused a status text with a line break or zero byte");
        return;
    }
    m_statusCode = statusCode;
    m_statusText = description;
}

void HttpResponse::setHeader(const QByteArray &name, const QByteArray &value)
{
    if (!isHeaderSafe(name) || !isHeaderSafe(value)) {
        qWarning("HttpResponse: refused header %s with a line break or zero byte",
                 QByteArray(name).replace('\r', ' ').replace('\n', ' ').constData());
        return;
    }
    m_headers.insert(name, value);
}

void HttpResponse::setHeader(const QByteArray &name, int value)
{
    setHeader(name, QByteArray::number(value));
}

QMap<QByteArray, QByteArray> &HttpResponse::getHeaders() { return m_headers; }

void HttpResponse::setCookie(const HttpCookie &cookie)
{
    if (cookie.getName().isEmpty())
        return;
    if (!cookie.isSafe()) {
        qWarning("HttpResponse: refused a cookie with a line break or zero byte");
        return;
    }
    m_cookies.insert(cookie.getName(), cookie);
}

QMap<QByteArray, HttpCookie> &HttpResponse::getCookies() { return m_cookies; }

int HttpResponse::getStatusCode() const { return m_statusCode; }

QByteArray HttpResponse::headerBlock() const
{
    QByteArray block;
    block.reserve(256);
    block.append("HTTP/1.1 ").append(QByteArray::number(m_statusCode)).append(' ');
    block.append(m_statusText).append("\r\n");
    for (auto it = m_headers.constBegin(); it != m_headers.constEnd(); ++it)
        block.append(it.key()).append(": ").append(it.value()).append("\r\n");
    for (auto it = m_cookies.constBegin(); it != m_cookies.constEnd(); ++it)
        block.append("Set-Cookie: ").append(it.value().toByteArray()).append("\r\n");
    block.append("\r\n");
    return block;
}

void HttpResponse::write(const QByteArray &data, bool lastPart)
{
    if (m_sentLastPart)
        return;
    QByteArray out;
    if (!m_sentHeaders) {
        const QByteArray connection = m_headers.value(g_connection);
        if (!m_chunkingAllowed) {
            const QByteArray encoding = m_headers.value(g_transferEncoding);
            if (encoding == "chunked" || encoding == "Chunked")
                m_headers.remove(g_transferEncoding);
        }
        if (!m_headers.contains(g_contentLength) && !m_headers.contains(g_transferEncoding)
            && connection != "close" && connection != "Close") {
            if (lastPart)
                m_headers.insert(g_contentLength, QByteArray::number(data.size()));
            else if (m_chunkingAllowed)
                m_headers.insert(g_transferEncoding, QByteArrayLiteral("chunked"));
            // Otherwise the end of the connection ends the body.
        }
        const QByteArray encoding = m_headers.value(g_transferEncoding);
        m_chunked = encoding == "chunked" || encoding == "Chunked";
        // The header block travels with the first piece: written alone it would wait for the
        // peer's delayed acknowledgement before the body may follow.
        out = headerBlock();
        // Room for the piece and its chunk framing, so that appending it moves nothing.
        out.reserve(out.size() + data.size() + 32);
        m_sentHeaders = true;
    }

    if (!m_headOnly) {
        if (m_chunked) {
            if (!data.isEmpty()) {
                out.append(QByteArray::number(data.size(), 16)).append("\r\n");
                out.append(data).append("\r\n");
            }
            if (lastPart)
                out.append("0\r\n\r\n");
        } else {
            out.append(data);
        }
    }
    if (!out.isEmpty() || !m_heldOutput.isEmpty()) {
        writeToSocket(out);
    } else if (m_headOnly && !data.isEmpty() && !m_failed
               && (m_socket->state() != QAbstractSocket::ConnectedState
                   || NativeDescriptors::peerClosed(m_socket->socketDescriptor()))) {
        // A HEAD reply writes no body, so no write would ever fail: the part that a GET would
        // have written fails here as soon as the client has gone, and a streaming handler stops.
        fail();
    }

    if (lastPart) {
        if (!m_chunked && !m_headers.contains(g_contentLength) && !m_failed
            && m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->disconnectFromHost();
        m_sentLastPart = true;
    }
}

void HttpResponse::writePieceAndEnd(const QByteArray &data)
{
    m_holdOutput = true;
    write(data, false);
    m_holdOutput = false;
    write(QByteArray(), true);
}

void HttpResponse::writeStream(const QByteArray &data, bool lastPart)
{
    // Every write already waits, within the write time-out, until the socket has handed its
    // bytes on, so at most one part is ever queued. A part is never dropped while the framing
    // goes on: a wait that fails aborts the connection, and the download is seen as cut short.
    write(data, lastPart);
}

void HttpResponse::redirect(const QByteArray &url)
{
    setStatus(303, "See Other");
    setHeader("Location", url);
    write("Redirect", true);
}

bool HttpResponse::hasSentLastPart() const { return m_sentLastPart; }

bool HttpResponse::hasSentHeaders() const { return m_sentHeaders; }

void HttpResponse::adaptTo(const HttpRequest &request)
{
    setHeadOnly(request.getMethod() == "HEAD");
    setChunkingAllowed(!request.isHttp10());
}

void HttpResponse::setHeadOnly(bool headOnly) { m_headOnly = headOnly; }

void HttpResponse::setChunkingAllowed(bool allowed) { m_chunkingAllowed = allowed; }

void HttpResponse::setWriteTimeout(int milliseconds) { m_writeTimeout = milliseconds; }

bool HttpResponse::hasWriteFailed() const { return m_failed; }

bool HttpResponse::writeToSocket(const QByteArray &piece)
{
    if (m_failed || !m_socket->isOpen())
        return false;
    if (m_holdOutput) {
        m_heldOutput.append(piece);
        return true;
    }
    QByteArray data = piece;
    if (!m_heldOutput.isEmpty()) {
        data = m_heldOutput.append(piece);
        m_heldOutput.clear();
    }
    qint64 done = 0;
    while (done < data.size()) {
        const qint64 accepted = m_socket->write(data.constData() + done, data.size() - done);
        if (accepted < 0) {
            fail();
            return false;
        }
        done += accepted;
    }
    // Handed to the system at once: the socket would otherwise wait in poll() for the right to
    // write, although the send buffer nearly always has room. Waiting only for what it did not
    // take keeps at most one piece queued, and the bound frees the thread from a peer that has
    // stopped reading.
    m_socket->flush();
    while (m_socket->bytesToWrite() > 0) {
        if (!m_socket->waitForBytesWritten(m_writeTimeout)) {
            fail();
            return false;
        }
    }
    return true;
}

void HttpResponse::fail()
{
    m_failed = true;
    qWarning("HttpResponse: write failed, closing the connection: %s",
             qPrintable(m_socket->errorString()));
    m_socket->abort();
}
