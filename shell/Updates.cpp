#include "Updates.h"

#include "HttpRequest.h"
#include "ScriptLiteral.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWaitCondition>

#include <cstdio>
#include <memory>

namespace {

const QByteArray g_parameterError = R"({"error":"Parameter error!"})";
const QByteArray g_connectError = R"({"error":"Unable to connect with server!"})";
const QByteArray g_started = R"({"ok":"Update started"})";
const QByteArray g_diskError = R"({"error":"Unable to write to disk!"})";
const QByteArray g_inProgress = R"({"ok":"In progress"})";
const QByteArray g_replyError = R"({"error":"Reply error!"})";
const QByteArray g_completed = R"({"ok":"Completed correctly."})";

// How long a connection thread waits for the main thread beyond the work's own time-out.
constexpr int g_ownerMarginMs = 5000;

// A call carried out by the owner thread for a waiting caller. A caller that gave up marks it
// abandoned: work not yet begun is then skipped and a late answer is dropped.
struct OwnerCall
{
    QMutex mutex;
    QWaitCondition answered;
    bool done = false;
    bool abandoned = false;
    QByteArray value;
    QPointer<QEventLoop> loop;
};

bool isWebUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
}

} // namespace

QString Updates::markerName() { return QStringLiteral(".updates_tmp"); }

Updates::Updates(QSettings *settings, QObject *parent, bool configurationProgram)
    : QObject(parent)
    , m_configurationProgram(configurationProgram)
    , m_listManager(new QNetworkAccessManager(this))
    , m_fileManager(new QNetworkAccessManager(this))
    , m_queryManager(new QNetworkAccessManager(this))
    , m_transferTimer(new QTimer(this))
{
    QString path;
    {
        QMutexLocker locker(&HttpRequest::settingsLock());
        path = settings->value(QStringLiteral("path"), QStringLiteral(".")).toString();
        settings->endGroup();
        settings->beginGroup(QStringLiteral("updates"));
        m_updateServer = settings->value(QStringLiteral("updateServer"), QStringLiteral(".")).toString();
        m_responseMaxWaitTime = settings->value(QStringLiteral("responseMaxWaitTime"), 11000).toInt();
    }
    m_docRoot = QDir::cleanPath(QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(path));
    m_tmpDir = QDir::cleanPath(m_docRoot + QStringLiteral("/../tmp"));

    connect(m_listManager, &QNetworkAccessManager::finished, this, &Updates::fileListDownloadFinished);
    connect(m_fileManager, &QNetworkAccessManager::finished, this, &Updates::fileDownloadFinished);
    m_transferTimer->setSingleShot(true);
    connect(m_transferTimer, &QTimer::timeout, this, [this] {
        if (m_currentReply) {
            qWarning("Updates: %s took too long", qPrintable(m_currentReply->url().toString()));
            m_currentReply->abort();
        }
    });
}

Updates::~Updates() { abortChain(); }

QByteArray Updates::callInOwnerThread(const std::function<void(const Done &)> &work, int waitMs,
                                      const QByteArray &fallback)
{
    auto call = std::make_shared<OwnerCall>();
    const Done done = [call](const QByteArray &value) {
        QMutexLocker locker(&call->mutex);
        if (call->done || call->abandoned)
            return;
        call->done = true;
        call->value = value;
        call->answered.wakeAll();
        if (call->loop)
            call->loop->quit();
    };
    if (QThread::currentThread() == thread()) {
        QEventLoop loop;
        work(done);
        QMutexLocker locker(&call->mutex);
        if (!call->done) {
            call->loop = &loop;
            QTimer bound;
            bound.setSingleShot(true);
            connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
            bound.start(waitMs);
            locker.unlock();
            loop.exec();
            locker.relock();
            call->loop = nullptr;
        }
        if (!call->done) {
            call->abandoned = true;
            return fallback;
        }
        return call->value;
    }
    QMetaObject::invokeMethod(
        this,
        [call, work, done] {
            {
                QMutexLocker locker(&call->mutex);
                if (call->abandoned)
                    return;
            }
            work(done);
        },
        Qt::QueuedConnection);
    QMutexLocker locker(&call->mutex);
    const QDeadlineTimer deadline(waitMs);
    while (!call->done) {
        if (!call->answered.wait(&call->mutex, deadline))
            break;
    }
    if (!call->done) {
        call->abandoned = true;
        qWarning("Updates: the main thread did not answer within %d ms", waitMs);
        return fallback;
    }
    return call->value;
}

QByteArray Updates::check4Updates(t_GetArray &params)
{
    if (!RequestParams::has(params, "json"))
        return g_parameterError;
    const QByteArray json = RequestParams::raw(params, "json");
    return callInOwnerThread([this, json](const Done &done) { query(json, done); }, m_queryTimeout + g_ownerMarginMs,
                             g_connectError);
}

void Updates::query(const QByteArray &json, const Done &done)
{
    const QUrl url(QString::fromLatin1(m_updateServer.toLatin1()), QUrl::TolerantMode);
    if (!isWebUrl(url)) {
        done(g_connectError);
        return;
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    QNetworkReply *reply = m_queryManager->post(request, "json=" + json);
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [reply] {
        reply->setProperty("timedOut", true);
        reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, done] {
        reply->deleteLater();
        if (reply->property("timedOut").toBool()) {
            done(g_connectError);
            return;
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() == QNetworkReply::NoError && status >= 200 && status <= 299) {
            done(reply->readAll());
            return;
        }
        if (m_configurationProgram && reply->error() != QNetworkReply::NoError)
            qDebug("error no: %d", int(reply->error()));
        done(g_connectError);
    });
    timer->start(m_queryTimeout);
}

QByteArray Updates::getUpdateStatus()
{
    return callInOwnerThread([this](const Done &done) { done(m_state == 1 ? g_inProgress : m_result); },
                             g_ownerMarginMs, g_inProgress);
}

QByteArray Updates::startUpdating(t_GetArray &params)
{
    if (!RequestParams::has(params, "modulesList"))
        return g_parameterError;
    const QString text =
        QString::fromUtf8(QByteArray::fromPercentEncoding(RequestParams::raw(params, "modulesList")));
    QVariantList list;
    QStringList modules;
    if (ScriptLiteral::parseArray(text, &list)) {
        for (const QVariant &element : list)
            modules << ScriptLiteral::toText(element);
    }
    return callInOwnerThread([this, modules](const Done &done) { done(start(modules)); }, g_ownerMarginMs,
                             g_diskError);
}

QByteArray Updates::start(const QStringList &modules)
{
    m_state = 0;
    if (modules.isEmpty())
        return g_parameterError;
    abortChain();
    if (!prepareTmpDir())
        return g_diskError;
    m_modulesQueue = modules;
    m_state = 1;
    downloadNextModule();
    return g_started;
}

void Updates::abortChain()
{
    ++m_generation;
    m_transferTimer->stop();
    if (QNetworkReply *reply = m_currentReply) {
        m_currentReply = nullptr;
        reply->abort();
    }
}

// The temporary folder may be a folder of somebody else (beside a document root /www it is
// /tmp): only a folder that holds the updater's marker is ever emptied or removed.
bool Updates::prepareTmpDir()
{
    const QFileInfo info(m_tmpDir);
    if (info.isSymLink() || (info.exists() && !info.isDir())) {
        qWarning("Updates: %s is not the updater's own folder, left alone", qPrintable(m_tmpDir));
        return false;
    }
    if (info.exists() && !removeOwnTmpDir())
        return false;
    if (!QDir().mkpath(m_tmpDir))
        return false;
    QFile marker(m_tmpDir + QLatin1Char('/') + markerName());
    return marker.open(QIODevice::WriteOnly | QIODevice::Truncate) && marker.write("updates\n") == 8 && marker.flush();
}

bool Updates::removeOwnTmpDir()
{
    const QFileInfo tmp(m_tmpDir);
    if (!tmp.exists() && !tmp.isSymLink())
        return true;
    const QFileInfo marker(m_tmpDir + QLatin1Char('/') + markerName());
    if (tmp.isSymLink() || !tmp.isDir() || marker.isSymLink() || !marker.isFile()) {
        qWarning("Updates: %s is not the updater's own folder, left alone", qPrintable(m_tmpDir));
        return false;
    }
    return removeDir(m_tmpDir);
}

void Updates::storeResult(const QByteArray &result)
{
    m_state = 0;
    m_result = result;
}

void Updates::request(QNetworkAccessManager *manager, const QUrl &url)
{
    QNetworkReply *reply = manager->get(QNetworkRequest(url));
    reply->setProperty("generation", m_generation);
    m_currentReply = reply;
    m_transferTimer->start(m_transferTimeout);
}

void Updates::downloadNextModule()
{
    if (m_modulesQueue.isEmpty()) {
        if (copyDir(m_tmpDir, m_docRoot)) {
            removeOwnTmpDir();
            storeResult(g_completed);
        } else {
            storeResult(g_diskError);
        }
        return;
    }
    QString address = QString::fromLatin1(m_updateServer.toLatin1());
    if (!address.endsWith(QLatin1Char('/')))
        address += QLatin1Char('/');
    address += QStringLiteral("fileList?moduleName=")
               + QString::fromLatin1(QUrl::toPercentEncoding(m_modulesQueue.first()));
    const QUrl url(address, QUrl::TolerantMode);
    if (!isWebUrl(url)) {
        storeResult(R"({"error":"Reply error!","errorNo":)" + QByteArray::number(int(QNetworkReply::ProtocolUnknownError))
                    + '}');
        return;
    }
    request(m_listManager, url);
}

void Updates::fileListDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_currentReply || reply->property("generation").toULongLong() != m_generation)
        return; // a reply of an aborted chain
    m_currentReply = nullptr;
    m_transferTimer->stop();
    if (reply->error() != QNetworkReply::NoError) {
        storeResult(R"({"error":"Reply error!","errorNo":)" + QByteArray::number(int(reply->error())) + '}');
        return;
    }
    QByteArray body = reply->readAll();
    const int zero = body.indexOf('\0');
    if (zero >= 0)
        body.truncate(zero);
    QVariantList list;
    if (!ScriptLiteral::parseArray(QString::fromLatin1(body), &list)) {
        storeResult(g_replyError);
        return;
    }
    m_filesQueue.clear();
    for (const QVariant &element : list)
        m_filesQueue << ScriptLiteral::toText(element);
    downloadNextFile();
}

void Updates::downloadNextFile()
{
    if (m_filesQueue.isEmpty()) {
        m_modulesQueue.removeFirst();
        downloadNextModule();
        return;
    }
    const QUrl url(QString::fromLatin1(m_filesQueue.first().toLatin1()), QUrl::TolerantMode);
    if (!isWebUrl(url)) {
        qWarning("Updates: refused to fetch %s", qPrintable(m_filesQueue.first()));
        storeResult(g_replyError);
        return;
    }
    request(m_fileManager, url);
}

void Updates::fileDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_currentReply || reply->property("generation").toULongLong() != m_generation)
        return;
    m_currentReply = nullptr;
    m_transferTimer->stop();
    if (reply->error() != QNetworkReply::NoError) {
        storeResult(g_replyError);
        return;
    }
    if (saveFile(relativePathOf(reply->url().toString()), reply)) {
        m_filesQueue.removeFirst();
        downloadNextFile();
    }
}

// "/root/js/app.js" from any URL whose path holds a part "root" or "modules" (or "install" for the
// configuration program), from the first of them on; empty when there is none or when a part
// would climb out of the temporary folder or names a folder instead of a file.
QString Updates::relativePathOf(const QString &url) const
{
    const QStringList parts = url.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    int first = -1;
    for (int i = 0; i < parts.size() && first < 0; ++i) {
        const QString &part = parts.at(i);
        if (part == QLatin1String("root") || part == QLatin1String("modules")
            || (m_configurationProgram && part == QLatin1String("install")))
            first = i;
    }
    if (first < 0 || parts.last().isEmpty())
        return QString();
    const QStringList kept = parts.mid(first);
    for (const QString &part : kept) {
        const QString decoded = QUrl::fromPercentEncoding(part.toUtf8());
        if (decoded == QLatin1String(".") || decoded == QLatin1String("..") || decoded.contains(QLatin1Char('/'))
            || decoded.contains(QChar(0)))
            return QString();
    }
    return QLatin1Char('/') + kept.join(QLatin1Char('/'));
}

bool Updates::saveFile(const QString &relativePath, QNetworkReply *reply)
{
    if (relativePath.isEmpty()) {
        qWarning("Updates: no place for %s below the document root", qPrintable(reply->url().toString()));
        storeResult(g_diskError);
        return false;
    }
    const QString target = QDir::cleanPath(m_tmpDir + relativePath);
    const QByteArray body = reply->readAll();
    QFile file(target);
    if (!target.startsWith(m_tmpDir + QLatin1Char('/')) || !QDir().mkpath(QFileInfo(target).absolutePath())
        || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(body) != body.size() || !file.flush()) {
        qWarning("Updates: cannot write %s", qPrintable(target));
        storeResult(g_diskError);
        return false;
    }
    return true;
}

// Each file reaches the document root whole: it is copied beside its place and renamed over it,
// so a page is never served half written.
bool Updates::copyDir(const QString &source, const QString &destination)
{
    const QDir sourceDir(source);
    if (!sourceDir.exists())
        return false;
    if (!QDir(destination).exists() && !QDir().mkdir(destination))
        return false;
    const QFileInfoList files = sourceDir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &file : files) {
        if (file.isSymLink())
            continue;
        const QString target = destination + QLatin1Char('/') + file.fileName();
        const QString part = destination + QStringLiteral("/.") + file.fileName() + QStringLiteral(".part");
        QFile::remove(part);
        if (!QFile::copy(file.absoluteFilePath(), part)) {
            qWarning("Updates: cannot copy %s", qPrintable(target));
            return false;
        }
        if (std::rename(QFile::encodeName(part).constData(), QFile::encodeName(target).constData()) != 0) {
            QFile::remove(part);
            qWarning("Updates: cannot replace %s", qPrintable(target));
            return false;
        }
    }
    const QFileInfoList dirs = sourceDir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &dir : dirs) {
        if (dir.isSymLink())
            continue;
        if (!copyDir(dir.absoluteFilePath(), destination + QLatin1Char('/') + dir.fileName()))
            return false;
    }
    return true;
}

// Recursive, and never through a symbolic link: a link is removed, not what it points at.
bool Updates::removeDir(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isSymLink() || !info.isDir())
        return QFile::remove(path);
    const QFileInfoList entries = QDir(path).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        const QString entryPath = entry.absoluteFilePath();
        if (entry.isDir() && !entry.isSymLink()) {
            if (!removeDir(entryPath))
                return false;
        } else if (!QFile::remove(entryPath)) {
            return false;
        }
    }
    return QDir().rmdir(path);
}
