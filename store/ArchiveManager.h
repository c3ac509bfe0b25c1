#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class QFile;
class QTemporaryFile;

// The read side of the measurement archive for the browser: general information, the grid of
// archived values, interval reports, the CSV export and the deletion of the archive.
//
// Every call runs on the calling HTTP connection's thread with a database connection of its own
// and reads forward only, so memory does not grow with the archive. The CSV file lives in the
// thread of this object, not in the pooled thread that generated it, and is shared under a mutex.
class ArchiveManager : public QObject
{
    Q_OBJECT
public:
    // Milliseconds on a monotonic clock; the CSV busy window is measured with it.
    using Clock = std::function<qint64()>;

    explicit ArchiveManager(QObject *parent = nullptr);
    ~ArchiveManager() override;

    // Web call "getArchGeneralInfo": first and last time stamp, row counts, archived parameters.
    QByteArray getArchGeneralInfo();
    // Web call "getArchGridData": one page of time stamps of the chosen parameters.
    QByteArray getArchGridData(const t_GetArray &params);
    // Web call "getReportGridData": minimum, maximum and average per interval of time.
    QByteArray getReportGridData(const t_GetArray &params);
    // Web call "generateCSVFile": writes the file that the download page sends next.
    QByteArray generateCSVFile(const t_GetArray &params);
    // Web call "deleteArchivedData".
    QByteArray deleteArchivedData();

    // For the download page: a read handle of its own on the waiting CSV file, or null when no
    // file waits. The handle stays readable even if the file is released meanwhile. *served
    // names the file for releaseCsvFile.
    std::unique_ptr<QFile> openCsvFile(quint64 *served = nullptr) const;
    // After the download of the file that openCsvFile named: drops it and ends the busy window.
    // A newer file that another user generated meanwhile stays, for its own download.
    void releaseCsvFile(quint64 served);

    // Start of the report interval that holds a Unix time, in UTC; invalid for an unknown name.
    static QDateTime intervalStart(qint64 unixTime, const QString &groupingType, int minutes);
    // The printed end of an interval: one span after the start for minutes and hours, one
    // second less than the span for days and weeks.
    static QDateTime intervalEnd(const QDateTime &start, const QString &groupingType, int minutes);

    // Replaces the monotonic clock (tests).
    void setClock(Clock clock);

private:
    void failCsv(quint64 generation);

    bool csvBusy = false;
    QStringList groupingTypes;
    QTemporaryFile *csvFile = nullptr;
    // Start of the last generation on m_clock; -1 while never started.
    qint64 csvTimer = -1;

    mutable QMutex m_csvMutex;
    // Counts generations, so that a generation overtaken by a later one after the busy window
    // does not install its file over the newer one.
    quint64 m_csvGeneration = 0;
    Clock m_clock;
};
