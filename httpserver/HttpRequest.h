#pragma once

#include "HttpCookie.h"
#include "RequestParams.h"

#include <QByteArray>
#include <QMap>
#include <QMultiMap>
#include <QMutex>
#include <QTemporaryFile>

class QIODevice;
class QSettings;

// One HTTP request, parsed step by step from the connection's socket until it is complete or
// refused; afterwards a read-only record for the request handlers. Used on one thread only.
class HttpRequest
{
    Q_DISABLE_COPY(HttpRequest)
public:
    enum RequestStatus { readingRequestLine, readingHeaders, readingBody, complete, aborted };

    // Reads maxRequestSize (16000) and maxMultiPartSize (1000000) of the "listener" group. The
    // read is serialised with every other reader that uses settingsLock().
    explicit HttpRequest(QSettings *settings);
    // The same limits given as copied values, for callers that read the settings once.
    HttpRequest(int maxRequestSize, int maxMultiPartSize);
    // Removes every temporary file of the request from the disk.
    virtual ~HttpRequest();

    // One parsing step over what the socket holds; every call either consumes bytes or leaves
    // the status at complete or aborted. A QTcpSocket or any other sequential device.
    void readFromSocket(QIODevice *socket);

    RequestStatus getStatus() const;
    // The body bytes received so far, spooled multipart bytes included.
    qint64 getBodyBytesReceived() const;
    // The reply status that an aborted request calls for: 413 for an oversized or malformed
    // request, 400 for framing the server cannot trust (bad or conflicting Content-Length, a
    // Transfer-Encoding on a request). 0 while the request is not aborted.
    int getAbortCode() const;

    QByteArray getMethod() const;
    QByteArray getVersion() const;
    // The URL-decoded path; after completion without its query string.
    QByteArray getPath() const;
    // The value added last under exactly that name. The framing headers Content-Length,
    // Content-Type, Connection and Transfer-Encoding are found whatever their letter case.
    QByteArray getHeader(const QByteArray &name) const;
    QMultiMap<QByteArray, QByteArray> getHeaderMap() const;
    t_GetArray getParameterMap() const;
    QByteArray getBody() const;
    QByteArray getCookie(const QByteArray &name) const;
    QMap<QByteArray, QByteArray> &getCookieMap();
    // Open for reading and writing at its start; owned by the request; null when absent.
    QTemporaryFile *getUploadedFile(const QByteArray &fieldName) const;

    // True when the connection is to be closed after the reply: "Connection: close" in any
    // letter case, or an HTTP/1.0 request that did not ask for keep-alive.
    bool closeAfterReply() const;
    // True for an HTTP/1.0 request, whose client cannot read chunked framing.
    bool isHttp10() const;

    // Form decoding: "+" is a blank, and only "%" with exactly two hex digits is an escape.
    static QByteArray urlDecode(const QByteArray &source);
    // The same without the blank: for a text the browser encoded once more, where a "+" is a "+".
    static QByteArray percentDecode(const QByteArray &source);

    // The most file parts one multipart request may hold; beyond it the request is refused
    // (413) and its uploads are removed.
    static constexpr int maxFileParts = 32;

    // Whether the first bytes of a connection hold a whole request head and, where the head
    // announces a body, all of it or at least its first minBody bytes; also when they are limit
    // bytes or more, too many for any head that is worth waiting for. A client that sends its
    // request at once shows it here, one that trickles it in does not.
    static bool isPromptStart(const QByteArray &bytes, int minBody, int limit);

    // The lock under which threads read a QSettings object that they share.
    static QMutex &settingsLock();

private:
    static QByteArray decoded(const QByteArray &source, bool plusIsBlank);
    // raw: the line as received, without trimming (its line end included).
    bool readLine(QIODevice *socket, QByteArray &line, QByteArray *raw = nullptr);
    void readRequest(QIODevice *socket);
    void readHeader(QIODevice *socket);
    void readBody(QIODevice *socket);
    void finishHeaders();
    void parseMultiPartFile();
    void decodeRequestParams();
    void extractCookies();
    void refuse(int code);
    void refuseFileParts();
    QByteArray findFramingHeader(const QByteArray &name) const;

    QMultiMap<QByteArray, QByteArray> m_headers;
    t_GetArray m_parameters;
    QMap<QByteArray, QTemporaryFile *> m_uploadedFiles;
    QMap<QByteArray, QByteArray> m_cookies;
    QByteArray m_body;
    QByteArray m_method;
    QByteArray m_path;
    QByteArray m_version;
    RequestStatus m_status = readingRequestLine;
    int m_abortCode = 0;
    int m_maxSize = 16000;
    int m_maxMultiPartSize = 1000000;
    qint64 m_currentSize = 0;
    qint64 m_expectedBodySize = 0;
    qint64 m_received = 0;
    QByteArray m_currentHeader;
    QByteArray m_boundary;
    QTemporaryFile *m_tempFile = nullptr;
    QByteArray m_lineBuffer;
};
