#include "HttpConnectionHandler.h"

#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpResponse.h"
#include "NativeSocket.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QSettings>
#include <QSslSocket>
#include <QTcpSocket>

#include <exception>

namespace {

const QByteArray g_entityTooLarge = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
const QByteArray g_badRequest = "HTTP/1.1 400 bad request\r\nConnection: close\r\n\r\n400 bad request\r\n";

// The whole of one request (line, headers and body) must arrive within this many read
// time-outs, so a client that sends one byte just before each time-out cannot hold a thread
// for hours. With the default of 10 s that is one minute, enough for the largest upload on a
// slow link.
const int g_requestDeadlineFactor = 6;
// After a refusal or a closing reply the server goes on reading, and discarding, what the
// client still sends, so that closing does not reset the connection and destroy the reply
// before the client has read it; but only this much and only this long.
const qint64 g_drainLimitBytes = 1024 * 1024;
const int g_drainLimitMs = 2000;

} // namespace

HttpConnectionHandler::HttpConnectionHandler(QSettings *settings, HttpRequestHandler *requestHandler,
                                             const QSslConfiguration *sslConfiguration)
    : QThread(), m_settings(settings), m_requestHandler(requestHandler)
{
    createSocket(sslConfiguration);
    moveToThread(this);
    m_socket->moveToThread(this);
    m_readTimer.moveToThread(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnectionHandler::read);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnectionHandler::disconnected);
    connect(&m_readTimer, &QTimer::timeout, this, &HttpConnectionHandler::readTimeout);
    m_readTimer.setSingleShot(true);
    m_timerClock.start();
    start();
    // The thread's event loop takes a descriptor as the thread starts, and a thread that cannot
    // get one ends the program: the pool checked for free descriptors just before, so the
    // thread takes its own before anything else is handed out. A thread that could not be
    // created at all (start() logged why) is not waited for.
    if (isRunning() && !m_started.tryAcquire(1, 10000))
        qWarning("HttpConnectionHandler (%p): thread slow to start", static_cast<void *>(this));
}

HttpConnectionHandler::~HttpConnectionHandler()
{
    quit();
    wait();
    delete m_currentRequest;
    delete m_socket;
}

HttpConnectionHandler::State HttpConnectionHandler::state() const
{
    QMutexLocker locker(&m_stateLock);
    return m_state;
}

bool HttpConnectionHandler::isBusy() const
{
    QMutexLocker locker(&m_stateLock);
    return m_state.phase != Phase::idle;
}

qint64 HttpConnectionHandler::monotonicMs() { return QDeadlineTimer::current().deadline(); }

void HttpConnectionHandler::startConnection(qint64 now)
{
    ++m_state.handOut;
    m_state.phase = Phase::waitingForHead;
    m_state.requestSince = m_state.phaseSince = now;
    m_state.bodyBytes = 0;
}

bool HttpConnectionHandler::handOut(qint64 now)
{
    QMutexLocker locker(&m_stateLock);
    if (m_state.phase != Phase::idle)
        return false;
    startConnection(now);
    return true;
}

void HttpConnectionHandler::setBusy()
{
    handOut(monotonicMs());
}

bool HttpConnectionHandler::takeOver(qint64 now, const std::function<bool(const State &)> &mayGiveWay)
{
    QMutexLocker locker(&m_stateLock);
    if (m_state.phase == Phase::idle || !mayGiveWay(m_state))
        return false;
    startConnection(now);
    return true;
}

bool HttpConnectionHandler::enter(Phase phase)
{
    QMutexLocker locker(&m_stateLock);
    if (m_state.handOut != m_connection)
        return false;
    if (m_state.phase == phase)
        return true;
    // The first request of a connection has been awaited since the accept; a later one since
    // its first byte. Only a wait is timed: the clock is not read for every reply.
    if (phase == Phase::waitingForHead)
        m_state.requestSince = m_state.phaseSince = monotonicMs();
    m_state.phase = phase;
    m_state.bodyBytes = 0;
    return true;
}

bool HttpConnectionHandler::reportBody(qint64 bytes)
{
    QMutexLocker locker(&m_stateLock);
    if (m_state.handOut != m_connection)
        return false;
    if (m_state.phase != Phase::readingBody) {
        m_state.phase = Phase::readingBody;
        m_state.phaseSince = monotonicMs();
    }
    m_state.bodyBytes = bytes;
    return true;
}

void HttpConnectionHandler::dropSuperseded()
{
    // The pool gave the thread to a newer connection, which is on its way: this one ends
    // unanswered, and nothing that its socket reports touches the thread's state.
    m_active = false;
    m_socket->abort();
    stopReadTimer();
    m_draining = false;
    delete m_currentRequest;
    m_currentRequest = nullptr;
}

bool HttpConnectionHandler::finish(int timeoutMs)
{
    quit();
    return wait(static_cast<unsigned long>(qMax(0, timeoutMs)));
}

void HttpConnectionHandler::createSocket(const QSslConfiguration *sslConfiguration)
{
    if (sslConfiguration) {
        QSslSocket *sslSocket = new QSslSocket();
        sslSocket->setSslConfiguration(*sslConfiguration);
        m_socket = sslSocket;
        m_encrypted = true;
        qDebug("HttpConnectionHandler (%p): SSL is enabled", static_cast<void *>(this));
    } else {
        m_socket = new QTcpSocket();
    }
}

void HttpConnectionHandler::run()
{
    m_started.release();
    try {
        exec();
    } catch (...) {
        qCritical("HttpConnectionHandler (%p): an uncatched exception occured in the thread",
                  static_cast<void *>(this));
    }
    // Whatever the thread held goes with it: a half-read upload leaves no file behind.
    m_readTimer.stop();
    delete m_currentRequest;
    m_currentRequest = nullptr;
    m_socket->abort();
    m_active = false;
}

void HttpConnectionHandler::readSettings()
{
    // Copied once per connection: the settings object is shared by every thread and must be
    // read under the lock, which would otherwise be taken several times for every request.
    QMutexLocker locker(&HttpRequest::settingsLock());
    m_readTimeout = m_settings->value("readTimeout", 10000).toInt();
    m_maxRequestSize = m_settings->value("maxRequestSize", 16000).toInt();
    m_maxMultiPartSize = m_settings->value("maxMultiPartSize", 1000000).toInt();
}

void HttpConnectionHandler::handleConnection(tSocketDescriptor socketDescriptor)
{
    // Descriptors arrive in the order in which the pool handed them out.
    ++m_received;
    {
        QMutexLocker locker(&m_stateLock);
        if (m_received < m_state.handOut) {
            // The pool gave this thread's place to a newer connection before this one was even
            // taken: the newer one follows in the queue.
            locker.unlock();
            NativeSocket::closeDescriptor(socketDescriptor);
            return;
        }
        // Delivered without a hand-out: the thread takes it all the same.
        if (m_received > m_state.handOut)
            startConnection(monotonicMs());
    }
    // The socket is reused: drop whatever it still holds of its previous connection, unsent
    // output included, before it takes the new descriptor (a slow connection whose place the
    // pool gave away is still open). What the old socket reports while it goes (disconnected)
    // concerns neither the new connection nor the thread's state. Only a connection attempt
    // resets a TLS socket's mode, without it the next handshake would be refused as "non-plain".
    m_active = false;
    m_socket->abort();
    m_socket->connectToHost(QString(), 0, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    m_socket->abort();
    stopReadTimer();
    delete m_currentRequest;
    m_currentRequest = nullptr;
    m_draining = false;
    m_drainedBytes = 0;
    m_idlePending = false;
    m_connection = m_received;

    if (!m_socket->setSocketDescriptor(socketDescriptor)) {
        qCritical("HttpConnectionHandler (%p): cannot initialize socket: %s", static_cast<void *>(this),
                  m_socket->errorString().toLocal8Bit().constData());
        // Nobody else owns the descriptor now; left open it would leak, and a handler left busy
        // would never serve again.
        NativeSocket::closeDescriptor(socketDescriptor);
        enter(Phase::idle);
        return;
    }
    m_active = true;
    readSettings();
    // Replies go out as a header block and body pieces; waiting for the client's
    // acknowledgement of one before sending the next would cost up to 40 ms per request.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    if (m_encrypted) {
        qDebug("HttpConnectionHandler (%p): Starting encryption", static_cast<void *>(this));
        static_cast<QSslSocket *>(m_socket)->startServerEncryption();
    }
    armReadTimer(m_readTimeout);
}

void HttpConnectionHandler::armReadTimer(int timeoutMs)
{
    m_readDeadline = m_timerClock.elapsed() + timeoutMs;
    // Restarting the timer for every request costs a timer id and a place in the event loop's
    // list each time; a timer that fires no later than the new deadline is left running, and
    // is set again for the rest of the time when it fires.
    if (!m_readTimer.isActive() || m_readTimer.remainingTime() > timeoutMs)
        m_readTimer.start(timeoutMs);
}

void HttpConnectionHandler::disarmReadTimer() { m_readDeadline = -1; }

void HttpConnectionHandler::stopReadTimer()
{
    m_readTimer.stop();
    m_readDeadline = -1;
}

void HttpConnectionHandler::readTimeout()
{
    if (m_readDeadline < 0)
        return;
    const qint64 left = m_readDeadline - m_timerClock.elapsed();
    if (left > 0) {
        m_readTimer.start(static_cast<int>(left));
        return;
    }
    m_readDeadline = -1;
    if (m_draining || m_socket->state() == QAbstractSocket::ClosingState) {
        m_socket->abort();
    } else {
        m_socket->flush();
        m_socket->disconnectFromHost();
        // A close waits for the output to go out; a client that reads nothing gets one more
        // period, then the connection is cut.
        if (m_socket->state() == QAbstractSocket::ClosingState)
            armReadTimer(m_readTimeout);
    }
    delete m_currentRequest;
    m_currentRequest = nullptr;
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        disconnected();
}

void HttpConnectionHandler::read()
{
    if (!m_active)
        return;
    ++m_readDepth;
    while (m_active && m_socket->state() == QAbstractSocket::ConnectedState && m_socket->bytesAvailable() > 0) {
        if (m_draining) {
            m_drainedBytes += m_socket->readAll().size();
            if (m_drainedBytes > g_drainLimitBytes)
                m_socket->abort();
            break;
        }
        if (!m_currentRequest) {
            if (!enter(Phase::waitingForHead)) {
                dropSuperseded();
                break;
            }
            m_currentRequest = new HttpRequest(m_maxRequestSize, m_maxMultiPartSize);
            m_requestClock.start();
        }
        while (m_socket->bytesAvailable() > 0 && m_currentRequest->getStatus() != HttpRequest::complete
               && m_currentRequest->getStatus() != HttpRequest::aborted) {
            m_currentRequest->readFromSocket(m_socket);
            if (m_currentRequest->getStatus() == HttpRequest::readingBody) {
                // Each piece of the body earns a new read time-out, up to the request's deadline.
                const qint64 timeout = m_readTimeout;
                const qint64 left = timeout * g_requestDeadlineFactor - m_requestClock.elapsed();
                armReadTimer(static_cast<int>(qBound<qint64>(0, left, timeout)));
            }
        }
        const HttpRequest::RequestStatus status = m_currentRequest->getStatus();
        // Until the request is complete the pool may give the thread to a newer connection:
        // then this one is dropped unserved.
        bool mine = true;
        if (status == HttpRequest::readingBody)
            mine = reportBody(m_currentRequest->getBodyBytesReceived());
        else if (status == HttpRequest::complete || status == HttpRequest::aborted)
            mine = enter(Phase::serving);
        if (!mine) {
            dropSuperseded();
            break;
        }
        if (status == HttpRequest::aborted) {
            const bool badFraming = m_currentRequest->getAbortCode() == 400;
            delete m_currentRequest;
            m_currentRequest = nullptr;
            refuse(badFraming ? g_badRequest : g_entityTooLarge);
            break;
        }
        if (status != HttpRequest::complete)
            break;
        serveRequest();
    }
    --m_readDepth;
    if (m_readDepth == 0 && m_idlePending)
        becomeIdle();
}

void HttpConnectionHandler::serveRequest()
{
    disarmReadTimer();
    const bool close = m_currentRequest->closeAfterReply();
    bool failed = false;
    bool cut = false;
    {
        HttpResponse response(m_socket);
        response.adaptTo(*m_currentRequest);
        // A client that stops reading holds the thread no longer than one that stops sending.
        response.setWriteTimeout(m_readTimeout);
        bool threw = false;
        try {
            m_requestHandler->service(*m_currentRequest, response);
        } catch (...) {
            qCritical("HttpConnectionHandler (%p): An uncatched exception occured in the request handler",
                      static_cast<void *>(this));
            threw = true;
        }
        if (threw && !response.hasSentHeaders()) {
            // Nothing went out yet: the client learns that the call failed, and nothing the
            // handler set (a length, a cookie) goes with the empty reply.
            response.getHeaders().clear();
            response.getCookies().clear();
            response.setStatus(500, "Internal error");
            response.write(QByteArray(), true);
        } else if (threw && !response.hasSentLastPart()) {
            // A piece went out: ending the reply properly would pass it off as complete. The
            // connection is closed without the end of the body, so the client sees it cut.
            cut = true;
        } else if (!response.hasSentLastPart()) {
            response.write(QByteArray(), true);
        }
        failed = response.hasWriteFailed();
    }
    delete m_currentRequest;
    m_currentRequest = nullptr;

    if (failed) {
        // A reply cut short cannot be followed by another on the same connection.
        m_socket->abort();
        return;
    }
    if (cut) {
        closeAfterReply();
        return;
    }
    if (m_socket->state() == QAbstractSocket::ClosingState) {
        // The reply ended the connection itself; the read time-out cuts a close that hangs.
        armReadTimer(m_readTimeout);
        return;
    }
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (close) {
        closeAfterReply();
    } else if (enter(Phase::keptAlive)) {
        armReadTimer(m_readTimeout);
    } else {
        dropSuperseded();
    }
}

bool HttpConnectionHandler::flushWithin(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    m_socket->flush();
    while (m_socket->state() == QAbstractSocket::ConnectedState && m_socket->bytesToWrite() > 0) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || !m_socket->waitForBytesWritten(static_cast<int>(left)))
            return false;
    }
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

void HttpConnectionHandler::refuse(const QByteArray &reply)
{
    disarmReadTimer();
    m_socket->write(reply);
    closeAfterReply();
}

void HttpConnectionHandler::closeAfterReply()
{
    const int timeout = m_readTimeout;
    if (!flushWithin(timeout)) {
        m_socket->abort();
        return;
    }
    if (m_encrypted) {
        // TLS has its own orderly end (close_notify), which a half-closed descriptor would cut.
        m_socket->disconnectFromHost();
        if (m_socket->state() == QAbstractSocket::ClosingState)
            armReadTimer(qMin(timeout, g_drainLimitMs));
        return;
    }
    // Half-close: the client reads the reply and then the end of the stream, while the bytes it
    // is still sending are read and dropped instead of turning the close into a reset.
    if (!NativeSocket::shutdownWrite(m_socket->socketDescriptor())) {
        m_socket->disconnectFromHost();
        return;
    }
    m_draining = true;
    m_drainedBytes = 0;
    m_socket->readAll();
    armReadTimer(qMin(timeout, g_drainLimitMs));
}

void HttpConnectionHandler::disconnected()
{
    if (m_readDepth > 0) {
        // Reached from a wait inside read(): finish there, not under its feet.
        m_idlePending = true;
        return;
    }
    becomeIdle();
}

void HttpConnectionHandler::becomeIdle()
{
    m_idlePending = false;
    if (!m_active)
        return;
    m_active = false;
    m_socket->close();
    stopReadTimer();
    m_draining = false;
    // A request still being read (an upload cut off) goes now, with its temporary files.
    delete m_currentRequest;
    m_currentRequest = nullptr;
    // A thread whose place was given to a newer connection stays busy for that one.
    enter(Phase::idle);
}
