#include "HttpListener.h"

#include "HttpConnectionHandlerPool.h"
#include "HttpRequest.h"
#include "NativeDescriptors.h"
#include "NativeSocket.h"

#include <QMutexLocker>
#include <QSettings>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

const QByteArray g_tooManyConnections =
    "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";

// A refused client may already be sending its request: the listener reads and drops this much
// of it, for at most this long, so that the close does not reset the connection and destroy
// the 503 reply before the client has read it.
const qint64 g_drainLimitBytes = 64 * 1024;
const int g_drainLimitMs = 2000;

// After a failed accept (no descriptor left), the pause before the next try.
const int g_acceptRetryMs = 100;

// The system's queue of connections that the program has not accepted yet. Qt asks for 50, which
// a burst of clients overflows: the system then drops their handshakes, and each waits seconds
// for its retry. Linux takes at most net.core.somaxconn.
const int g_listenBacklog = 4096;

// How often connections that wait for a thread are looked at again.
const int g_newcomerCheckMs = 10;

} // namespace

HttpListener::HttpListener(QSettings *settings, HttpRequestHandler *requestHandler, QObject *parent)
    : QTcpServer(parent), m_settings(settings), m_requestHandler(requestHandler),
      m_refusals(QtDebugMsg, QStringLiteral("HttpListener: Too many incoming connections"),
                 QStringLiteral("HttpListener: Too many incoming connections, %1 more refused in the last %2 ms"))
{
    qRegisterMetaType<tSocketDescriptor>("tSocketDescriptor");
    // Every connection, its thread and its uploads take descriptors: the soft limit (often
    // 1024) is raised to the hard one once, before the first connection.
    static const bool raised = NativeDescriptors::raiseLimit();
    if (!raised)
        qWarning("HttpListener: cannot raise the limit of open files");
    // When no descriptor is left for an accepted connection, the server stops accepting; it
    // tries again a moment later, when connections have ended and their descriptors are free.
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        qWarning("HttpListener: cannot accept a connection (%i): %s", int(error), qPrintable(errorString()));
        QTimer::singleShot(g_acceptRetryMs, this, [this]() {
            if (isListening())
                resumeAccepting();
        });
    });
    m_newcomerTimer.setInterval(g_newcomerCheckMs);
    connect(&m_newcomerTimer, &QTimer::timeout, this, [this]() { seatNewcomers(true, 0); });
    listen();
}

HttpListener::~HttpListener()
{
    close();
    qDebug("HttpListener: destroyed");
}

void HttpListener::listen()
{
    if (!m_pool)
        m_pool = new HttpConnectionHandlerPool(m_settings, m_requestHandler);
    QString host;
    int port = 0;
    {
        QMutexLocker locker(&HttpRequest::settingsLock());
        host = m_settings->value("host").toString();
        port = m_settings->value("port").toInt();
    }
    const QHostAddress address = host.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(host);
    QTcpServer::listen(address, static_cast<quint16>(port & 0xFFFF));
    if (isListening()) {
        if (!NativeSocket::setListenBacklog(socketDescriptor(), g_listenBacklog))
            qWarning("HttpListener: cannot lengthen the queue of incoming connections");
        qDebug("HttpListener: Listening on port %i", port);
    } else
        qCritical("HttpListener: Cannot bind on port %i: %s", port, errorString().toLocal8Bit().constData());
}

void HttpListener::close()
{
    QTcpServer::close();
    m_newcomerTimer.stop();
    for (const Newcomer &newcomer : qAsConst(m_newcomers))
        NativeSocket::closeDescriptor(newcomer.descriptor);
    m_newcomers.clear();
    qDebug("HttpListener: closed");
    delete m_pool;
    m_pool = nullptr;
}

void HttpListener::incomingConnection(tSocketDescriptor socketDescriptor)
{
    if (!m_pool) {
        refuseBusy(socketDescriptor);
        return;
    }
    // Nobody waits: the newcomer takes a free thread at once, without a look at what it sent.
    bool threadsFree = true;
    if (m_newcomers.isEmpty()) {
        if (HttpConnectionHandler *handler = m_pool->getConnectionHandler()) {
            handOver(handler, socketDescriptor);
            return;
        }
        threadsFree = false;
    }
    // A burst outruns the threads only for the moment that they take to serve it: the newcomers
    // wait here, within the pool's bounds of their number and of their wait. When as many wait as
    // may, the one that has waited longest without showing its request makes room: a flood of
    // silent connections never keeps out a client that has sent its request.
    if (m_newcomers.size() >= HttpConnectionHandlerPool::bounds().newcomersWaiting) {
        const auto silent = std::find_if(m_newcomers.begin(), m_newcomers.end(),
                                         [](const Newcomer &newcomer) { return !newcomer.shown; });
        if (silent == m_newcomers.end()) {
            refuseBusy(socketDescriptor);
            return;
        }
        refuseBusy(silent->descriptor);
        m_newcomers.erase(silent);
    }
    m_newcomers.append(
        Newcomer{socketDescriptor,
                 HttpConnectionHandler::monotonicMs() + HttpConnectionHandlerPool::bounds().newcomerWaitMs, false});
    // The earlier newcomers are looked at again on the next round, not at every arrival of a burst.
    seatNewcomers(threadsFree, m_newcomers.size() - 1);
}

void HttpListener::seatNewcomers(bool threadsFree, int lookFrom)
{
    for (int i = lookFrom; i < m_newcomers.size();) {
        Newcomer &newcomer = m_newcomers[i];
        QByteArray firstBytes;
        if (!newcomer.shown &&
            !NativeSocket::peek(newcomer.descriptor, &firstBytes, HttpConnectionHandlerPool::newcomerBytes)) {
            // The client has given up.
            NativeSocket::closeDescriptor(newcomer.descriptor);
            m_newcomers.removeAt(i);
            continue;
        }
        newcomer.shown = newcomer.shown || m_pool->showsRequest(firstBytes);
        ++i;
    }
    // Those who have sent their requests go first: a thread that came free serves one of them
    // at once, where a client that has sent nothing yet would only hold it. Only they may take
    // a slow connection's place.
    bool mayGiveWay = true;
    for (const bool shown : {true, false}) {
        for (int i = 0; i < m_newcomers.size();) {
            const Newcomer newcomer = m_newcomers.at(i);
            if (newcomer.shown != shown) {
                ++i;
                continue;
            }
            HttpConnectionHandler *handler = nullptr;
            if (threadsFree) {
                handler = m_pool->getConnectionHandler();
                threadsFree = handler != nullptr;
            }
            if (shown && !handler && mayGiveWay) {
                handler = m_pool->takeOver();
                mayGiveWay = handler != nullptr;
            }
            if (handler) {
                m_newcomers.removeAt(i);
                handOver(handler, newcomer.descriptor);
            } else {
                ++i;
            }
        }
    }
    const qint64 now = HttpConnectionHandler::monotonicMs();
    for (int i = 0; i < m_newcomers.size();) {
        if (now >= m_newcomers.at(i).until)
            refuseBusy(m_newcomers.takeAt(i).descriptor);
        else
            ++i;
    }
    if (m_newcomers.isEmpty())
        m_newcomerTimer.stop();
    else if (!m_newcomerTimer.isActive())
        m_newcomerTimer.start();
}

void HttpListener::handOver(HttpConnectionHandler *handler, tSocketDescriptor socketDescriptor)
{
    // The handler lives in its own thread: the descriptor travels through its event loop.
    connect(this, &HttpListener::handleConnection, handler, &HttpConnectionHandler::handleConnection);
    emit handleConnection(socketDescriptor);
    disconnect(this, &HttpListener::handleConnection, handler, &HttpConnectionHandler::handleConnection);
}

void HttpListener::refuseBusy(tSocketDescriptor socketDescriptor)
{
    m_refusals.report();
    QTcpSocket *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        NativeSocket::closeDescriptor(socketDescriptor);
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(g_tooManyConnections);
    // Everything happens in the listener's thread, so nothing here may block: the reply is sent
    // by the event loop, then the write side is shut, and the rest is read and dropped until
    // the client closes or a bound is reached.
    QTimer *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
    deadline->start(g_drainLimitMs);
    auto drained = QSharedPointer<qint64>::create(0);
    connect(socket, &QTcpSocket::readyRead, socket, [socket, drained]() {
        *drained += socket->readAll().size();
        if (*drained > g_drainLimitBytes)
            socket->abort();
    });
    auto shutWhenSent = [socket]() {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState
            && !NativeSocket::shutdownWrite(socket->socketDescriptor()))
            socket->disconnectFromHost();
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, shutWhenSent);
    socket->flush();
    shutWhenSent();
}
