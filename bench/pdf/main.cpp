// HTML-to-PDF conversions as "saveFile.html" makes them: a 1-page and a 10-page report, first one
// conversion at a time on one thread, then on 8 threads at once, each way: in the calling thread
// (the anchor) and through the program's reused converter processes. Prints the latency of one
// conversion (p50, p90), the throughput, and for the converter processes the ratio of their p50
// latency and of their throughput to the anchor measured in the same run. Eight threads share
// the few converter processes, so their throughput is bounded by design.
//
//   pdf_bench [conversions per thread]   (default 40)
#include "PdfConverter.h"
#include "SystemFun.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

QString report(int pages)
{
    // About 45 table rows fill one A4 page at the default font.
    QString html = QStringLiteral("<html><body><h2>Archive report</h2><table border=\"1\" cellspacing=\"0\">"
                                  "<tr><th>Time</th><th>Device</th><th>Parameter</th><th>Value</th><th>Unit</th></tr>");
    for (int row = 0; row < pages * 45; ++row) {
        html += QStringLiteral("<tr><td>2026-12-10 13:%1:00</td><td>Licznik %2</td><td>Moc czynna \u0142\u0105czna</td>"
                               "<td>%3</td><td>kW</td></tr>")
                    .arg(row % 60, 2, 10, QLatin1Char('0'))
                    .arg(row % 7)
                    .arg(row * 1.25, 0, 'f', 2);
    }
    return html + QStringLiteral("</table></body></html>");
}

struct Result
{
    double p50 = 0, p90 = 0, perSecond = 0;
    qint64 bytes = 0;
};

Result run(const QString &html, bool inProcess, int threads, int perThread)
{
    std::vector<double> latencies;
    std::mutex lock;
    std::atomic<qint64> bytes{0};
    std::atomic<int> failures{0};
    QElapsedTimer wall;
    wall.start();
    std::vector<QThread *> workers;
    for (int t = 0; t < threads; ++t) {
        workers.push_back(QThread::create([&] {
            std::vector<double> mine;
            for (int i = 0; i < perThread; ++i) {
                QElapsedTimer one;
                one.start();
                const QByteArray pdf = inProcess ? PdfConverter::convertHere(html, QString())
                                                 : SystemFun::convertHtmlToPdf(html, QString());
                mine.push_back(one.nsecsElapsed() / 1e6);
                if (pdf.isEmpty())
                    ++failures;
                bytes += pdf.size();
            }
            std::lock_guard<std::mutex> guard(lock);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        }));
        workers.back()->start();
    }
    // Connection threads are QThreads too: Qt's text layout starts timers in its thread.
    for (QThread *worker : workers) {
        worker->wait();
        delete worker;
    }
    const double seconds = wall.nsecsElapsed() / 1e9;
    if (failures)
        std::fprintf(stderr, "# %d conversions failed\n", failures.load());
    std::sort(latencies.begin(), latencies.end());
    Result result;
    result.p50 = latencies[latencies.size() / 2];
    result.p90 = latencies[latencies.size() * 9 / 10];
    result.perSecond = latencies.size() / seconds;
    result.bytes = bytes / qint64(latencies.size());
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    // The benchmark is its own converter process, as each program is.
    if (PdfConverter::isWorkerCall(argc, argv))
        return PdfConverter::runWorker(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int perThread = argc > 1 ? std::max(1, atoi(argv[1])) : 40;
    std::printf("# %d cores; %d conversions per thread; %d converter processes\n", QThread::idealThreadCount(), perThread,
                PdfConverter::processCount());
    std::printf("%-6s %-8s %-10s %9s %9s %12s %10s %10s %10s\n", "pages", "threads", "way", "p50_ms", "p90_ms",
                "per_second", "pdf_bytes", "p50_ratio", "rate_ratio");
    for (int pages : {1, 10}) {
        const QString html = report(pages);
        for (int threads : {1, 8}) {
            run(html, true, threads, 2); // fonts and caches warm, converter processes started
            run(html, false, threads, 2);
            const Result anchor = run(html, true, threads, perThread);
            const Result worker = run(html, false, threads, perThread);
            std::printf("%-6d %-8d %-10s %9.1f %9.1f %12.1f %10lld %10s %10s\n", pages, threads, "in-thread", anchor.p50,
                        anchor.p90, anchor.perSecond, static_cast<long long>(anchor.bytes), "1.00", "1.00");
            std::printf("%-6d %-8d %-10s %9.1f %9.1f %12.1f %10lld %10.2f %10.2f\n", pages, threads, "converter", worker.p50,
                        worker.p90, worker.perSecond, static_cast<long long>(worker.bytes), worker.p50 / anchor.p50,
                        worker.perSecond / anchor.perSecond);
        }
    }
    return 0;
}
