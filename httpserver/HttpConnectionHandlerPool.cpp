#include "HttpConnectionHandlerPool.h"

#include "HttpConnectionHandler.h"
#include "HttpRequest.h"
#include "NativeDescriptors.h"

#include <QAtomicInt>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSettings>
#include <QSslCertificate>
#include <QSslKey>
#include <QVector>

#include <algorithm>

namespace {

// At shutdown a handler thread gets this long beyond one read time-out to end: its socket waits
// are bounded by the read time-out, so a thread that takes longer is stuck in a request handler.
const int g_joinGraceMs = 2000;

// Descriptors that must stay free for a new handler thread to be started: the thread's own,
// and what its requests open (a database connection with its journal, a few uploads). More
// than uploads leave free (HttpRequest), so that the ones that the thread takes as it starts
// cannot go to the uploads of other threads in the meantime.
const int g_descriptorReserve = 64;

QAtomicInt g_handlersLeftRunning;

// A newcomer shows its request once it has sent the whole head and, where the head announces a
// body, this much of it (or all of a shorter one).
const int g_promptBodyBytes = 1024;

bool givesWay(const HttpConnectionHandler::State &state, qint64 now, const HttpConnectionHandlerPool::Bounds &bounds)
{
    switch (state.phase) {
    case HttpConnectionHandler::Phase::waitingForHead:
        return now - state.requestSince >= bounds.headMs;
    case HttpConnectionHandler::Phase::readingBody: {
        // As mod_reqtimeout's MinRate: after the grace time each second asks for its share of
        // bytes, so a body at a fair rate never falls behind, however long it takes.
        const qint64 judged = now - state.phaseSince - bounds.bodyGraceMs;
        return judged > 0 && state.bodyBytes * 1000 < qint64(bounds.bodyMinRate) * judged;
    }
    default:
        return false;
    }
}

} // namespace

HttpConnectionHandlerPool::Bounds HttpConnectionHandlerPool::s_bounds;

HttpConnectionHandlerPool::HttpConnectionHandlerPool(QSettings *settings, HttpRequestHandler *requestHandler)
    : QObject(), m_settings(settings), m_requestHandler(requestHandler),
      m_descriptorsShort(QtWarningMsg,
                         QStringLiteral("HttpConnectionHandlerPool: too few free descriptors for a new handler"),
                         QStringLiteral("HttpConnectionHandlerPool: too few free descriptors for a new handler, "
                                        "%1 more in the last %2 ms"))
{
    loadSslConfig();
    m_cleanupTimer.setInterval(setting("cleanupInterval", 1000).toInt());
    connect(&m_cleanupTimer, &QTimer::timeout, this, &HttpConnectionHandlerPool::cleanup);
    m_cleanupTimer.start();
}

HttpConnectionHandlerPool::~HttpConnectionHandlerPool()
{
    m_cleanupTimer.stop();
    const int timeout = setting("readTimeout", 10000).toInt() + g_joinGraceMs;
    QList<HttpConnectionHandler *> handlers;
    {
        QMutexLocker locker(&m_mutex);
        handlers.swap(m_pool);
    }
    // Ask every thread to end first, then wait for all of them under one deadline: a wait of
    // its own for each would add up, one bound per stuck thread, past what a service manager
    // allows before it kills the program.
    for (HttpConnectionHandler *handler : handlers)
        handler->quit();
    QElapsedTimer clock;
    clock.start();
    for (HttpConnectionHandler *handler : handlers)
        retire(handler, static_cast<int>(qMax<qint64>(0, timeout - clock.elapsed())), timeout);
    delete m_sslConfiguration;
    qDebug("HttpConnectionHandlerPool (%p): destroyed", static_cast<void *>(this));
}

QVariant HttpConnectionHandlerPool::setting(const QString &key, const QVariant &fallback) const
{
    QMutexLocker locker(&HttpRequest::settingsLock());
    return m_settings->value(key, fallback);
}

void HttpConnectionHandlerPool::retire(HttpConnectionHandler *handler, int waitMs, int boundMs)
{
    if (handler->finish(waitMs)) {
        delete handler;
        return;
    }
    // Destroying a running thread would end the program; leaving it costs only its memory.
    g_handlersLeftRunning.ref();
    qCritical("HttpConnectionHandlerPool: handler %p did not stop within %i ms, left running",
              static_cast<void *>(handler), boundMs);
}

bool HttpConnectionHandlerPool::anyHandlerLeftRunning() { return g_handlersLeftRunning.loadAcquire() != 0; }

int HttpConnectionHandlerPool::maxThreads() const
{
    return setting("maxThreads", 100).toInt();
}

HttpConnectionHandler *HttpConnectionHandlerPool::getConnectionHandler()
{
    const qint64 now = HttpConnectionHandler::monotonicMs();
    QMutexLocker locker(&m_mutex);
    for (HttpConnectionHandler *handler : qAsConst(m_pool)) {
        if (handler->handOut(now))
            return handler;
    }
    if (m_pool.count() >= maxThreads())
        return nullptr;
    if (!NativeDescriptors::haveFree(g_descriptorReserve)) {
        // A new thread needs descriptors of its own (its event loop's wake-up, a database,
        // uploads); a thread that cannot get them ends the program. The client waits for a
        // thread as if all were busy.
        m_descriptorsShort.report();
        return nullptr;
    }
    auto *handler = new HttpConnectionHandler(m_settings, m_requestHandler, m_sslConfiguration);
    handler->handOut(now);
    m_pool.append(handler);
    return handler;
}

bool HttpConnectionHandlerPool::showsRequest(const QByteArray &firstBytes) const
{
    // Encrypted bytes do not show the request: there the first ones have to do.
    if (m_sslConfiguration)
        return !firstBytes.isEmpty();
    return HttpRequest::isPromptStart(firstBytes, g_promptBodyBytes, newcomerBytes);
}

HttpConnectionHandler *HttpConnectionHandlerPool::takeOver()
{
    const qint64 now = HttpConnectionHandler::monotonicMs();
    const Bounds bounds = s_bounds;
    const auto mayGiveWay = [now, &bounds](const HttpConnectionHandler::State &state) {
        return givesWay(state, now, bounds);
    };
    QMutexLocker locker(&m_mutex);
    // The connection that has waited longest for its request gives way first. The states move
    // on meanwhile: each take-over asks again under the handler's lock.
    QVector<QPair<qint64, HttpConnectionHandler *>> candidates;
    for (HttpConnectionHandler *handler : qAsConst(m_pool)) {
        const HttpConnectionHandler::State state = handler->state();
        if (mayGiveWay(state))
            candidates.append(qMakePair(state.requestSince, handler));
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &candidate : qAsConst(candidates)) {
        if (candidate.second->takeOver(now, mayGiveWay))
            return candidate.second;
    }
    return nullptr;
}

void HttpConnectionHandlerPool::cleanup()
{
    const int maxIdleHandlers = setting("minThreads", 1).toInt();
    const int timeout = setting("readTimeout", 10000).toInt() + g_joinGraceMs;
    HttpConnectionHandler *retired = nullptr;
    {
        QMutexLocker locker(&m_mutex);
        int idleCounter = 0;
        const QList<HttpConnectionHandler *> snapshot = m_pool;
        for (HttpConnectionHandler *handler : snapshot) {
            if (handler->isBusy())
                continue;
            if (++idleCounter > maxIdleHandlers) {
                m_pool.removeOne(handler);
                retired = handler;
                break;
            }
        }
    }
    // An idle handler ends at once; the wait stays outside the mutex all the same.
    if (retired)
        retire(retired, timeout, timeout);
}

QString HttpConnectionHandlerPool::resolvedFileName(const QString &name) const
{
    if (QDir::isRelativePath(name) && m_settings->format() != QSettings::NativeFormat) {
        const QFileInfo configFile(m_settings->fileName());
        return QFileInfo(configFile.absolutePath(), name).absoluteFilePath();
    }
    return name;
}

void HttpConnectionHandlerPool::loadSslConfig()
{
    QString sslKeyFileName = setting("sslKeyFile", "").toString();
    QString sslCertFileName = setting("sslCertFile", "").toString();
    if (sslKeyFileName.isEmpty() || sslCertFileName.isEmpty())
        return;
    sslKeyFileName = resolvedFileName(sslKeyFileName);
    sslCertFileName = resolvedFileName(sslCertFileName);

    QFile certFile(sslCertFileName);
    if (!certFile.open(QIODevice::ReadOnly)) {
        qCritical("HttpConnectionHandlerPool: cannot open sslCertFile %s", qPrintable(sslCertFileName));
        return;
    }
    QSslCertificate certificate(&certFile, QSsl::Pem);
    certFile.close();
    // A file that opens but does not parse still switches TLS on, so that the server never
    // falls back to plain text; every handshake then fails, and this line says why.
    if (certificate.isNull())
        qCritical("HttpConnectionHandlerPool: sslCertFile %s holds no valid certificate",
                  qPrintable(sslCertFileName));

    QFile keyFile(sslKeyFileName);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        qCritical("HttpConnectionHandlerPool: cannot open sslKeyFile %s", qPrintable(sslKeyFileName));
        return;
    }
    QSslKey sslKey(&keyFile, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
    keyFile.close();
    if (sslKey.isNull())
        qCritical("HttpConnectionHandlerPool: sslKeyFile %s holds no valid RSA private key",
                  qPrintable(sslKeyFileName));

    m_sslConfiguration = new QSslConfiguration();
    m_sslConfiguration->setLocalCertificate(certificate);
    m_sslConfiguration->setPrivateKey(sslKey);
    m_sslConfiguration->setPeerVerifyMode(QSslSocket::VerifyNone);
    // Only protocols still considered sound: TLS 1.2 and later.
    m_sslConfiguration->setProtocol(QSsl::TlsV1_2OrLater);
    qDebug("HttpConnectionHandlerPool: SSL settings loaded");
}
