#pragma once

#include "HttpRequestHandler.h"

#include <QByteArray>
#include <QCache>
#include <QMutex>
#include <QString>

class QSettings;

// Serves the files under the document root, keeping recently served small files in memory.
// Runs on many connection threads at once; the cache is guarded by its mutex.
class StaticFileController : public HttpRequestHandler
{
    Q_OBJECT
public:
    StaticFileController(QSettings *settings, QObject *parent = nullptr);
    ~StaticFileController() override;

    void service(HttpRequest &request, HttpResponse &response) override;
    // Sets "Content-Type" from the suffix of the name, case-sensitively; no match sets nothing.
    void setContentType(const QString &fileName, HttpResponse &response) const;

private:
    struct CacheEntry
    {
        QByteArray document;
        qint64 created = 0;
        // Taken from the name when the entry is made, not for every reply.
        QByteArray contentType;
    };

    QByteArray contentTypeOf(const QString &fileName) const;
    bool isInsideRoot(const QString &fileName) const;
    void forbidden(HttpResponse &response) const;

    QString m_encoding;
    // Built once from the settings instead of for every reply.
    QByteArray m_cacheControl;
    QByteArray m_textCharset;
    QString m_docroot;
    QString m_canonicalRoot;
    int m_maxAge = 60000;
    int m_cacheTimeout = 60000;
    int m_maxCachedFileSize = 65536;
    // Keyed by the decoded path byte for byte: a text key would end at a zero byte and merge
    // every invalid UTF-8 sequence into one replacement character, so that "/t.txt%00.png"
    // found the entry of "/t.txt".
    QCache<QByteArray, CacheEntry> m_cache;
    QMutex m_mutex;
};
