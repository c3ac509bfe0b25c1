#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QSettings;
class QTimer;

// Client of the update server: "check4Updates" passes the browser's question on, "startUpdating"
// downloads the files of the listed modules into the folder "tmp" beside the document root and
// copies that tree over the document root, "getUpdateStatus" reports. The object lives in the
// main thread; calls from connection threads are carried out there, so every request, the queues
// and the state are only ever touched by that thread.
class Updates : public QObject
{
    Q_OBJECT
public:
    // Waits that a test may shorten.
    static constexpr int QueryTimeoutMs = 10000;     // the server query, whole
    static constexpr int TransferTimeoutMs = 120000; // one file list or one file, whole

    // settings: positioned in the group "docroot"; reads "path" there, then moves the object to
    // the group "updates" (updateServer, responseMaxWaitTime) and leaves it there. The
    // configuration program's updater also installs files below a top folder "install" and logs
    // the error number of a failed server query.
    explicit Updates(QSettings *settings, QObject *parent = nullptr, bool configurationProgram = false);
    ~Updates() override;

    QByteArray check4Updates(t_GetArray &params);
    QByteArray startUpdating(t_GetArray &params);
    QByteArray getUpdateStatus();

    void setQueryTimeout(int milliseconds) { m_queryTimeout = milliseconds; }
    void setTransferTimeout(int milliseconds) { m_transferTimeout = milliseconds; }

    QString documentRoot() const { return m_docRoot; }
    QString temporaryDir() const { return m_tmpDir; }
    // The file that marks a temporary folder as this updater's own.
    static QString markerName();

public slots:
    void fileListDownloadFinished(QNetworkReply *reply);
    void fileDownloadFinished(QNetworkReply *reply);

private:
    using Done = std::function<void(const QByteArray &)>;
    // Runs work in this object's thread and waits (bounded) until it calls done; fallback when
    // the wait runs out.
    QByteArray callInOwnerThread(const std::function<void(const Done &)> &work, int waitMs,
                                 const QByteArray &fallback);

    void query(const QByteArray &json, const Done &done);
    QByteArray start(const QStringList &modules);
    void downloadNextModule();
    void downloadNextFile();
    bool saveFile(const QString &relativePath, QNetworkReply *reply);
    bool copyDir(const QString &source, const QString &destination);
    bool removeDir(const QString &path);
    bool removeOwnTmpDir();
    bool prepareTmpDir();
    void storeResult(const QByteArray &result);
    void request(QNetworkAccessManager *manager, const QUrl &url);
    void abortChain();
    QString relativePathOf(const QString &url) const;

    QString m_updateServer;
    int m_responseMaxWaitTime = 11000;
    bool m_configurationProgram = false;
    QNetworkAccessManager *m_listManager;
    QNetworkAccessManager *m_fileManager;
    QNetworkAccessManager *m_queryManager;
    QString m_docRoot;
    QString m_tmpDir;
    QStringList m_modulesQueue;
    QStringList m_filesQueue;
    int m_state = 0;
    QByteArray m_result = "{}";

    // The chain's one request in flight and its time-out; a new start aborts the old chain and
    // its late replies are recognised by their generation.
    QNetworkReply *m_currentReply = nullptr;
    QTimer *m_transferTimer;
    quint64 m_generation = 0;
    int m_queryTimeout = QueryTimeoutMs;
    int m_transferTimeout = TransferTimeoutMs;
};
