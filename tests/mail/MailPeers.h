#pragma once

// What the mail tests share: certificates made by openssl, the SMTP peers under peers/, and
// reading what the peers printed.

#include "PeerProcess.h"
#include "TestEnv.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

namespace MailPeers {

// A test CA, a server certificate it signed for 127.0.0.1, and two self-signed certificates:
// one for 127.0.0.1 and one for another address.
struct Certificates
{
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

    bool make()
    {
        const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                             QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
        int code = 0;
        TestEnv::runTool(QStringLiteral("openssl"),
                         QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                             QStringList{"-keyout", path("ca.key"), "-out", path("ca.pem"), "-days", "2", "-subj",
                                         "/CN=Mail Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                                         "keyUsage=critical,keyCertSign,cRLSign"},
                         {}, 60000, &code);
        if (code != 0)
            return false;
        TestEnv::runTool(QStringLiteral("openssl"),
                         QStringList{QStringLiteral("req")} + ec +
                             QStringList{"-keyout", path("server.key"), "-out", path("server.csr"), "-subj", "/CN=127.0.0.1"},
                         {}, 60000, &code);
        if (code != 0)
            return false;
        QFile ext(path("server.ext"));
        if (!ext.open(QIODevice::WriteOnly))
            return false;
        ext.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
        ext.close();
        TestEnv::runTool(QStringLiteral("openssl"),
                         {"x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"), "-CAkey", path("ca.key"),
                          "-CAcreateserial", "-out", path("server.pem"), "-days", "2", "-extfile", path("server.ext")},
                         {}, 60000, &code);
        if (code != 0)
            return false;
        for (const auto &[name, ip] : {std::pair<QString, QString>{"self", "127.0.0.1"}, {"otherhost", "127.0.0.2"}}) {
            TestEnv::runTool(QStringLiteral("openssl"),
                             QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                                 QStringList{"-keyout", path(name + ".key"), "-out", path(name + ".pem"), "-days", "2",
                                             "-subj", "/CN=" + ip, "-addext", "subjectAltName=IP:" + ip},
                             {}, 60000, &code);
            if (code != 0)
                return false;
        }
        return true;
    }

    // Qt reads no CA file from the environment: the test CA joins this process's default trust.
    void trustCa() const
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates(config.caCertificates() + QSslCertificate::fromPath(path("ca.pem")));
        QSslConfiguration::setDefaultConfiguration(config);
    }

    QSslCertificate certificate(const QString &name) const
    {
        const QList<QSslCertificate> list = QSslCertificate::fromPath(path(name + ".pem"));
        return list.isEmpty() ? QSslCertificate() : list.first();
    }
};

// aiosmtpd in one of its modes ("plain", "tls", "starttls"), accepting one user.
inline bool startServer(PeerProcess &peer, const Certificates &certs, const QString &mode, const QString &user,
                        const QString &password, const QStringList &extra = {})
{
    QStringList args{"--mode", mode, "--user", user, "--password", password};
    if (mode != QLatin1String("plain"))
        args << "--cert" << certs.path("server.pem") << "--key" << certs.path("server.key");
    return peer.startPython(TestEnv::testFile(QStringLiteral("mail/peers/smtp_server.py")), args + extra);
}

// The scripted peer with a script object; certificate and key name one of Certificates' pairs.
inline bool startScripted(PeerProcess &peer, const QJsonObject &script, const Certificates *certs = nullptr,
                          const QString &pair = QStringLiteral("self"))
{
    QStringList args{QString::fromUtf8(QJsonDocument(script).toJson(QJsonDocument::Compact))};
    if (certs)
        args << "--cert" << certs->path(pair + ".pem") << "--key" << certs->path(pair + ".key");
    return peer.startPython(TestEnv::testFile(QStringLiteral("mail/peers/smtp_scripted.py")), args);
}

inline quint16 port(const PeerProcess &peer)
{
    return peer.readyWords().isEmpty() ? 0 : peer.readyWords().first().toUShort();
}

// The lines the peer printed that start with the prefix, the prefix and its blank removed.
inline QStringList lines(PeerProcess &peer, const QString &prefix)
{
    QStringList out;
    for (const QString &line : QString::fromUtf8(peer.output()).split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed == prefix)
            out << QString();
        else if (trimmed.startsWith(prefix + QLatin1Char(' ')))
            out << trimmed.mid(prefix.size() + 1);
    }
    return out;
}

// The mails aiosmtpd took, in order of arrival.
struct Arrived
{
    QString from;
    QStringList rcpt;
    QByteArray data;
};

inline QList<Arrived> mails(PeerProcess &peer)
{
    QList<Arrived> out;
    for (const QString &json : lines(peer, QStringLiteral("MAIL"))) {
        const QJsonObject object = QJsonDocument::fromJson(json.toUtf8()).object();
        Arrived mail;
        mail.from = object.value("from").toString();
        for (const QJsonValue &value : object.value("rcpt").toArray())
            mail.rcpt << value.toString();
        mail.data = QByteArray::fromBase64(object.value("data").toString().toLatin1());
        out << mail;
    }
    return out;
}

// What a server keeps of a mail text: every line end CRLF, and the CRLF that ends the last line.
inline QByteArray asReceived(const QByteArray &text)
{
    QByteArray out = text;
    out.replace("\r\n", "\n");
    out.replace('\r', '\n');
    out.replace("\n", "\r\n");
    return out + "\r\n";
}

} // namespace MailPeers
