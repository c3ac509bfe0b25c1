#include "HttpRequest.h"

#include "NativeDescriptors.h"

#include <QDir>
#include <QIODevice>
#include <QLoggingCategory>
#include <QSettings>
#include <QtDebug>

#include <cstring>
#include <limits>

namespace {

// qDebug builds its text before it asks whether debug lines are shown; these lines come with
// requests, so the question goes first.
bool debugShown()
{
    const QLoggingCategory *category = QLoggingCategory::defaultCategory();
    return category && category->isDebugEnabled();
}

// The headers that decide how the bytes of a connection are cut into requests. A client or a
// proxy may write them in any letter case; reading them case-sensitively would let a body be
// parsed as the next request.
const QByteArray g_framingHeaders[] = {"Content-Length", "Content-Type", "Connection",
                                       "Transfer-Encoding"};

bool isFramingHeader(const QByteArray &name)
{
    for (const QByteArray &framing : g_framingHeaders) {
        if (name.compare(framing, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Names looked up for every request, built once rather than as a new QByteArray each time.
const QByteArray g_contentType = QByteArrayLiteral("Content-Type");
const QByteArray g_connection = QByteArrayLiteral("Connection");
const QByteArray g_cookie = QByteArrayLiteral("Cookie");

// A header name as HTTP defines it: letters, digits and !#$%&'*+-.^_`|~, nothing else.
bool isToken(const QByteArray &name)
{
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && (c == '\0' || !std::strchr("!#$%&'*+-.^_`|~", c)))
            return false;
    }
    return true;
}

bool hasToken(const QByteArray &value, const char *token)
{
    if (value.isEmpty())
        return false;
    for (const QByteArray &part : value.split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray withoutLineEnd(const QByteArray &text)
{
    if (text.endsWith("\r\n"))
        return text.left(text.size() - 2);
    if (text.endsWith('\n'))
        return text.left(text.size() - 1);
    return text;
}

// Uploads leave the last descriptors of the process to what cannot do without one: above all
// a new connection thread, whose event loop ends the program when it finds none (the pool
// starts a thread only while more than this are free).
const int g_descriptorsLeftByUploads = 32;

// Opens the temporary file of a body or of a file part unless that takes one of the last
// descriptors; error: why it did not open.
bool openTemporary(QTemporaryFile *file, QString *error)
{
    if (!NativeDescriptors::haveFree(g_descriptorsLeftByUploads + 1)) {
        *error = QStringLiteral("too few descriptors left");
        return false;
    }
    if (file->open())
        return true;
    *error = file->errorString();
    return false;
}

} // namespace

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
    // QTemporaryFile removes its file when it is destroyed.
    qDeleteAll(m_uploadedFiles);
    delete m_tempFile;
}

QMutex &HttpRequest::settingsLock()
{
    static QMutex lock;
    return lock;
}

void HttpRequest::readFromSocket(QIODevice *socket)
{
    const RequestStatus before = m_status;
    while (socket->bytesAvailable() > 0
           && (m_status == readingRequestLine || m_status == readingHeaders
               || m_status == readingBody)) {
        const qint64 availableBefore = socket->bytesAvailable();
        switch (m_status) {
        case readingRequestLine:
            readRequest(socket);
            break;
        case readingHeaders:
            readHeader(socket);
            break;
        default:
            readBody(socket);
            break;
        }
        const qint64 limit = m_boundary.isEmpty() ? m_maxSize : m_maxMultiPartSize;
        if (m_status != aborted && m_currentSize > limit) {
            qWarning("HttpRequest: received too many bytes");
            refuse(413);
        }
        // A step that neither consumed input nor moved on would spin here for ever.
        if (m_status != aborted && socket->bytesAvailable() >= availableBefore
            && m_status != complete) {
            break;
        }
    }
    if (m_status == complete && before != complete) {
        decodeRequestParams();
        extractCookies();
    }
}

void HttpRequest::refuse(int code)
{
    m_status = aborted;
    m_abortCode = code;
}

bool HttpRequest::readLine(QIODevice *socket, QByteArray &line, QByteArray *raw)
{
    // The one byte beyond the limit lets an overlong line push the count past it.
    qint64 room = qMax<qint64>(1, m_maxSize - m_currentSize + 1);
    // Read through a small buffer on the stack: readLine(n) into a QByteArray would allocate n
    // bytes, the whole request limit, for every line. readLine(buffer, n) keeps one place for
    // a terminating zero and so gives at most n - 1 bytes.
    char buffer[1024];
    bool taken = false;
    while (room > 0) {
        const qint64 got = socket->readLine(buffer, qMin<qint64>(room, sizeof buffer - 1) + 1);
        if (got <= 0)
            break;
        taken = true;
        room -= got;
        m_currentSize += got;
        m_lineBuffer.append(buffer, static_cast<int>(got));
        if (buffer[got - 1] == '\n')
            break;
    }
    if (!taken) {
        char byte = 0;
        if (socket->getChar(&byte)) {
            ++m_currentSize;
            m_lineBuffer.append(byte);
        }
    }
    // Only LF ends a line: a CR whose LF is still in flight must not end the line, or the LF
    // would come through as an empty line and end the header block early.
    if (!m_lineBuffer.endsWith('\n'))
        return false;
    if (raw)
        *raw = m_lineBuffer;
    line = m_lineBuffer.trimmed();
    m_lineBuffer.clear();
    return true;
}

void HttpRequest::readRequest(QIODevice *socket)
{
    QByteArray line;
    if (!readLine(socket, line) || line.isEmpty())
        return;
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !parts.at(2).contains("HTTP")) {
        qWarning("HttpRequest: received broken HTTP request, invalid first line");
        refuse(413);
        return;
    }
    m_method = parts.at(0).trimmed();
    m_path = parts.at(1);
    m_version = parts.at(2);
    m_status = readingHeaders;
}

void HttpRequest::readHeader(QIODevice *socket)
{
    // The line as received decides whether it folds onto the previous header: trimmed, a folded
    // "X-A: one\r\n Content-Length: 5" would pass for a header of its own here and for a part
    // of X-A in a proxy, and the two would cut the stream into requests differently.
    QByteArray line;
    QByteArray raw;
    if (!readLine(socket, line, &raw))
        return;
    const bool folded = raw.startsWith(' ') || raw.startsWith('\t');
    if (raw == "\r\n" || raw == "\n") {
        finishHeaders();
    } else if (folded) {
        // Obsolete line folding: the line joins the entry added last under the name, after one
        // blank, in place of its line end. A line of blanks only adds nothing; taken for the
        // empty line, it would end the head, and the headers after it would reach neither the
        // request gate nor the request, but be read as a request of their own.
        auto it = m_headers.find(m_currentHeader);
        if (!line.isEmpty() && !m_currentHeader.isEmpty() && it != m_headers.end())
            it.value().append(' ').append(line);
    } else {
        // The name is checked as received: trimming would hide a control character before it.
        const int colon = raw.indexOf(':');
        const QByteArray name = colon > 0 ? raw.left(colon) : QByteArray();
        if (!isToken(name)) {
            // A zero byte, a blank or a control character in the name, or no name at all: one
            // party may read "Content-Length\0" as the length and another ignore it.
            qWarning("HttpRequest: refused a header line without a valid name");
            refuse(400);
            return;
        }
        m_currentHeader = name;
        m_headers.insert(m_currentHeader, raw.mid(colon + 1).trimmed());
    }
}

void HttpRequest::finishHeaders()
{
    QList<QByteArray> lengths;
    bool transferEncoding = false;
    for (auto it = m_headers.constBegin(); it != m_headers.constEnd(); ++it) {
        const QByteArray &name = it.key();
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            lengths.append(it.value());
        else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
            transferEncoding = true;
    }
    if (transferEncoding) {
        // Without a chunk decoder the body length is unknown, and guessing it would let body
        // bytes be read as a request of their own.
        qWarning("HttpRequest: refused request with a Transfer-Encoding header");
        refuse(400);
        return;
    }

    const QByteArray contentType = findFramingHeader(g_contentType);
    if (contentType.startsWith("multipart/form-data")) {
        const int at = contentType.indexOf("boundary=");
        if (at >= 0)
            m_boundary = contentType.mid(at + 9);
    }

    m_expectedBodySize = 0;
    for (int i = 0; i < lengths.size(); ++i) {
        const QByteArray &text = lengths.at(i);
        bool digits = !text.isEmpty() && text.size() <= 18;
        for (const char c : text)
            digits = digits && c >= '0' && c <= '9';
        const qint64 value = digits ? text.toLongLong() : -1;
        if (!digits || value > std::numeric_limits<int>::max()
            || (i > 0 && value != m_expectedBodySize)) {
            qWarning("HttpRequest: refused request with an invalid Content-Length");
            refuse(400);
            return;
        }
        m_expectedBodySize = value;
    }

    if (m_expectedBodySize == 0) {
        m_status = complete;
    } else if (!m_boundary.isEmpty()) {
        if (m_expectedBodySize > m_maxMultiPartSize) {
            qWarning("HttpRequest: expected multipart body is too large");
            refuse(413);
        } else {
            m_status = readingBody;
        }
    } else if (m_expectedBodySize + m_currentSize > m_maxSize) {
        qWarning("HttpRequest: expected body is too large");
        refuse(413);
    } else {
        m_status = readingBody;
    }
}

void HttpRequest::readBody(QIODevice *socket)
{
    if (m_boundary.isEmpty()) {
        const QByteArray data = socket->read(m_expectedBodySize - m_body.size());
        m_currentSize += data.size();
        m_body.append(data);
        if (m_body.size() >= m_expectedBodySize)
            m_status = complete;
        return;
    }

    if (!m_tempFile) {
        m_tempFile = new QTemporaryFile;
        QString error;
        if (!openTemporary(m_tempFile, &error))
            qCritical("HttpRequest: Error writing temp file for multipart body");
    }
    const QByteArray data = socket->read(qMin<qint64>(m_expectedBodySize - m_received, 65536));
    m_received += data.size();
    m_tempFile->write(data);
    if (m_received >= m_maxMultiPartSize) {
        qWarning("HttpRequest: received too many multipart bytes");
        refuse(413);
        // The spool file is of no further use; it leaves the disk now, not with the request.
        delete m_tempFile;
        m_tempFile = nullptr;
    } else if (m_received >= m_expectedBodySize) {
        if (!m_tempFile->flush() || m_tempFile->size() != m_received)
            qCritical("HttpRequest: Error writing temp file for multipart body");
        parseMultiPartFile();
        delete m_tempFile;
        m_tempFile = nullptr;
        if (m_status != aborted)
            m_status = complete;
    }
}

void HttpRequest::parseMultiPartFile()
{
    if (debugShown())
        qDebug("HttpRequest: parsing multipart temp file");
    QTemporaryFile &body = *m_tempFile;
    // readLine(n) gives at most n - 1 bytes: lines of up to 65536 bytes.
    body.seek(0);
    const QByteArray boundaryLine = "--" + m_boundary;
    const QByteArray closing = m_boundary + "--";
    bool finished = false;
    int fileParts = 0;
    while (!body.atEnd() && body.error() == QFile::NoError && !finished) {
        QByteArray fieldName;
        QByteArray fileName;
        while (!body.atEnd() && body.error() == QFile::NoError) {
            const QByteArray line = body.readLine(65537).trimmed();
            if (line.isEmpty())
                break;
            if (!line.startsWith("Content-Disposition:"))
                continue;
            if (!line.contains("form-data")) {
                if (debugShown())
                    qDebug("HttpRequest: ignoring unsupported content part %s", line.constData());
                continue;
            }
            int start = line.indexOf(" name=\"");
            if (start >= 0) {
                const int end = line.indexOf('"', start + 7);
                if (end >= 0)
                    fieldName = line.mid(start + 7, end - start - 7);
            }
            start = line.indexOf(" filename=\"");
            if (start >= 0) {
                const int end = line.indexOf('"', start + 11);
                if (end >= 0)
                    fileName = line.mid(start + 11, end - start - 11);
            }
        }

        QTemporaryFile *upload = nullptr;
        QByteArray fieldValue;
        QByteArray lastLine;
        bool atBoundary = false;
        while (!body.atEnd() && body.error() == QFile::NoError) {
            const QByteArray line = body.readLine(65537);
            if (line.startsWith(boundaryLine)) {
                atBoundary = true;
                if (line.contains(closing))
                    finished = true;
                break;
            }
            lastLine = line;
            if (!fieldName.isEmpty() && !fileName.isEmpty()) {
                if (!upload) {
                    if (++fileParts > maxFileParts) {
                        refuseFileParts();
                        return;
                    }
                    upload = new QTemporaryFile;
                    // A file that cannot be made (no descriptor left) is reported once, not
                    // for every line of its part.
                    QString error;
                    if (!openTemporary(upload, &error))
                        qCritical("HttpRequest: error writing temp file, %s", qPrintable(error));
                }
                if (upload->isOpen()) {
                    upload->write(line);
                    if (upload->error() != QFile::NoError)
                        qCritical("HttpRequest: error writing temp file, %s",
                                  qPrintable(upload->errorString()));
                }
            } else if (!fieldName.isEmpty()) {
                m_currentSize += line.size();
                fieldValue.append(line);
            }
        }
        if (!atBoundary) {
            // A part that the body ends without a boundary is not recorded.
            delete upload;
            break;
        }
        const int lineEnd = lastLine.size() - withoutLineEnd(lastLine).size();
        if (!fieldName.isEmpty() && !fileName.isEmpty()) {
            if (!upload) {
                // A part without any content line is an empty upload.
                if (++fileParts > maxFileParts) {
                    refuseFileParts();
                    return;
                }
                upload = new QTemporaryFile;
                QString error;
                if (!openTemporary(upload, &error))
                    qCritical("HttpRequest: error writing temp file, %s", qPrintable(error));
            }
            if (!upload->isOpen()) {
                // An upload that has no file is not passed off as an empty one: the handler
                // finds no file and answers its own error.
                delete upload;
                continue;
            }
            upload->resize(qMax<qint64>(0, upload->size() - lineEnd));
            upload->flush();
            upload->seek(0);
            m_parameters.insert(fieldName, fileName);
            if (debugShown())
                qDebug("HttpRequest: set parameter %s=%s", fieldName.constData(),
                       fileName.constData());
            // A repeated field name keeps the later file; the earlier one leaves the disk now.
            delete m_uploadedFiles.take(fieldName);
            m_uploadedFiles.insert(fieldName, upload);
            if (debugShown())
                qDebug("HttpRequest: uploaded file size is %lli", upload->size());
        } else if (!fieldName.isEmpty()) {
            fieldValue.chop(lineEnd);
            m_parameters.insert(fieldName, fieldValue);
            if (debugShown())
                qDebug("HttpRequest: set parameter %s=%s", fieldName.constData(),
                       fieldValue.constData());
        }
    }
    if (body.error() != QFile::NoError) {
        qCritical("HttpRequest: cannot read temp file, %s", qPrintable(body.errorString()));
        qDebug() << "HttpRequest: cannot read temp file: " << body.errorString();
    }
}

void HttpRequest::refuseFileParts()
{
    // Each upload holds a descriptor until the request ends: thousands of tiny file parts,
    // well within the size limit, would use up the process's descriptors.
    qWarning("HttpRequest: more than %i file parts in one request", maxFileParts);
    qDeleteAll(m_uploadedFiles);
    m_uploadedFiles.clear();
    m_parameters.clear();
    refuse(413);
}

void HttpRequest::decodeRequestParams()
{
    QByteArray rawParameters;
    const int question = m_path.indexOf('?');
    if (question >= 0) {
        rawParameters = m_path.mid(question + 1);
        m_path = m_path.left(question);
    }
    const QByteArray contentType = findFramingHeader(g_contentType);
    if (!m_body.isEmpty()
        && (contentType.isEmpty() || contentType.startsWith("application/x-www-form-urlencoded"))) {
        if (!rawParameters.isEmpty())
            rawParameters.append('&').append(m_body);
        else
            rawParameters = m_body;
    }
    for (const QByteArray &part : rawParameters.split('&')) {
        if (part.isEmpty())
            continue;
        const int equals = part.indexOf('=');
        if (equals >= 0)
            m_parameters.insert(urlDecode(part.left(equals).trimmed()),
                                urlDecode(part.mid(equals + 1).trimmed()));
        else
            m_parameters.insert(urlDecode(part), QByteArray());
    }
}

void HttpRequest::extractCookies()
{
    if (!m_headers.contains(g_cookie))
        return;
    for (const QByteArray &header : m_headers.values(g_cookie)) {
        for (const QByteArray &part : HttpCookie::splitParts(header)) {
            const int equals = part.indexOf('=');
            if (equals >= 0)
                m_cookies.insert(part.left(equals).trimmed(), part.mid(equals + 1).trimmed());
            else
                m_cookies.insert(part.trimmed(), QByteArray());
        }
    }
    m_headers.remove(g_cookie);
}

QByteArray HttpRequest::findFramingHeader(const QByteArray &name) const
{
    const auto exact = m_headers.constFind(name);
    if (exact != m_headers.constEnd())
        return exact.value();
    for (auto it = m_headers.constBegin(); it != m_headers.constEnd(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return QByteArray();
}

bool HttpRequest::isPromptStart(const QByteArray &bytes, int minBody, int limit)
{
    if (bytes.size() >= limit)
        return true;
    bool requestLine = false;
    qint64 length = 0;
    for (int start = 0, end = bytes.indexOf('\n'); end >= 0; start = end + 1, end = bytes.indexOf('\n', start)) {
        const QByteArray line = withoutLineEnd(bytes.mid(start, end + 1 - start));
        if (!requestLine) {
            requestLine = !line.trimmed().isEmpty();
            continue;
        }
        if (line.isEmpty())
            return bytes.size() - (end + 1) >= qMin<qint64>(length, minBody);
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).compare("Content-Length", Qt::CaseInsensitive) == 0) {
            bool number = false;
            length = line.mid(colon + 1).trimmed().toLongLong(&number);
            // A length that the parser refuses at once keeps no thread for long.
            if (!number || length < 0)
                return true;
        }
    }
    return false;
}

HttpRequest::RequestStatus HttpRequest::getStatus() const { return m_status; }

qint64 HttpRequest::getBodyBytesReceived() const
{
    return m_boundary.isEmpty() ? m_body.size() : m_received;
}

int HttpRequest::getAbortCode() const { return m_status == aborted ? m_abortCode : 0; }

QByteArray HttpRequest::getMethod() const { return m_method; }

QByteArray HttpRequest::getVersion() const { return m_version; }

QByteArray HttpRequest::getPath() const { return urlDecode(m_path); }

QByteArray HttpRequest::getHeader(const QByteArray &name) const
{
    if (isFramingHeader(name))
        return findFramingHeader(name);
    return m_headers.value(name);
}

QMultiMap<QByteArray, QByteArray> HttpRequest::getHeaderMap() const { return m_headers; }

t_GetArray HttpRequest::getParameterMap() const { return m_parameters; }

QByteArray HttpRequest::getBody() const { return m_body; }

QByteArray HttpRequest::getCookie(const QByteArray &name) const { return m_cookies.value(name); }

QMap<QByteArray, QByteArray> &HttpRequest::getCookieMap() { return m_cookies; }

QTemporaryFile *HttpRequest::getUploadedFile(const QByteArray &fieldName) const
{
    QTemporaryFile *file = m_uploadedFiles.value(fieldName);
    if (file)
        file->seek(0);
    return file;
}

bool HttpRequest::closeAfterReply() const
{
    const QByteArray connection = findFramingHeader(g_connection);
    if (hasToken(connection, "close"))
        return true;
    return isHttp10() && !hasToken(connection, "keep-alive");
}

bool HttpRequest::isHttp10() const
{
    return m_version.compare("HTTP/1.0", Qt::CaseInsensitive) == 0;
}

QByteArray HttpRequest::urlDecode(const QByteArray &source) { return decoded(source, true); }

QByteArray HttpRequest::percentDecode(const QByteArray &source) { return decoded(source, false); }

QByteArray HttpRequest::decoded(const QByteArray &source, bool plusIsBlank)
{
    // Most paths and values hold nothing to decode and are passed on without a copy.
    if (!(plusIsBlank && source.contains('+')) && !source.contains('%'))
        return source;
    // One pass into a new buffer: replacing each escape in place would move the rest of the
    // text every time. Only "%" and exactly two hex digits is an escape; "%+a", "% a" or "%-1"
    // would otherwise pass for a byte that a check of the raw text never saw. A byte produced
    // by decoding is never read again, so "%252F" gives "%2F".
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    QByteArray decoded;
    decoded.reserve(source.size());
    const char *const data = source.constData();
    const int size = source.size();
    for (int i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '+' && plusIsBlank) {
            decoded.append(' ');
        } else if (c == '%' && i + 2 < size && hexValue(data[i + 1]) >= 0 && hexValue(data[i + 2]) >= 0) {
            decoded.append(static_cast<char>(hexValue(data[i + 1]) * 16 + hexValue(data[i + 2])));
            i += 2;
        } else {
            decoded.append(c);
        }
    }
    return decoded;
}
