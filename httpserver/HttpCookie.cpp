#include "HttpCookie.h"

#include "HttpResponse.h"

HttpCookie::HttpCookie() = default;

HttpCookie::HttpCookie(const QByteArray &name, const QByteArray &value, int maxAge,
                       const QByteArray &path, const QByteArray &comment, const QByteArray &domain,
                       bool secure)
    : m_name(name), m_value(value), m_comment(comment), m_domain(domain), m_maxAge(maxAge),
      m_path(path), m_secure(secure)
{
}

QByteArray HttpCookie::getName() const { return m_name; }
QByteArray HttpCookie::getValue() const { return m_value; }
QByteArray HttpCookie::getComment() const { return m_comment; }
QByteArray HttpCookie::getDomain() const { return m_domain; }
int HttpCookie::getMaxAge() const { return m_maxAge; }
QByteArray HttpCookie::getPath() const { return m_path; }
bool HttpCookie::getSecure() const { return m_secure; }
int HttpCookie::getVersion() const { return m_version; }

QByteArray HttpCookie::toByteArray() const
{
    QByteArray text = m_name;
    text.append('=').append(m_value);
    if (!m_comment.isEmpty())
        text.append("; Comment=").append(m_comment);
    if (!m_domain.isEmpty())
        text.append("; Domain=").append(m_domain);
    if (m_maxAge != 0)
        text.append("; Max-Age=").append(QByteArray::number(m_maxAge));
    if (!m_path.isEmpty())
        text.append("; Path=").append(m_path);
    if (m_secure)
        text.append("; Secure");
    text.append("; Version=").append(QByteArray::number(m_version));
    return text;
}

bool HttpCookie::isSafe() const
{
    return HttpResponse::isHeaderSafe(m_name) && HttpResponse::isHeaderSafe(m_value)
        && HttpResponse::isHeaderSafe(m_comment) && HttpResponse::isHeaderSafe(m_domain)
        && HttpResponse::isHeaderSafe(m_path);
}

QList<QByteArray> HttpCookie::splitParts(const QByteArray &source)
{
    QList<QByteArray> parts;
    QByteArray buffer;
    bool inQuotes = false;
    auto flush = [&]() {
        const QByteArray part = buffer.trimmed();
        if (!part.isEmpty())
            parts.append(part);
        buffer.clear();
    };
    for (const char c : source) {
        if (c == '"')
            inQuotes = !inQuotes;
        else if (c == ';' && !inQuotes)
            flush();
        else
            buffer.append(c);
    }
    flush();
    return parts;
}
