#include "HttpRequest.h"
#include "NativeDescriptors.h"

#include <QDir>
#include <QIODevice>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

namespace {

// A sequential device that hands out what the test feeds it, like a socket between reads.
class FeedDevice : public QIODevice
{
public:
    FeedDevice() { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_data.size() + QIODevice::bytesAvailable(); }
    void feed(const QByteArray &bytes) { m_data.append(bytes); }
    QByteArray remaining() { return readAll(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_data.size());
        if (n > 0)
            memcpy(data, m_data.constData(), size_t(n));
        m_data.remove(0, int(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
};

enum FeedMode { Whole, ByteByByte, SplitAfterCR };

// Feeds the bytes in the given pieces, calling the parser after each piece the way the
// connection handler does: while bytes are there and the request is still being read.
void feedRequest(HttpRequest &request, FeedDevice &device, const QByteArray &bytes, FeedMode mode)
{
    QList<QByteArray> pieces;
    if (mode == Whole) {
        pieces << bytes;
    } else if (mode == ByteByByte) {
        for (const char c : bytes)
            pieces << QByteArray(1, c);
    } else {
        int start = 0;
        for (int i = 0; i < bytes.size(); ++i) {
            if (bytes.at(i) == '\r') {
                pieces << bytes.mid(start, i + 1 - start);
                start = i + 1;
            }
        }
        pieces << bytes.mid(start);
    }
    for (const QByteArray &piece : pieces) {
        device.feed(piece);
        while (device.bytesAvailable() > 0 && request.getStatus() != HttpRequest::complete
               && request.getStatus() != HttpRequest::aborted)
            request.readFromSocket(&device);
    }
}

QByteArray paramsText(const t_GetArray &params)
{
    QByteArray text;
    for (auto it = params.constBegin(); it != params.constEnd(); ++it) {
        if (!text.isEmpty())
            text.append('&');
        text.append(it.key()).append('=').append(it.value());
    }
    return text;
}

QByteArray multipart(const QByteArray &boundary, const QList<QByteArray> &parts)
{
    QByteArray body;
    for (const QByteArray &part : parts)
        body.append("--").append(boundary).append("\r\n").append(part).append("\r\n");
    body.append("--").append(boundary).append("--\r\n");
    return body;
}

QByteArray multipartRequest(const QByteArray &body, const QByteArray &boundary = "XyZ")
{
    return "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

Q_DECLARE_METATYPE(FeedMode)
Q_DECLARE_METATYPE(HttpRequest::RequestStatus)

class tst_HttpRequest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void parse_data();
    void parse();
    void limits_data();
    void limits();
    void framing_data();
    void framing();
    void urlDecode_data();
    void urlDecode();
    void urlDecodeIsLinear();
    void headers();
    void cookies();
    void pipelinedRequestStaysOnTheSocket();
    void closeAfterReply_data();
    void closeAfterReply();
    void multipartFields();
    void multipartLimit_data();
    void multipartLimit();
    void temporaryFilesRemoved_data();
    void temporaryFilesRemoved();
    void settingsRead();
    void fileParts_data();
    void fileParts();
    void filePartsLeaveTheLastDescriptors();

private:
    QStringList leftovers() const;
    QTemporaryDir m_tmp;
};

void tst_HttpRequest::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    // Uploads go to the temporary directory; a private one shows what is left behind.
    qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
    QCOMPARE(QDir::tempPath(), QDir(m_tmp.path()).canonicalPath());
}

void tst_HttpRequest::parse_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<FeedMode>("mode");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QByteArray>("body");

    struct Case
    {
        const char *name;
        QByteArray bytes, method, path, params, body;
    };
    const QList<Case> cases = {
        {"query with repeated name", "GET /a%20b?x=1&x=2&y HTTP/1.1\r\nHost: h\r\n\r\n", "GET", "/a b",
         "x=2&x=1&y=", ""},
        {"plus before trimming", "GET /p?v=+abc HTTP/1.1\r\n\r\n", "GET", "/p", "v= abc", ""},
        {"form body joins query",
         "POST /f?b=2 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: 3\r\n\r\na=1",
         "POST", "/f", "a=1&b=2", "a=1"},
        {"json body stays a body",
         "POST /j HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 7\r\n\r\n{\"a\":1}", "POST",
         "/j", "", "{\"a\":1}"},
        {"body without content type is a form",
         "POST /n HTTP/1.1\r\nContent-Length: 7\r\n\r\nk=v&w=2", "POST", "/n", "k=v&w=2", "k=v&w=2"},
        {"empty line before the request line", "\r\n\r\nGET /e HTTP/1.1\r\n\r\n", "GET", "/e", "", ""},
        {"LF-only line ends", "GET /lf?q=1 HTTP/1.1\nHost: h\n\n", "GET", "/lf", "q=1", ""},
        {"lower-case content-length frames the body",
         "POST /l HTTP/1.1\r\ncontent-length: 3\r\n\r\nz=9", "POST", "/l", "z=9", "z=9"},
    };
    const QList<QPair<FeedMode, const char *>> modes = {
        {Whole, "whole"}, {ByteByByte, "byte by byte"}, {SplitAfterCR, "split between CR and LF"}};
    for (const Case &c : cases) {
        for (const auto &mode : modes)
            QTest::addRow("%s, %s", c.name, mode.second)
                << c.bytes << mode.first << c.method << c.path << c.params << c.body;
    }
}

void tst_HttpRequest::parse()
{
    QFETCH(QByteArray, bytes);
    QFETCH(FeedMode, mode);
    HttpRequest request(16000, 1000000);
    FeedDevice device;
    feedRequest(request, device, bytes, mode);
    QCOMPARE(request.getStatus(), HttpRequest::complete);
    QTEST(request.getMethod(), "method");
    QTEST(request.getPath(), "path");
    QTEST(paramsText(request.getParameterMap()), "params");
    QTEST(request.getBody(), "body");
    QCOMPARE(device.bytesAvailable(), 0);
}

void tst_HttpRequest::limits_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<FeedMode>("mode");
    QTest::addColumn<HttpRequest::RequestStatus>("status");
    QTest::addColumn<int>("abortCode");

    const QByteArray requestLine = "GET / HTTP/1.1\r\n";
    auto headBlockOf = [&](int total) {
        const int pad = total - requestLine.size() - int(strlen("X-Pad: \r\n\r\n"));
        return requestLine + "X-Pad: " + QByteArray(pad, 'a') + "\r\n\r\n";
    };
    QCOMPARE(headBlockOf(16000).size(), 16000);
    for (FeedMode mode : {Whole, ByteByByte}) {
        const char *how = mode == Whole ? "whole" : "byte by byte";
        QTest::addRow("head of exactly the limit, %s", how)
            << headBlockOf(16000) << mode << HttpRequest::complete << 0;
        QTest::addRow("head one byte over, %s", how)
            << headBlockOf(16001) << mode << HttpRequest::aborted << 413;
        QTest::addRow("8001 empty lines, %s", how)
            << QByteArray("\r\n").repeated(8001) << mode << HttpRequest::aborted << 413;
        QTest::addRow("endless line, %s", how)
            << QByteArray(20000, 'x') << mode << HttpRequest::aborted << 413;
    }
    QTest::newRow("body announced over the limit")
        << "POST / HTTP/1.1\r\nContent-Length: 16000\r\nX-Pad: " + QByteArray(150, 'p')
               + "\r\n\r\n"
        << Whole << HttpRequest::aborted << 413;
    QTest::newRow("two-part request line") << QByteArray("GET /\r\n\r\n") << Whole
                                           << HttpRequest::aborted << 413;
    QTest::newRow("third part without HTTP")
        << QByteArray("GET / FTP/1.0\r\n\r\n") << Whole << HttpRequest::aborted << 413;
}

void tst_HttpRequest::limits()
{
    QFETCH(QByteArray, bytes);
    QFETCH(FeedMode, mode);
    HttpRequest request(16000, 1000000);
    FeedDevice device;
    feedRequest(request, device, bytes, mode);
    QTEST(request.getStatus(), "status");
    QTEST(request.getAbortCode(), "abortCode");
}

void tst_HttpRequest::framing_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<HttpRequest::RequestStatus>("status");
    QTest::addColumn<int>("abortCode");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("plain length") << QByteArray("Content-Length: 3\r\n") << HttpRequest::complete << 0
                                  << QByteArray("abc");
    QTest::newRow("upper-case name") << QByteArray("CONTENT-LENGTH: 3\r\n") << HttpRequest::complete
                                     << 0 << QByteArray("abc");
    QTest::newRow("repeated equal lengths")
        << QByteArray("Content-Length: 3\r\ncontent-length: 3\r\n") << HttpRequest::complete << 0
        << QByteArray("abc");
    QTest::newRow("conflicting lengths")
        << QByteArray("Content-Length: 3\r\ncontent-length: 5\r\n") << HttpRequest::aborted << 400
        << QByteArray();
    QTest::newRow("negative length") << QByteArray("Content-Length: -1\r\n") << HttpRequest::aborted
                                     << 400 << QByteArray();
    QTest::newRow("signed length") << QByteArray("Content-Length: +3\r\n") << HttpRequest::aborted
                                   << 400 << QByteArray();
    QTest::newRow("not a number") << QByteArray("Content-Length: abc\r\n") << HttpRequest::aborted
                                  << 400 << QByteArray();
    QTest::newRow("two numbers") << QByteArray("Content-Length: 1 2\r\n") << HttpRequest::aborted
                                 << 400 << QByteArray();
    QTest::newRow("empty length") << QByteArray("Content-Length:\r\n") << HttpRequest::aborted << 400
                                  << QByteArray();
    QTest::newRow("beyond int") << QByteArray("Content-Length: 99999999999\r\n")
                                << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("blank before the colon of a length")
        << QByteArray("Content-Length : 3\r\n") << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("tab before the colon of a transfer coding")
        << QByteArray("Transfer-Encoding\t: chunked\r\n") << HttpRequest::aborted << 400 << QByteArray();
    // A header name is a token: anything else is refused, whatever the name would have been.
    const QByteArray zero(1, '\0');
    QTest::newRow("zero byte after a length name")
        << "Content-Length" + zero + ": 3\r\n" << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("zero byte inside a name")
        << "X-" + zero + "A: 1\r\nContent-Length: 3\r\n" << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("blank inside a name") << QByteArray("X A: 1\r\nContent-Length: 3\r\n")
                                         << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("control character inside a name") << QByteArray("X\x01A: 1\r\nContent-Length: 3\r\n")
                                                     << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("vertical tab before a length name") << QByteArray("\x0b" "Content-Length: 3\r\n")
                                                       << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("separator inside a name") << QByteArray("X(A): 1\r\nContent-Length: 3\r\n")
                                             << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("line without a colon") << QByteArray("Content-Length 3\r\n") << HttpRequest::aborted
                                          << 400 << QByteArray();
    QTest::newRow("empty name") << QByteArray("Content-Length: 3\r\n: 5\r\n") << HttpRequest::aborted
                                << 400 << QByteArray();
    QTest::newRow("every token character")
        << QByteArray("!#$%&'*+-.^_`|~09azAZ: 1\r\nContent-Length: 3\r\n") << HttpRequest::complete << 0
        << QByteArray("abc");
    // A folded line continues the header above it, a colon in it included.
    QTest::newRow("folded line holding a length")
        << QByteArray("X-A: one\r\n Content-Length: 3\r\n") << HttpRequest::complete << 0 << QByteArray();
    // Only an empty line ends the head. A line of blanks is a fold that adds nothing: taken for
    // the end, it would hide the headers after it and leave them to be read as a request.
    QTest::newRow("line of one blank before a length")
        << QByteArray("X-A: one\r\n \r\nContent-Length: 3\r\n") << HttpRequest::complete << 0 << QByteArray("abc");
    QTest::newRow("line of one tab before a length")
        << QByteArray("X-A: one\r\n\t\r\nContent-Length: 3\r\n") << HttpRequest::complete << 0 << QByteArray("abc");
    QTest::newRow("line of blanks before the first header")
        << QByteArray(" \t \r\nContent-Length: 3\r\n") << HttpRequest::complete << 0 << QByteArray("abc");
    QTest::newRow("line of a blank and a bare line feed")
        << QByteArray("X-A: one\n \nContent-Length: 3\n") << HttpRequest::complete << 0 << QByteArray("abc");
    QTest::newRow("line of a form feed") << QByteArray("X-A: one\r\n\f\r\nContent-Length: 3\r\n")
                                         << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("line of a carriage return before the line end")
        << QByteArray("X-A: one\r\n\r\r\nContent-Length: 3\r\n") << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("transfer encoding") << QByteArray("Transfer-Encoding: chunked\r\n")
                                       << HttpRequest::aborted << 400 << QByteArray();
    QTest::newRow("transfer encoding any case")
        << QByteArray("transfer-encoding: gzip\r\nContent-Length: 3\r\n") << HttpRequest::aborted << 400
        << QByteArray();
}

void tst_HttpRequest::framing()
{
    QFETCH(QByteArray, headers);
    HttpRequest request(16000, 1000000);
    FeedDevice device;
    feedRequest(request, device, "POST /x HTTP/1.1\r\n" + headers + "\r\nabc", Whole);
    QTEST(request.getStatus(), "status");
    QTEST(request.getAbortCode(), "abortCode");
    QTEST(request.getBody(), "body");
}

void tst_HttpRequest::urlDecode_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("decoded");
    QTest::newRow("decoded percent not decoded again") << QByteArray("%41%252F") << QByteArray("A%2F");
    QTest::newRow("plus") << QByteArray("a+b") << QByteArray("a b");
    QTest::newRow("encoded plus") << QByteArray("a%2Bb") << QByteArray("a+b");
    QTest::newRow("not hex") << QByteArray("%zz") << QByteArray("%zz");
    QTest::newRow("lone percent at end") << QByteArray("50%") << QByteArray("50%");
    QTest::newRow("one digit at end") << QByteArray("a%4") << QByteArray("a%4");
    QTest::newRow("one digit before text") << QByteArray("%4g") << QByteArray("%4g");
    QTest::newRow("encoded line feed") << QByteArray("%0a%0A") << QByteArray("\n\n");
    // Only two hex digits make an escape: a number parser would take a sign or a blank.
    QTest::newRow("plus before a digit") << QByteArray("%+a") << QByteArray("% a");
    QTest::newRow("blank before a digit") << QByteArray("% a") << QByteArray("% a");
    QTest::newRow("minus sign") << QByteArray("%-1") << QByteArray("%-1");
    QTest::newRow("hex prefix") << QByteArray("%0x41") << QByteArray("%0x41");
    QTest::newRow("percent before an escape") << QByteArray("%%41") << QByteArray("%A");
    QTest::newRow("zero byte") << QByteArray("a%00b") << QByteArray("a\0b", 3);
    QTest::newRow("utf-8 bytes") << QByteArray("%C3%B3") << QByteArray("\xC3\xB3");
}

void tst_HttpRequest::urlDecode()
{
    QFETCH(QByteArray, source);
    QTEST(HttpRequest::urlDecode(source), "decoded");
}

void tst_HttpRequest::urlDecodeIsLinear()
{
    // One megabyte of escapes: decoding in place moved the rest of the text for every escape
    // and took seconds; a single pass takes milliseconds. The bound leaves a wide margin.
    const QByteArray source = QByteArray("%41").repeated(350000);
    QElapsedTimer clock;
    clock.start();
    const QByteArray decoded = HttpRequest::urlDecode(source);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(decoded, QByteArray(350000, 'A'));
    QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
}

void tst_HttpRequest::headers()
{
    HttpRequest request(16000, 1000000);
    FeedDevice device;
    feedRequest(request, device,
                "GET / HTTP/1.1\r\nX-A: one\r\n  two\r\n\tthree\r\nx-b:  spaced  \r\nX-C: b\r\n c: d\r\n"
                "connection: Keep-Alive\r\nContent-type: text/plain\r\n\r\n",
                ByteByByte);
    QCOMPARE(request.getStatus(), HttpRequest::complete);
    QCOMPARE(request.getHeader("X-A"), QByteArray("one two three"));
    QCOMPARE(request.getHeader("X-C"), QByteArray("b c: d"));
    // The continuation extends the one entry, it does not add copies.
    QCOMPARE(request.getHeaderMap().values("X-A").size(), 1);
    QCOMPARE(request.getHeader("x-b"), QByteArray("spaced"));
    // Ordinary headers keep exact matching; the framing headers are found in any case.
    QCOMPARE(request.getHeader("X-B"), QByteArray());
    QCOMPARE(request.getHeader("Connection"), QByteArray("Keep-Alive"));
    QCOMPARE(request.getHeader("Content-Type"), QByteArray("text/plain"));
}

void tst_HttpRequest::cookies()
{
    HttpRequest request(16000, 1000000);
    FeedDevice device;
    feedRequest(request, device,
                "GET / HTTP/1.1\r\nCookie: sessionid={a-b}; user=\"bo;b\"; flag\r\n\r\n", Whole);
    QCOMPARE(request.getStatus(), HttpRequest::complete);
    QCOMPARE(request.getCookie("sessionid"), QByteArray("{a-b}"));
    QCOMPARE(request.getCookie("user"), QByteArray("bo;b"));
    QVERIFY(request.getCookieMap().contains("flag"));
    QCOMPARE(request.getCookie("flag"), QByteArray());
    QCOMPARE(request.getHeader("Cookie"), QByteArray());
}

void tst_HttpRequest::pipelinedRequestStaysOnTheSocket()
{
    const QByteArray second = "GET /second HTTP/1.1\r\n\r\n";
    HttpRequest request(16000, 1000000);
    FeedDevice device;
    feedRequest(request, device, "POST /first HTTP/1.1\r\ncontent-length: 5\r\n\r\nhello" + second,
                Whole);
    QCOMPARE(request.getStatus(), HttpRequest::complete);
    QCOMPARE(request.getBody(), QByteArray("hello"));
    QCOMPARE(device.remaining(), second);
}

void tst_HttpRequest::closeAfterReply_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("connection");
    QTest::addColumn<bool>("close");
    QTest::newRow("1.1 plain") << QByteArray("HTTP/1.1") << QByteArray() << false;
    QTest::newRow("1.1 close mixed case") << QByteArray("HTTP/1.1") << QByteArray("cLoSe") << true;
    QTest::newRow("1.1 keep-alive") << QByteArray("HTTP/1.1") << QByteArray("keep-alive") << false;
    QTest::newRow("1.0 plain") << QByteArray("HTTP/1.0") << QByteArray() << true;
    QTest::newRow("1.0 keep-alive") << QByteArray("HTTP/1.0") << QByteArray("Keep-Alive") << false;
    QTest::newRow("token list") << QByteArray("HTTP/1.1") << QByteArray("TE, close") << true;
}

void tst_HttpRequest::closeAfterReply()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, connection);
    HttpRequest request(16000, 1000000);
    FeedDevice device;
    QByteArray bytes = "GET / " + version + "\r\n";
    if (!connection.isEmpty())
        bytes += "connection: " + connection + "\r\n";
    feedRequest(request, device, bytes + "\r\n", Whole);
    QCOMPARE(request.getStatus(), HttpRequest::complete);
    QTEST(request.closeAfterReply(), "close");
}

void tst_HttpRequest::multipartFields()
{
    QByteArray content;
    for (int i = 0; i < 256; ++i)
        content.append(char(i));
    content.append("\r\nline\r\n--XY not a boundary\r\n");
    const QByteArray body = multipart(
        "XyZ", {"Content-Disposition: form-data; name=\"note\"\r\n\r\nhi",
                "Content-Disposition: form-data; name=\"uploadedfile\"; filename=\"a.sql\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n"
                    + content,
                "Content-Disposition: form-data; name=\"empty\"; filename=\"e.txt\"\r\n\r\n",
                "Content-Disposition: attachment; name=\"other\"\r\n\r\nignored"});
    for (FeedMode mode : {Whole, ByteByByte, SplitAfterCR}) {
        HttpRequest request(16000, 1000000);
        FeedDevice device;
        feedRequest(request, device, multipartRequest(body), mode);
        QCOMPARE(request.getStatus(), HttpRequest::complete);
        const t_GetArray params = request.getParameterMap();
        QCOMPARE(RequestParams::raw(params, "note"), QByteArray("hi"));
        QCOMPARE(RequestParams::raw(params, "uploadedfile"), QByteArray("a.sql"));
        QVERIFY(!params.contains("other"));
        QTemporaryFile *file = request.getUploadedFile("uploadedfile");
        QVERIFY(file);
        QVERIFY(file->isOpen());
        QCOMPARE(file->pos(), 0);
        QCOMPARE(file->readAll(), content);
        QTemporaryFile *empty = request.getUploadedFile("empty");
        QVERIFY(empty);
        QCOMPARE(empty->size(), 0);
        QCOMPARE(request.getUploadedFile("note"), nullptr);
    }
}

void tst_HttpRequest::multipartLimit_data()
{
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<HttpRequest::RequestStatus>("status");
    QTest::newRow("one byte under the limit") << 999999 << HttpRequest::complete;
    QTest::newRow("at the limit") << 1000000 << HttpRequest::aborted;
    QTest::newRow("announced over the limit") << 1000001 << HttpRequest::aborted;
}

void tst_HttpRequest::multipartLimit()
{
    QFETCH(int, bodySize);
    const QByteArray head = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"b\"\r\n\r\n";
    const QByteArray tail = "\r\n--XyZ--\r\n";
    const QByteArray body = head + QByteArray(bodySize - head.size() - tail.size(), 'd') + tail;
    QCOMPARE(body.size(), bodySize);
    HttpRequest request(16000, 1000000);
    FeedDevice device;
    feedRequest(request, device, multipartRequest(body), Whole);
    QTEST(request.getStatus(), "status");
    if (request.getStatus() == HttpRequest::complete)
        QCOMPARE(request.getUploadedFile("f")->size(), bodySize - head.size() - tail.size());
    else
        QCOMPARE(request.getAbortCode(), 413);
}

void tst_HttpRequest::temporaryFilesRemoved_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray filePart =
        "Content-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\nfirst";
    QTest::newRow("finished") << multipartRequest(multipart("XyZ", {filePart}));
    QTest::newRow("field repeated")
        << multipartRequest(multipart(
               "XyZ", {filePart, "Content-Disposition: form-data; name=\"f\"; filename=\"b\"\r\n\r\nsecond"}));
    QTest::newRow("body ends inside a file part")
        << multipartRequest("--XyZ\r\n" + filePart + "\r\nmore\r\n");
    const QByteArray whole = multipartRequest(multipart("XyZ", {filePart}));
    QTest::newRow("aborted while reading the body") << whole.left(whole.size() - 5);
    QTest::newRow("too many multipart bytes")
        << "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XyZ\r\n"
           "Content-Length: 1000000\r\n\r\n"
               + QByteArray(1000000, 'x');
}

// Upload files in the temporary directory, named or not: Linux may create them without a name
// (O_TMPFILE), and then only the open descriptor shows that one was left behind.
QStringList tst_HttpRequest::leftovers() const
{
    QStringList found = QDir(m_tmp.path()).entryList(QDir::Files | QDir::Hidden);
    const QDir fds("/proc/self/fd");
    for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.startsWith(m_tmp.path() + '/'))
            found << target;
    }
    return found;
}

void tst_HttpRequest::temporaryFilesRemoved()
{
    QFETCH(QByteArray, bytes);
    {
        HttpRequest request(16000, 1000000);
        FeedDevice device;
        feedRequest(request, device, bytes, Whole);
        // A replaced upload is released at once, not only with the request.
        if (request.getStatus() == HttpRequest::complete && request.getUploadedFile("f")) {
            QCOMPARE(leftovers().size(), 1);
            QVERIFY(!request.getUploadedFile("f")->fileName().isEmpty());
        }
    }
    QCOMPARE(leftovers(), QStringList());
}

void tst_HttpRequest::settingsRead()
{
    QTemporaryDir dir;
    QSettings settings(dir.filePath("config.ini"), QSettings::IniFormat);
    settings.setValue("listener/maxRequestSize", 100);
    settings.beginGroup("listener");
    HttpRequest request(&settings);
    FeedDevice device;
    feedRequest(request, device, "GET / HTTP/1.1\r\nX: " + QByteArray(100, 'a') + "\r\n\r\n", Whole);
    QCOMPARE(request.getStatus(), HttpRequest::aborted);
}

void tst_HttpRequest::fileParts_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<HttpRequest::RequestStatus>("status");
    QTest::newRow("at the bound") << HttpRequest::maxFileParts << HttpRequest::complete;
    QTest::newRow("one more") << HttpRequest::maxFileParts + 1 << HttpRequest::aborted;
    QTest::newRow("thousands of one-byte files") << 3000 << HttpRequest::aborted;
}

void tst_HttpRequest::fileParts()
{
    QFETCH(int, count);
    QList<QByteArray> parts;
    for (int i = 0; i < count; ++i)
        parts << "Content-Disposition: form-data; name=\"f" + QByteArray::number(i) + "\"; filename=\"a\"\r\n\r\nx";
    // Empty file parts count as well.
    parts.last() = "Content-Disposition: form-data; name=\"last\"; filename=\"e\"\r\n\r\n";
    parts << "Content-Disposition: form-data; name=\"note\"\r\n\r\nhi";
    {
        HttpRequest request(16000, 1000000);
        FeedDevice device;
        feedRequest(request, device, multipartRequest(multipart("XyZ", parts)), Whole);
        QTEST(request.getStatus(), "status");
        if (request.getStatus() == HttpRequest::aborted) {
            QCOMPARE(request.getAbortCode(), 413);
            QCOMPARE(request.getUploadedFile("f0"), nullptr);
            QCOMPARE(leftovers(), QStringList());
        } else {
            QCOMPARE(leftovers().size(), count);
            QVERIFY(request.getUploadedFile("last"));
            QCOMPARE(RequestParams::raw(request.getParameterMap(), "note"), QByteArray("hi"));
        }
    }
    QCOMPARE(leftovers(), QStringList());
}

void tst_HttpRequest::filePartsLeaveTheLastDescriptors()
{
    // A process a few descriptors short of its limit: file parts that took the last ones
    // would leave nothing for a new connection thread, which ends the program without one.
    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    const int open = descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(open + 40);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const auto restore = qScopeGuard([&saved]() { ::setrlimit(RLIMIT_NOFILE, &saved); });
    QList<QByteArray> parts;
    for (int i = 0; i < HttpRequest::maxFileParts; ++i)
        parts << "Content-Disposition: form-data; name=\"f" + QByteArray::number(i) + "\"; filename=\"a\"\r\n\r\nx";
    HttpRequest request(16000, 1000000);
    FeedDevice device;
    feedRequest(request, device, multipartRequest(multipart("XyZ", parts)), Whole);
    QCOMPARE(request.getStatus(), HttpRequest::complete);
    QVERIFY(NativeDescriptors::haveFree(32));
    // The first parts have their files; those that found too few descriptors have none, and
    // are not passed off as empty uploads.
    QVERIFY(request.getUploadedFile("f0"));
    QCOMPARE(request.getUploadedFile("f" + QByteArray::number(HttpRequest::maxFileParts - 1)), nullptr);
}

QTEST_APPLESS_MAIN(tst_HttpRequest)
#include "tst_HttpRequest.moc"
