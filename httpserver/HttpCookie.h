#pragma once

#include <QByteArray>
#include <QList>

// One cookie as the server sets it; its text form follows "Set-Cookie: " in a reply.
class HttpCookie
{
public:
    HttpCookie();
    // Note the order: path comes before comment and domain.
    HttpCookie(const QByteArray &name, const QByteArray &value, int maxAge,
               const QByteArray &path = QByteArray(), const QByteArray &comment = QByteArray(),
               const QByteArray &domain = QByteArray(), bool secure = false);

    QByteArray getName() const;
    QByteArray getValue() const;
    QByteArray getComment() const;
    QByteArray getDomain() const;
    int getMaxAge() const;
    QByteArray getPath() const;
    bool getSecure() const;
    int getVersion() const;

    // "name=value" followed by the attributes that are set, "; Version=" always last.
    QByteArray toByteArray() const;
    // True when no field holds CR, LF or NUL, so the text form cannot break the header block.
    bool isSafe() const;

    // Cuts a "Cookie" header into its parts at semicolons outside double quotes; the quotes are
    // dropped, every part trimmed, empty parts skipped.
    static QList<QByteArray> splitParts(const QByteArray &source);

private:
    QByteArray m_name;
    QByteArray m_value;
    QByteArray m_comment;
    QByteArray m_domain;
    int m_maxAge = 0;
    QByteArray m_path;
    bool m_secure = false;
    int m_version = 1;
};
