#include "SystemFun.h"

#include "ConverterProcesses.h"
#include "PdfConverter.h"
#include "TestEnv.h"
#include "WorkerProcess.h"

#include <QApplication>
#include <QElapsedTimer>

#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <QThread>

#include <algorithm>
#include <memory>
#include <vector>

// PDFs are read back with poppler's tools, as a person's viewer would read them.
class tst_SystemFun : public QObject
{
    Q_OBJECT
private slots:
    void generalInfo_data();
    void generalInfo();
    void a4PageWithMargins();
    void longHtmlGivesSeveralPages();
    void polishLetters();
    void twoConversionsAtOnce();
    void resourcesOnlyFromTheDocumentRoot_data();
    void resourcesOnlyFromTheDocumentRoot();
    void runawayPagesAreStopped_data();
    void runawayPagesAreStopped();
    void converterIsKeptForTheNextPage();
    void aConverterThatEndedWhileIdleIsReplaced();

private:
    QString store(const QByteArray &pdf);
    QByteArray tool(const QString &program, QStringList args, const QByteArray &pdf);
    QTemporaryDir m_dir;
    int m_count = 0;
};

QString tst_SystemFun::store(const QByteArray &pdf)
{
    const QString path = m_dir.filePath(QStringLiteral("out%1.pdf").arg(++m_count));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(pdf);
    return path;
}

QByteArray tst_SystemFun::tool(const QString &program, QStringList args, const QByteArray &pdf)
{
    args << store(pdf);
    if (program == QLatin1String("pdftotext") || program == QLatin1String("pdftotext-bbox"))
        args << QStringLiteral("-");
    int code = -1;
    const QByteArray out = TestEnv::runTool(program == QLatin1String("pdftotext-bbox") ? QStringLiteral("pdftotext") : program,
                                            program == QLatin1String("pdftotext-bbox") ? QStringList{QStringLiteral("-bbox")} + args : args,
                                            {}, 60000, &code);
    if (code != 0)
        qWarning("%s exited with %d", qPrintable(program), code);
    return out;
}

void tst_SystemFun::generalInfo_data()
{
    QTest::addColumn<int>("privilege");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("full rights") << 255 << QByteArray(R"({"ver":"0.2.0","archVer":"0.1.2","userPriv":255,"osType":"other"})");
    QTest::newRow("read-only") << 1 << QByteArray(R"({"ver":"0.2.0","archVer":"0.1.2","userPriv":1,"osType":"other"})");
}

void tst_SystemFun::generalInfo()
{
    QFETCH(int, privilege);
    QFETCH(QByteArray, reply);
    SystemFun fun;
    QCOMPARE(fun.getGeneralInfo(privilege), reply);
}

void tst_SystemFun::a4PageWithMargins()
{
    SystemFun fun;
    const QByteArray pdf = fun.htmlToPdf(QStringLiteral("<p>Topword and more words</p>"));
    QVERIFY(pdf.startsWith("%PDF"));
    const QByteArray info = tool(QStringLiteral("pdfinfo"), {}, pdf);
    const QRegularExpression size(QStringLiteral("Page size:\\s+([0-9.]+) x ([0-9.]+) pts"));
    const auto match = size.match(QString::fromLatin1(info));
    QVERIFY2(match.hasMatch(), info.constData());
    QCOMPARE(qRound(match.captured(1).toDouble()), 595);
    QCOMPARE(qRound(match.captured(2).toDouble()), 842);
    QVERIFY(QRegularExpression(QStringLiteral("Pages:\\s+1\n")).match(QString::fromLatin1(info)).hasMatch());
    // No left margin, 4 mm (11.3 pt) at the top, plus the document's own 4 px (3 pt).
    const QByteArray bbox = tool(QStringLiteral("pdftotext-bbox"), {}, pdf);
    const QRegularExpression word(QStringLiteral("<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\"[^>]*>Topword<"));
    const auto at = word.match(QString::fromUtf8(bbox));
    QVERIFY2(at.hasMatch(), bbox.constData());
    QVERIFY2(at.captured(1).toDouble() < 6.0, qPrintable(at.captured(1)));
    QVERIFY2(at.captured(2).toDouble() > 11.3 && at.captured(2).toDouble() < 20.0, qPrintable(at.captured(2)));
}

void tst_SystemFun::longHtmlGivesSeveralPages()
{
    QString html;
    for (int i = 0; i < 200; ++i)
        html += QStringLiteral("<p>Line %1 of a long report</p>").arg(i);
    html += QStringLiteral("<p>LastLine</p>");
    SystemFun fun;
    const QByteArray pdf = fun.htmlToPdf(html);
    const QRegularExpression pages(QStringLiteral("Pages:\\s+(\\d+)"));
    const int count = pages.match(QString::fromLatin1(tool(QStringLiteral("pdfinfo"), {}, pdf))).captured(1).toInt();
    QVERIFY2(count >= 3, qPrintable(QString::number(count)));
    // The bottom margin holds on every page: no word lower than 842 - 11.3 pt.
    const QByteArray bbox = tool(QStringLiteral("pdftotext-bbox"), {}, pdf);
    const QRegularExpression yMax(QStringLiteral("yMax=\"([0-9.]+)\""));
    double lowest = 0;
    for (auto it = yMax.globalMatch(QString::fromUtf8(bbox)); it.hasNext();)
        lowest = qMax(lowest, it.next().captured(1).toDouble());
    QVERIFY2(lowest < 841.89 - 11.3, qPrintable(QString::number(lowest)));
    QVERIFY(tool(QStringLiteral("pdftotext"), {}, pdf).contains("LastLine"));
}

void tst_SystemFun::polishLetters()
{
    SystemFun fun;
    const QString text = QStringLiteral("Za\u017C\u00F3\u0142\u0107 g\u0119\u015Bl\u0105 ja\u017A\u0144 \u0104\u0118\u0141\u0143\u00D3\u015A\u0179\u017B");
    const QByteArray pdf = fun.htmlToPdf(QStringLiteral("<h1>") + text + QStringLiteral("</h1>"));
    QVERIFY(QString::fromUtf8(tool(QStringLiteral("pdftotext"), {}, pdf)).contains(text));
}

void tst_SystemFun::twoConversionsAtOnce()
{
    QByteArray first, second;
    QString long1, long2;
    for (int i = 0; i < 80; ++i) {
        long1 += QStringLiteral("<p>alpha %1</p>").arg(i);
        long2 += QStringLiteral("<p>bravo %1</p>").arg(i);
    }
    // Two connection threads at once.
    std::unique_ptr<QThread> a(QThread::create([&] { first = SystemFun::convertHtmlToPdf(long1, QString()); }));
    std::unique_ptr<QThread> b(QThread::create([&] { second = SystemFun::convertHtmlToPdf(long2, QString()); }));
    a->start();
    b->start();
    QVERIFY(a->wait(60000) && b->wait(60000));
    const QByteArray text1 = tool(QStringLiteral("pdftotext"), {}, first);
    const QByteArray text2 = tool(QStringLiteral("pdftotext"), {}, second);
    QVERIFY(text1.contains("alpha 79") && !text1.contains("bravo"));
    QVERIFY(text2.contains("bravo 79") && !text2.contains("alpha"));
}

void tst_SystemFun::resourcesOnlyFromTheDocumentRoot_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("embedded");
    QTest::newRow("relative inside root") << QStringLiteral("img/inside.png") << true;
    QTest::newRow("absolute inside root") << QStringLiteral("%ROOT%/img/inside.png") << true;
    QTest::newRow("data URL") << QStringLiteral("%DATA%") << true;
    QTest::newRow("absolute path outside root") << QStringLiteral("%OUT%/outside.png") << false;
    QTest::newRow("file URL outside root") << QStringLiteral("file://%OUT%/outside.png") << false;
    QTest::newRow("climbing out of root") << QStringLiteral("../outside/outside.png") << false;
    QTest::newRow("link inside root to outside") << QStringLiteral("img/link.png") << false;
    QTest::newRow("resource of the program") << QStringLiteral(":/images/tray_icon3") << false;
    QTest::newRow("network") << QStringLiteral("http://127.0.0.1:9/outside.png") << false;
}

void tst_SystemFun::resourcesOnlyFromTheDocumentRoot()
{
    QFETCH(QString, source);
    QFETCH(bool, embedded);
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("www"));
    const QString outside = dir.filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/img")) && QDir().mkpath(outside));
    // Sizes tell the pictures apart in the PDF's image list.
    QImage in(37, 23, QImage::Format_RGB32);
    in.fill(Qt::red);
    QVERIFY(in.save(root + QStringLiteral("/img/inside.png")));
    QImage out(37, 23, QImage::Format_RGB32);
    out.fill(Qt::blue);
    QVERIFY(out.save(outside + QStringLiteral("/outside.png")));
    QVERIFY(QFile::link(outside + QStringLiteral("/outside.png"), root + QStringLiteral("/img/link.png")));
    QFile png(root + QStringLiteral("/img/inside.png"));
    QVERIFY(png.open(QIODevice::ReadOnly));
    source.replace(QStringLiteral("%ROOT%"), root).replace(QStringLiteral("%OUT%"), outside);
    source.replace(QStringLiteral("%DATA%"), QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.readAll().toBase64()));

    SystemFun fun(nullptr, root);
    QCOMPARE(fun.documentRoot(), root);
    const QByteArray pdf = fun.htmlToPdf(QStringLiteral("<p>before</p><img src=\"") + source.toHtmlEscaped()
                                         + QStringLiteral("\" width=\"37\" height=\"23\"><p>after</p>"));
    QVERIFY(pdf.startsWith("%PDF"));
    const QByteArray list = tool(QStringLiteral("pdfimages"), {QStringLiteral("-list")}, pdf);
    QCOMPARE(QRegularExpression(QStringLiteral("\\s37\\s+23\\s")).match(QString::fromLatin1(list)).hasMatch(), embedded);
}

void tst_SystemFun::runawayPagesAreStopped_data()
{
    QTest::addColumn<int>("pages");
    QTest::newRow("one page") << 1;
    // The last one finds every converter busy, waits and is refused within the same bound.
    QTest::newRow("more pages than converters at once") << PdfConverter::processCount() + 1;
}

void tst_SystemFun::runawayPagesAreStopped()
{
    QFETCH(int, pages);
    const int limit = 3000;
    PdfConverter::setTimeLimitMs(limit);
    const qint64 self = QCoreApplication::applicationPid();
    // Shared with the threads: one that runs on past a failure keeps what it writes to.
    struct Run
    {
        QString html = QString::fromLatin1(ConverterProcesses::nestedTables());
        std::vector<QByteArray> pdfs;
        std::vector<qint64> took;
    };
    const auto state = std::make_shared<Run>();
    state->pdfs.assign(size_t(pages), QByteArray("not yet"));
    state->took.assign(size_t(pages), -1);
    std::vector<QThread *> threads;
    const QSet<qint64> running = ConverterProcesses::runningDuring(self, [&] {
        for (int i = 0; i < pages; ++i) {
            threads.push_back(QThread::create([state, i] {
                QElapsedTimer clock;
                clock.start();
                state->pdfs[size_t(i)] = SystemFun::convertHtmlToPdf(state->html, QString());
                state->took[size_t(i)] = clock.elapsed();
            }));
            threads.back()->start();
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < limit + 20000 &&
               std::any_of(threads.begin(), threads.end(), [](QThread *t) { return t->isRunning(); }))
            QTest::qWait(20);
    });
    const bool ended = std::none_of(threads.begin(), threads.end(), [](QThread *t) { return t->isRunning(); });
    if (ended)
        qDeleteAll(threads); // a conversion that runs on is left to its thread, past the failure
    PdfConverter::setTimeLimitMs(PdfConverter::DefaultTimeLimitMs);
    QVERIFY2(ended, "a conversion ran past its bound");
    for (int i = 0; i < pages; ++i) {
        QVERIFY2(state->pdfs[size_t(i)].isEmpty(), state->pdfs[size_t(i)].left(20).constData());
        QVERIFY2(state->took[size_t(i)] < limit + 10000, qPrintable(QString::number(state->took[size_t(i)])));
    }
    // The processes that laid the pages out were killed and reaped; none goes on.
    QVERIFY(!running.isEmpty());
    for (const qint64 pid : running)
        QVERIFY2(!ConverterProcesses::exists(pid), qPrintable(QString::number(pid)));
    QVERIFY(!ConverterProcesses::anyRunning(self));
    // The next page converts as ever.
    const QByteArray pdf = SystemFun::convertHtmlToPdf(QStringLiteral("<p>After the runaway</p>"), QString());
    QVERIFY(tool(QStringLiteral("pdftotext"), {}, pdf).contains("After the runaway"));
}

void tst_SystemFun::converterIsKeptForTheNextPage()
{
    const qint64 self = QCoreApplication::applicationPid();
    QVERIFY(tool(QStringLiteral("pdftotext"), {}, SystemFun().htmlToPdf(QStringLiteral("<p>one page</p>"))).contains("one page"));
    const QList<ConverterProcesses::Process> before = ConverterProcesses::of(self);
    QVERIFY(!before.isEmpty());
    QVERIFY(tool(QStringLiteral("pdftotext"), {}, SystemFun().htmlToPdf(QStringLiteral("<p>another page</p>"))).contains("another page"));
    const QList<ConverterProcesses::Process> after = ConverterProcesses::of(self);
    QCOMPARE(after.size(), before.size());
    for (int i = 0; i < after.size(); ++i)
        QCOMPARE(after.at(i).pid, before.at(i).pid);
    // Capped, so a page cannot take the machine's memory either.
    if (WorkerProcess::memoryLimitApplies())
        for (const ConverterProcesses::Process &process : after)
            QCOMPARE(ConverterProcesses::addressSpaceLimit(process.pid),
                     QByteArray::number(PdfConverter::MemoryLimitBytes));
}

// The OOM killer or a stray kill while no page is being converted: the next page still converts.
void tst_SystemFun::aConverterThatEndedWhileIdleIsReplaced()
{
    const qint64 self = QCoreApplication::applicationPid();
    QVERIFY(tool(QStringLiteral("pdftotext"), {}, SystemFun().htmlToPdf(QStringLiteral("<p>one page</p>")))
                .contains("one page"));
    const QList<ConverterProcesses::Process> killed = ConverterProcesses::of(self);
    QVERIFY(!killed.isEmpty());
    for (const ConverterProcesses::Process &process : killed)
        QCOMPARE(::kill(pid_t(process.pid), SIGKILL), 0);
    for (const ConverterProcesses::Process &process : killed)
        QTRY_VERIFY(ConverterProcesses::endedNotReaped(process.pid));
    for (int i = 0; i < killed.size(); ++i)
        QVERIFY(tool(QStringLiteral("pdftotext"), {}, SystemFun().htmlToPdf(QStringLiteral("<p>next page</p>")))
                    .contains("next page"));
    for (const ConverterProcesses::Process &process : killed)
        QVERIFY2(!ConverterProcesses::exists(process.pid), qPrintable(QString::number(process.pid)));
}

// Conversions run in converter processes of the program at hand: this test program is one.
CONVERTER_TEST_MAIN(tst_SystemFun)

#include "tst_SystemFun.moc"
