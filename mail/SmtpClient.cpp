#include "SmtpClient.h"

#include "EmailAddress.h"
#include "MimeMessage.h"

#include <QElapsedTimer>
#include <QSslSocket>
#include <QTcpSocket>

SmtpClient::SmtpClient(const QString &host, int port, ConnectionType connectionType)
    : m_host(host), m_port(port), m_connectionType(connectionType)
{
    setConnectionType(connectionType);
}

SmtpClient::~SmtpClient()
{
    delete m_socket;
    m_socket = nullptr;
}

void SmtpClient::setConnectionType(ConnectionType type)
{
    m_connectionType = type;
    delete m_socket;
    m_socket = nullptr;
    switch (type) {
    case PlainTcp: m_socket = new QTcpSocket(this); break;
    case ImplicitTls:
    case StartTls: m_socket = new QSslSocket(this); break;
    default: return;
    }
    connect(m_socket, &QAbstractSocket::stateChanged, this, &SmtpClient::socketStateChanged);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &SmtpClient::socketError);
    connect(m_socket, &QIODevice::readyRead, this, &SmtpClient::socketReadyRead);
}

QSslSocket *SmtpClient::sslSocket() const
{
    return qobject_cast<QSslSocket *>(m_socket);
}

bool SmtpClient::connectToHost()
{
    // A socket that carried an earlier dialogue (after STARTTLS above all) is never reused.
    setConnectionType(m_connectionType);
    if (!m_socket) {
        emit smtpError(ErrConnect);
        return false;
    }
    return connectOnce();
}

bool SmtpClient::connectOnce()
{
    const quint16 port = quint16(m_port);
    if (m_connectionType == ImplicitTls)
        sslSocket()->connectToHostEncrypted(m_host, port);
    else
        m_socket->connectToHost(m_host, port);
    if (!m_socket->waitForConnected(m_connectionTimeout)) {
        emit smtpError(ErrConnect);
        return false;
    }
    if (m_connectionType == ImplicitTls && !sslSocket()->waitForEncrypted(m_connectionTimeout)) {
        emit smtpError(ErrConnect);
        return false;
    }

    try {
        waitForResponse();
        if (m_responseCode != 220) {
            emit smtpError(ErrServer);
            return false;
        }
        sendMessage(QLatin1String("EHLO ") + m_name);
        waitForResponse();
        if (m_responseCode != 250) {
            emit smtpError(ErrServer);
            return false;
        }
        if (m_connectionType != StartTls)
            return true;

        sendMessage(QStringLiteral("STARTTLS"));
        waitForResponse();
        if (m_responseCode != 220) {
            emit smtpError(ErrServer);
            return false;
        }
        // Plain text that came with the go-ahead would be read later as replies from inside TLS,
        // letting anyone on the path answer for the server. Plain text that comes later breaks
        // the handshake itself.
        if (droppedForUnaskedBytes()) {
            emit smtpError(ErrConnect);
            return false;
        }
        QSslSocket *ssl = sslSocket();
        if (m_certificateTrusted)
            ssl->ignoreSslErrors({QSslError(QSslError::SelfSignedCertificate, m_trustedCertificate)});
        ssl->startClientEncryption();
        if (!ssl->waitForEncrypted(m_connectionTimeout)) {
            // Only a handshake that got as far as a certificate has one to trust; one broken by
            // bytes that are no TLS at all fails for good.
            if (ssl->error() == QAbstractSocket::SslHandshakeFailedError && !m_certificateTrusted &&
                !ssl->peerCertificate().isNull()) {
                m_trustedCertificate = ssl->peerCertificate();
                m_certificateTrusted = true;
                m_trustAnnouncePending = true;
                ssl->disconnectFromHost();
                return connectToHost();
            }
            emit smtpError(ErrConnect);
            return false;
        }
        sendMessage(QLatin1String("EHLO ") + m_name);
        waitForResponse();
        if (m_responseCode != 250) {
            emit smtpError(ErrServer);
            return false;
        }
        // Announced with the first connection the trust made, not with the handshake: the
        // dialogue inside TLS may still fail, and then no connection was made by trusting.
        if (m_trustAnnouncePending) {
            m_trustAnnouncePending = false;
            emit updateSelfSignedCert(m_trustedCertificate);
        }
        return true;
    } catch (const ResponseTimeoutException &) {
        return false;
    } catch (const SendMessageTimeoutException &) {
        return false;
    }
}

bool SmtpClient::login()
{
    return login(m_user, m_password, m_authMethod);
}

bool SmtpClient::login(const QString &user, const QString &password, AuthMethod method)
{
    try {
        if (method == PlainAuth) {
            const QByteArray token = QByteArray(1, '\0') + user.toUtf8() + QByteArray(1, '\0') + password.toUtf8();
            sendMessage(QLatin1String("AUTH PLAIN ") + QString::fromLatin1(token.toBase64()));
        } else if (method == LoginAuth) {
            sendMessage(QStringLiteral("AUTH LOGIN"));
            waitForResponse();
            if (m_responseCode != 334) {
                emit smtpError(ErrAuth);
                return false;
            }
            sendMessage(QString::fromLatin1(user.toUtf8().toBase64()));
            waitForResponse();
            if (m_responseCode != 334) {
                emit smtpError(ErrAuth);
                return false;
            }
            sendMessage(QString::fromLatin1(password.toUtf8().toBase64()));
        } else {
            return true;
        }
        waitForResponse();
        if (m_responseCode != 235) {
            emit smtpError(ErrAuth);
            return false;
        }
        return true;
    } catch (const ResponseTimeoutException &) {
        emit smtpError(ErrAuth);
        return false;
    } catch (const SendMessageTimeoutException &) {
        emit smtpError(ErrAuth);
        return false;
    }
}

static bool hasLineBreakOrNul(const QString &text)
{
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) || text.contains(QChar(0));
}

static bool isSafeAddress(const EmailAddress *address)
{
    if (!address)
        return true;
    const QString &text = address->getAddress();
    return !hasLineBreakOrNul(text) && !text.contains(QLatin1Char('<')) && !text.contains(QLatin1Char('>')) &&
           !hasLineBreakOrNul(address->getName());
}

bool SmtpClient::isSafeForWire(const MimeMessage &message)
{
    if (hasLineBreakOrNul(message.getSubject()) || !isSafeAddress(message.getSender()))
        return false;
    for (const MimeMessage::RecipientType type : {MimeMessage::To, MimeMessage::Cc, MimeMessage::Bcc})
        for (const EmailAddress *address : message.getRecipients(type))
            if (!isSafeAddress(address))
                return false;
    return true;
}

QByteArray SmtpClient::dataForWire(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size() + text.size() / 32 + 2);
    bool lineStart = true;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text.at(i + 1) == '\n')
                ++i;
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = false;
    }
    return out;
}

bool SmtpClient::sendMail(MimeMessage &message)
{
    if (!isSafeForWire(message))
        return false;
    try {
        const EmailAddress *sender = message.getSender();
        sendMessage(QLatin1String("MAIL FROM: <") + (sender ? sender->getAddress() : QString()) + QLatin1Char('>'));
        waitForResponse();
        if (m_responseCode != 250)
            return false;

        for (const MimeMessage::RecipientType type : {MimeMessage::To, MimeMessage::Cc, MimeMessage::Bcc}) {
            for (const EmailAddress *address : message.getRecipients(type)) {
                sendMessage(QLatin1String("RCPT TO: <") + address->getAddress() + QLatin1Char('>'));
                waitForResponse();
                if (m_responseCode != 250)
                    return false;
            }
        }

        sendMessage(QStringLiteral("DATA"));
        waitForResponse();
        if (m_responseCode != 354)
            return false;

        // The text and the line that ends it go out in one write: a second small write would
        // wait for the acknowledgement of the first (Nagle against delayed ACK, 40 ms a mail).
        writeLine(dataForWire(message.toString().toUtf8()) + "\r\n.");
        waitForResponse();
        return m_responseCode == 250;
    } catch (const ResponseTimeoutException &) {
        return false;
    } catch (const SendMessageTimeoutException &) {
        return false;
    }
}

void SmtpClient::quit()
{
    if (!m_socket)
        return;
    sendMessage(QStringLiteral("QUIT"));
}

void SmtpClient::disconnect()
{
    if (m_socket)
        m_socket->disconnectFromHost();
}

// While a cancel flag is set up, waits are cut into slices so that the flag is seen soon.
static constexpr int CancelSliceMs = 100;

bool SmtpClient::cancelled() const
{
    return m_cancel && m_cancel->load();
}

void SmtpClient::waitForResponse()
{
    if (!m_socket) {
        emit smtpError(ErrResponseTimeout);
        throw ResponseTimeoutException();
    }
    QElapsedTimer whole;
    whole.start();
    QElapsedTimer sinceData;
    sinceData.start();
    const qint64 wholeLimit = qint64(m_responseTimeout) * ReplyDeadlineFactor;
    for (;;) {
        while (m_socket->canReadLine()) {
            const QByteArray line = m_socket->readLine(MaxReplyLineLength + 1);
            if (!line.endsWith('\n')) {
                // Longer than any reply line a server may send.
                emit smtpError(ErrResponseTimeout);
                throw ResponseTimeoutException();
            }
            m_responseText = QString::fromUtf8(line.constData(), int(qstrnlen(line.constData(), uint(line.size()))));
            bool ok = false;
            m_responseCode = m_responseText.left(3).toInt(&ok);
            if (!ok)
                m_responseCode = 0;
            if (m_responseCode >= 400 && m_responseCode <= 499)
                emit smtpError(ErrServer);
            else if (m_responseCode >= 500 && m_responseCode <= 599)
                emit smtpError(ErrClient);

            // The last line of a reply has a blank after the code, or nothing at all.
            int textLength = m_responseText.size();
            while (textLength > 0 && (m_responseText.at(textLength - 1) == QLatin1Char('\n') ||
                                      m_responseText.at(textLength - 1) == QLatin1Char('\r')))
                --textLength;
            if ((m_responseText.size() >= 4 && m_responseText.at(3) == QLatin1Char(' ')) || textLength == 3)
                return;
        }
        qint64 wait = qMin<qint64>(m_responseTimeout - sinceData.elapsed(), wholeLimit - whole.elapsed());
        if (m_cancel)
            wait = qMin<qint64>(wait, CancelSliceMs);
        // No more data can come from a closed connection; an overlong line is no reply.
        if (m_socket->bytesAvailable() > MaxReplyLineLength || cancelled() || wait <= 0 ||
            m_socket->state() != QAbstractSocket::ConnectedState) {
            emit smtpError(ErrResponseTimeout);
            throw ResponseTimeoutException();
        }
        if (m_socket->waitForReadyRead(int(wait)))
            sinceData.restart();
    }
}

void SmtpClient::sendMessage(const QString &text)
{
    writeLine(text.toUtf8());
}

bool SmtpClient::droppedForUnaskedBytes()
{
    // What the kernel already holds counts too, not only what an earlier read took in: a reply
    // sent in two writes may arrive in two segments.
    if (m_socket->bytesAvailable() == 0 && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->waitForReadyRead(0);
    if (m_socket->bytesAvailable() == 0)
        return false;
    m_socket->abort();
    return true;
}

void SmtpClient::writeLine(const QByteArray &bytes)
{
    if (!m_socket) {
        emit smtpError(ErrSendTimeout);
        throw SendMessageTimeoutException();
    }
    // The client never pipelines: a reply can only answer the line just written, so one that is
    // already waiting answers nothing of ours, and read as this line's answer it would hide the
    // server's real one (a refused mail taken as sent). The dialogue ends here.
    if (droppedForUnaskedBytes()) {
        emit smtpError(ErrServer);
        throw SendMessageTimeoutException();
    }
    if (m_socket->write(bytes + "\r\n") < 0) {
        emit smtpError(ErrSendTimeout);
        throw SendMessageTimeoutException();
    }
    QElapsedTimer timer;
    timer.start();
    // A large text may need several waits; the bound holds for the whole line.
    while (m_socket->bytesToWrite() > 0 && m_socket->state() == QAbstractSocket::ConnectedState) {
        qint64 wait = m_sendMessageTimeout - timer.elapsed();
        if (m_cancel)
            wait = qMin<qint64>(wait, CancelSliceMs);
        if (cancelled() || wait <= 0)
            break;
        m_socket->waitForBytesWritten(int(wait));
    }
    // A connection that failed while writing drops what was left to write.
    if (m_socket->bytesToWrite() > 0 || m_socket->state() != QAbstractSocket::ConnectedState) {
        emit smtpError(ErrSendTimeout);
        throw SendMessageTimeoutException();
    }
}

void SmtpClient::socketStateChanged(QAbstractSocket::SocketState) {}

void SmtpClient::socketError(QAbstractSocket::SocketError) {}

void SmtpClient::socketReadyRead() {}
