#include "RequestGate.h"

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <algorithm>

#include <QHostAddress>
#include <QSettings>
#include <QStringList>
#include <QList>
#include <QUrl>

namespace {

// Header names are compared without regard to letter case, and every occurrence counts: a
// second Origin or Host must not slip past the check of the first.
QList<QByteArray> headerValues(const HttpRequest &request, const QByteArray &name)
{
    QList<QByteArray> values;
    const QMultiMap<QByteArray, QByteArray> headers = request.getHeaderMap();
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            values << it.value().trimmed();
    }
    return values;
}

struct Authority
{
    QString host;
    int port = -1;
    bool valid = false;
};

// "host", "host:port", "[v6]" or "[v6]:port"; the host in lower case.
Authority parseAuthority(const QByteArray &text)
{
    Authority result;
    QString value = QString::fromLatin1(text).toLower();
    if (value.isEmpty())
        return result;
    QString portText;
    if (value.startsWith(QLatin1Char('['))) {
        const int close = value.indexOf(QLatin1Char(']'));
        if (close < 0)
            return result;
        const QString rest = value.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':')))
                return result;
            portText = rest.mid(1);
        }
        value = value.left(close + 1);
    } else {
        const int colon = value.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            portText = value.mid(colon + 1);
            value = value.left(colon);
        }
    }
    if (value.isEmpty())
        return result;
    if (!portText.isNull()) {
        bool ok = false;
        const int port = portText.toInt(&ok);
        if (!ok || portText.isEmpty() || port < 0 || port > 65535
            || !std::all_of(portText.cbegin(), portText.cend(), [](QChar c) { return c.isDigit(); }))
            return result;
        result.port = port;
    }
    result.host = value;
    result.valid = true;
    return result;
}

bool isLoopbackName(const QString &host)
{
    if (host == QLatin1String("localhost") || host == QLatin1String("[::1]"))
        return true;
    // Only the dotted form: "127.1" or a decimal number are names a resolver may read differently.
    const QStringList parts = host.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    QHostAddress address;
    return address.setAddress(host) && address.protocol() == QAbstractSocket::IPv4Protocol && address.isLoopback();
}

bool listensOnLoopbackOnly(const QString &listenerHost)
{
    const QString host = listenerHost.trimmed().toLower();
    if (host.isEmpty())
        return false;
    if (host == QLatin1String("localhost"))
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// Host and port of an http URL the way a browser writes an Origin, or of a Referer.
Authority originOf(const QByteArray &text)
{
    Authority result;
    const QUrl url(QString::fromLatin1(text), QUrl::StrictMode);
    // The server speaks plain HTTP only: an https page is another origin.
    if (!url.isValid() || url.scheme().toLower() != QLatin1String("http") || url.host().isEmpty())
        return result;
    QString host = url.host(QUrl::FullyEncoded).toLower();
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    result.host = host;
    result.port = url.port(80);
    result.valid = true;
    return result;
}

} // namespace

RequestGate::RequestGate(const QString &configFile)
{
    const QSettings settings(configFile, QSettings::IniFormat);
    m_listenerHost = settings.value(QStringLiteral("listener/host")).toString();
    m_listenerPort = settings.value(QStringLiteral("listener/port")).toInt();
}

bool RequestGate::admit(const HttpRequest &request, HttpResponse &response, bool staticFile) const
{
    return admit(request, response, m_listenerHost, m_listenerPort, staticFile);
}

bool RequestGate::allows(const HttpRequest &request, const QString &listenerHost, int listenerPort,
                         bool staticFile)
{
    const QList<QByteArray> hosts = headerValues(request, "Host");
    if (hosts.size() > 1)
        return false;
    Authority own;
    if (!hosts.isEmpty()) {
        own = parseAuthority(hosts.first());
        if (!own.valid)
            return false;
        if (own.port < 0)
            own.port = 80;
    }
    if (listensOnLoopbackOnly(listenerHost) && !hosts.isEmpty() && !isLoopbackName(own.host))
        return false;
    if (staticFile)
        return true;

    for (const QByteArray &site : headerValues(request, "Sec-Fetch-Site")) {
        const QByteArray value = site.toLower();
        if (value != "same-origin" && value != "none")
            return false;
    }
    if (!own.valid) {
        // Without a Host the address the server listens on is its own name.
        own.host = listenerHost.trimmed().toLower();
        if (own.host.contains(QLatin1Char(':')) && !own.host.startsWith(QLatin1Char('[')))
            own.host = QLatin1Char('[') + own.host + QLatin1Char(']');
        own.port = listenerPort;
        own.valid = !own.host.isEmpty();
    }
    auto sameAsOwn = [&own](const QByteArray &text) {
        const Authority origin = originOf(text);
        return own.valid && origin.valid && origin.host == own.host && origin.port == own.port;
    };
    const QList<QByteArray> origins = headerValues(request, "Origin");
    for (const QByteArray &origin : origins) {
        if (!sameAsOwn(origin))
            return false;
    }
    for (const QByteArray &referer : headerValues(request, "Referer")) {
        if (!sameAsOwn(referer))
            return false;
    }
    return true;
}

bool RequestGate::admit(const HttpRequest &request, HttpResponse &response, const QString &listenerHost,
                        int listenerPort, bool staticFile)
{
    if (allows(request, listenerHost, listenerPort, staticFile))
        return true;
    qWarning("RequestGate: refused %s %s", request.getMethod().constData(), request.getPath().constData());
    response.setStatus(403, "forbidden");
    response.write("403 forbidden", true);
    return false;
}
