#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <atomic>

class MimeMessage;
class QSslSocket;
class QTcpSocket;

// The client side of one SMTP dialogue at a time: plain TCP, TLS from the first byte or
// STARTTLS; EHLO, AUTH PLAIN or LOGIN, one mail, QUIT. Every call blocks its thread until the
// server answers or a time-out expires, so no event loop is needed.
class SmtpClient : public QObject
{
    Q_OBJECT
public:
    // Any integer can be stored as the type; values above 2 leave the client without a socket.
    enum ConnectionType : int { PlainTcp = 0, ImplicitTls = 1, StartTls = 2 };
    enum AuthMethod : int { PlainAuth = 0, LoginAuth = 1 };
    enum SmtpError : int { ErrConnect = 0, ErrResponseTimeout = 1, ErrSendTimeout = 2, ErrAuth = 3, ErrServer = 4, ErrClient = 5 };

    class ResponseTimeoutException
    {
    };
    class SendMessageTimeoutException
    {
    };

    // A whole reply, however many lines it has, must complete within this many response
    // time-outs, and no reply line may grow beyond the cap: a server that keeps talking without
    // ever finishing its reply cannot hold the caller.
    static constexpr int ReplyDeadlineFactor = 5;
    static constexpr int MaxReplyLineLength = 4096;

    SmtpClient(const QString &host = QStringLiteral("localhost"), int port = 25, ConnectionType connectionType = PlainTcp);
    ~SmtpClient() override;

    // Every call starts from a fresh socket of the configured type.
    bool connectToHost();
    bool login();
    bool login(const QString &user, const QString &password, AuthMethod method = PlainAuth);
    bool sendMail(MimeMessage &message);
    // Throws SendMessageTimeoutException when "QUIT" cannot be written or a reply came unasked.
    void quit();
    void disconnect();

    // Throw their exception (after emitting smtpError) on a time-out. sendMessage throws also
    // when a reply is already waiting before the line goes out (ErrServer, the connection
    // dropped): the client never pipelines, so such a reply answers nothing it sent.
    void waitForResponse();
    void sendMessage(const QString &text);

    void setConnectionType(ConnectionType type);

    const QString &getHost() const { return m_host; }
    void setHost(const QString &host) { m_host = host; }
    int getPort() const { return m_port; }
    void setPort(int port) { m_port = port; }
    ConnectionType getConnectionType() const { return m_connectionType; }
    const QString &getName() const { return m_name; }
    void setName(const QString &name) { m_name = name; }
    const QString &getUser() const { return m_user; }
    void setUser(const QString &user) { m_user = user; }
    const QString &getPassword() const { return m_password; }
    void setPassword(const QString &password) { m_password = password; }
    AuthMethod getAuthMethod() const { return m_authMethod; }
    void setAuthMethod(AuthMethod method) { m_authMethod = method; }
    const QString &getResponseText() const { return m_responseText; }
    int getResponseCode() const { return m_responseCode; }
    QTcpSocket *getSocket() { return m_socket; }
    int getConnectionTimeout() const { return m_connectionTimeout; }
    void setConnectionTimeout(int ms) { m_connectionTimeout = ms; }
    int getResponseTimeout() const { return m_responseTimeout; }
    void setResponseTimeout(int ms) { m_responseTimeout = ms; }
    int getSendMessageTimeout() const { return m_sendMessageTimeout; }
    void setSendMessageTimeout(int ms) { m_sendMessageTimeout = ms; }
    // The certificate trusted after a failed STARTTLS handshake (null until then).
    const QSslCertificate &getTrustedCertificate() const { return m_trustedCertificate; }
    bool isCertificateTrusted() const { return m_certificateTrusted; }
    // A flag that another thread may set to end every wait for a reply or a write at once (as
    // its time-out), so that an owner being stopped is not held by a slow server.
    void setCancelFlag(const std::atomic<bool> *flag) { m_cancel = flag; }

    // The message text as it goes on the wire after DATA: every line end CRLF, a line that
    // starts with "." doubled, so the server sees exactly the text and never an early end.
    static QByteArray dataForWire(const QByteArray &text);
    // True when the addresses, names and subject of the message can go into SMTP commands and
    // header lines: no CR, LF or NUL anywhere, no "<" or ">" in an address.
    static bool isSafeForWire(const MimeMessage &message);

signals:
    void smtpError(SmtpClient::SmtpError e);
    // Emitted once, when a connection first succeeds by trusting a self-signed certificate.
    void updateSelfSignedCert(QSslCertificate trustedSelfSignCert);

protected slots:
    void socketStateChanged(QAbstractSocket::SocketState state);
    void socketError(QAbstractSocket::SocketError error);
    void socketReadyRead();

private:
    bool connectOnce();
    bool cancelled() const;
    // True, with the connection aborted, when bytes are waiting that no command of ours asked for.
    bool droppedForUnaskedBytes();
    void writeLine(const QByteArray &bytes);
    QSslSocket *sslSocket() const;

    QTcpSocket *m_socket = nullptr;
    QString m_host;
    int m_port;
    ConnectionType m_connectionType;
    QString m_name = QStringLiteral("localhost");
    QString m_user;
    QString m_password;
    AuthMethod m_authMethod = PlainAuth;
    int m_connectionTimeout = 5000;
    int m_responseTimeout = 5000;
    int m_sendMessageTimeout = 60000;
    QString m_responseText;
    int m_responseCode = 0;
    QSslCertificate m_trustedCertificate;
    bool m_certificateTrusted = false;
    bool m_trustAnnouncePending = false;
    const std::atomic<bool> *m_cancel = nullptr;
};
