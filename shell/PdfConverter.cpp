#include "PdfConverter.h"

#include "ConfinedTextDocument.h"
#include "WorkerProcess.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTemporaryFile>
#include <QThread>

namespace {

const char WorkerArgument[] = "--pdf-worker";

QByteArray encodeRequest(const QString &html, const QString &documentRoot)
{
    QByteArray request;
    QDataStream out(&request, QIODevice::WriteOnly);
    out << documentRoot << html;
    return request;
}

QByteArray answerRequest(const QByteArray &request)
{
    QDataStream in(request);
    QString documentRoot, html;
    in >> documentRoot >> html;
    if (in.status() != QDataStream::Ok)
        return QByteArray();
    const QByteArray pdf = PdfConverter::convertHere(html, documentRoot);
    // Layout posts events of its own; with no event loop here they would pile up from one
    // conversion to the next.
    QCoreApplication::sendPostedEvents();
    return pdf;
}

} // namespace

std::atomic<int> PdfConverter::s_timeLimitMs{PdfConverter::DefaultTimeLimitMs};

PdfConverter &PdfConverter::instance()
{
    static PdfConverter *const converter = new PdfConverter;
    return *converter;
}

PdfConverter::PdfConverter()
{
    for (int i = 0; i < processCount(); ++i) {
        m_processes.push_back(std::make_unique<WorkerProcess>(QStringList{QLatin1String(WorkerArgument)}));
        m_idle.append(m_processes.back().get());
    }
}

int PdfConverter::processCount()
{
    // Half the cores at most: runaway pages must leave the rest of the machine to polling and
    // the other requests.
    return qBound(1, QThread::idealThreadCount() / 2, 4);
}

bool PdfConverter::isWorkerCall(int argc, char *argv[])
{
    return argc == 2 && qstrcmp(argv[1], WorkerArgument) == 0;
}

int PdfConverter::runWorker(int argc, char *argv[])
{
    // No window is ever shown; the fonts are all a conversion needs of the GUI.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    return WorkerProcess::serve(answerRequest, MemoryLimitBytes);
}

QByteArray PdfConverter::convert(const QString &html, const QString &documentRoot)
{
    const int limit = timeLimitMs();
    const QDeadlineTimer deadline(limit);
    WorkerProcess *worker = take(deadline);
    if (!worker)
        return QByteArray();
    QByteArray pdf;
    const WorkerProcess::Outcome outcome =
        worker->call(encodeRequest(html, documentRoot), &pdf, int(qMax<qint64>(0, deadline.remainingTime())));
    giveBack(worker);
    switch (outcome) {
    case WorkerProcess::Outcome::Answered:
        break;
    case WorkerProcess::Outcome::TimedOut:
        qWarning("PdfConverter: conversion stopped after %d ms", limit);
        return QByteArray();
    case WorkerProcess::Outcome::Died:
        qWarning("PdfConverter: the converter process ended during a conversion");
        return QByteArray();
    case WorkerProcess::Outcome::NotStarted:
        qWarning("PdfConverter: a converter process %s", qPrintable(worker->failure()));
        return QByteArray();
    case WorkerProcess::Outcome::Closed:
        qWarning("PdfConverter: conversion stopped, the program ends");
        return QByteArray();
    }
    if (!pdf.startsWith("%PDF"))
        return QByteArray();
    return pdf;
}

WorkerProcess *PdfConverter::take(const QDeadlineTimer &deadline)
{
    QMutexLocker locker(&m_mutex);
    while (m_idle.isEmpty() && !m_closed) {
        if (!m_freed.wait(&m_mutex, deadline) && m_idle.isEmpty()) {
            qWarning("PdfConverter: no converter free within %d ms", timeLimitMs());
            return nullptr;
        }
    }
    if (m_closed) {
        qWarning("PdfConverter: conversion refused, the program ends");
        return nullptr;
    }
    return m_idle.takeLast();
}

void PdfConverter::shutDown()
{
    {
        QMutexLocker locker(&m_mutex);
        m_closed = true;
        m_freed.wakeAll();
    }
    // Each returns once its child is reaped; a conversion under way in it answers at once.
    for (const std::unique_ptr<WorkerProcess> &process : m_processes)
        process->shutDown();
}

void PdfConverter::giveBack(WorkerProcess *worker)
{
    QMutexLocker locker(&m_mutex);
    // A process that is running saves the next caller its start.
    if (worker->childPid() != 0)
        m_idle.append(worker);
    else
        m_idle.prepend(worker);
    m_freed.wakeOne();
}

QByteArray PdfConverter::convertHere(const QString &html, const QString &documentRoot)
{
    QTemporaryFile file;
    if (!file.open()) {
        qWarning("PdfConverter: cannot open a temporary file for the PDF");
        return QByteArray();
    }
    ConfinedTextDocument document(documentRoot);
    document.setHtml(html);
    {
        QPdfWriter writer(&file);
        writer.setResolution(96);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(0, 4, 0, 4), QPageLayout::Millimeter);
        const QRect page = writer.pageLayout().paintRectPixels(96);
        document.setPageSize(QSizeF(page.right() - page.left() + 1, page.bottom() - page.top() + 1));
        document.print(&writer);
    }
    if (!file.flush() || !file.seek(0)) {
        qWarning("PdfConverter: cannot read the PDF back");
        return QByteArray();
    }
    const QByteArray pdf = file.readAll();
    if (!pdf.startsWith("%PDF")) {
        qWarning("PdfConverter: the conversion wrote no PDF");
        return QByteArray();
    }
    return pdf;
}
