#include "HttpListener.h"

#include "HttpConnectionHandlerPool.h"
#include "HttpRequest.h"
#include "NativeDescriptors.h"
#include "NativeSocket.h"

#include <QMutexLocker>
#include <QSettings>
#include <QTcpSocket>
#include <QTimer>

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

// A crowd of refused clients would otherwise write a log line each, thousands a minute.
const int g_refusalReportMs = 1000;

} // namespace

HttpListener::HttpListener(QSettings *settings, HttpRequestHandler *requestHandler, QObject *parent)
    : QTcpServer(parent), m_settings(settings), m_requestHandler(requestHandler)
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
    m_refusalReport.setSingleShot(true);
    m_refusalReport.setInterval(g_refusalReportMs);
    connect(&m_refusalReport, &QTimer::timeout, this, &HttpListener::reportRefusals);
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
    qDebug("HttpListener: closed");
    delete m_pool;
    m_pool = nullptr;
}

void HttpListener::incomingConnection(tSocketDescriptor socketDescriptor)
{
    HttpConnectionHandler *freeHandler =
        m_pool ? m_pool->getConnectionHandler(NativeSocket::peerAddress(socketDescriptor)) : nullptr;
    if (freeHandler) {
        // The handler lives in its own thread: the descriptor travels through its event loop.
        connect(this, &HttpListener::handleConnection, freeHandler, &HttpConnectionHandler::handleConnection);
        emit handleConnection(socketDescriptor);
        disconnect(this, &HttpListener::handleConnection, freeHandler, &HttpConnectionHandler::handleConnection);
        return;
    }
    if (m_refusalReport.isActive()) {
        ++m_unreportedRefusals;
    } else {
        qDebug("HttpListener: Too many incoming connections");
        m_refusalReport.start();
    }
    refuseBusy(socketDescriptor);
}

void HttpListener::reportRefusals()
{
    if (m_unreportedRefusals == 0)
        return;
    qDebug("HttpListener: Too many incoming connections, %i more refused in the last %i ms", m_unreportedRefusals,
           g_refusalReportMs);
    m_unreportedRefusals = 0;
    // The next period counts again; a quiet one ends the reports until the next refusal.
    m_refusalReport.start();
}

void HttpListener::refuseBusy(tSocketDescriptor socketDescriptor)
{
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
