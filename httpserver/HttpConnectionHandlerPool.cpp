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

} // namespace

int HttpConnectionHandlerPool::s_headWaitBoundMs = 1000;

HttpConnectionHandlerPool::HttpConnectionHandlerPool(QSettings *settings, HttpRequestHandler *requestHandler)
    : QObject(), m_settings(settings), m_requestHandler(requestHandler)
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

HttpConnectionHandler *HttpConnectionHandlerPool::getConnectionHandler(const QHostAddress &peer)
{
    const qint64 now = HttpConnectionHandler::monotonicMs();
    const qint64 waitedEnough = now - s_headWaitBoundMs;
    QMutexLocker locker(&m_mutex);
    const int maxConnectionHandlers = setting("maxThreads", 100).toInt();
    HttpConnectionHandler *freeHandler = nullptr;
    // Of the connections that wait for their request heads: how many come from the new client's
    // address, and which one has waited longest past the bound.
    HttpConnectionHandler *longest = nullptr;
    qint64 longestSince = 0;
    int waitingOfPeer = 0;
    for (HttpConnectionHandler *handler : qAsConst(m_pool)) {
        if (!handler->isBusy()) {
            if (!freeHandler)
                freeHandler = handler;
            continue;
        }
        QHostAddress from;
        const qint64 since = handler->headWaitingSince(&from);
        if (since < 0)
            continue;
        if (from == peer)
            ++waitingOfPeer;
        if (since <= waitedEnough && (!longest || since < longestSince)) {
            longest = handler;
            longestSince = since;
        }
    }

    // Slow clients that reconnect as fast as they are dropped, or as their read time-outs end,
    // would otherwise take every thread that comes free, all at once.
    if (waitingOfPeer >= qMax(1, maxConnectionHandlers / 2))
        return nullptr;
    if (freeHandler) {
        freeHandler->setBusy();
        freeHandler->assign(peer, now);
        return freeHandler;
    }
    if (m_pool.count() < maxConnectionHandlers) {
        if (NativeDescriptors::haveFree(g_descriptorReserve)) {
            freeHandler = new HttpConnectionHandler(m_settings, m_requestHandler, m_sslConfiguration);
            freeHandler->setBusy();
            freeHandler->assign(peer, now);
            m_pool.append(freeHandler);
            return freeHandler;
        }
        // A new thread needs descriptors of its own (its event loop's wake-up, a database,
        // uploads); a thread that cannot get them ends the program. The client gets the busy
        // reply, unless a slow connection's thread can be had.
        qWarning("HttpConnectionHandlerPool: too few free descriptors for a new handler");
    }
    if (longest && longest->takeOver(peer, now, waitedEnough))
        return longest;
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
