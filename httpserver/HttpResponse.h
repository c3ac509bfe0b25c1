#pragma once

#include "HttpCookie.h"

#include <QByteArray>
#include <QMap>

class HttpRequest;
class QTcpSocket;

// The reply to one request, bound to the connection's socket. The first write decides the
// framing: Content-Length for a single last part, chunked for a reply in several parts, or the
// end of the connection. Used on one thread only.
class HttpResponse
{
    Q_DISABLE_COPY(HttpResponse)
public:
    explicit HttpResponse(QTcpSocket *socket);

    // Whether the text may stand in a header line: a CR or LF would end the line and let the rest
    // pass for headers or a body of its own, and a NUL cuts it short.
    static bool isHeaderSafe(const QByteArray &text);

    // Takes effect only before the header block is written; a text holding CR, LF or NUL is refused.
    void setStatus(int statusCode, const QByteArray &description = QByteArray());
    // Inserts or replaces the header of exactly that name; a name or value holding CR, LF or NUL
    // is refused (logged, nothing set).
    void setHeader(const QByteArray &name, const QByteArray &value);
    void setHeader(const QByteArray &name, int value);
    QMap<QByteArray, QByteArray> &getHeaders();
    // A cookie with an empty name, or one holding CR, LF or NUL, is ignored.
    void setCookie(const HttpCookie &cookie);
    QMap<QByteArray, HttpCookie> &getCookies();

    int getStatusCode() const;

    // Writes one body part, the header block first if it has not gone out; lastPart ends the reply.
    void write(const QByteArray &data, bool lastPart = false);
    // The same bytes as write(data) followed by write(QByteArray(), true), handed to the socket
    // at once: for a body that is whole at hand but keeps the framing of a reply in parts.
    void writePieceAndEnd(const QByteArray &data);
    // As write(), for long downloads in many parts: waits for the socket's pending output first.
    void writeStream(const QByteArray &data, bool lastPart = false);
    // A complete 303 "See Other" reply with "Location" set to url.
    void redirect(const QByteArray &url);

    bool hasSentLastPart() const;
    // True once the header block is on its way: status, headers and cookies are then fixed.
    bool hasSentHeaders() const;
    bool isSentLastPart() const { return hasSentLastPart(); }

    // What the reply must know of its request: HEAD gets the header block alone, and an HTTP/1.0
    // client without keep-alive never gets chunked framing.
    void adaptTo(const HttpRequest &request);
    void setHeadOnly(bool headOnly);
    void setChunkingAllowed(bool allowed);
    // The longest wait for the peer to take queued bytes before the connection is aborted.
    void setWriteTimeout(int milliseconds);
    // True once a write failed or timed out and the connection was aborted for it.
    bool hasWriteFailed() const;

private:
    QByteArray headerBlock() const;
    bool writeToSocket(const QByteArray &data);
    void fail();

    QMap<QByteArray, QByteArray> m_headers;
    QTcpSocket *m_socket = nullptr;
    int m_statusCode = 200;
    QByteArray m_statusText = "OK";
    bool m_sentHeaders = false;
    bool m_sentLastPart = false;
    QMap<QByteArray, HttpCookie> m_cookies;
    bool m_headOnly = false;
    bool m_chunkingAllowed = true;
    bool m_chunked = false;
    int m_writeTimeout = 10000;
    bool m_failed = false;
    // Output kept back to go out with the next write, so that one reply costs one system call.
    bool m_holdOutput = false;
    QByteArray m_heldOutput;
};
