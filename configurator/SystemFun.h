#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QStringList>

namespace vexo {

// Vexo's small system calls: the general information for the browser pages and the arguments of
// the firmware loader, taken from the connection last saved.
class SystemFun : public QObject
{
    Q_OBJECT
public:
    explicit SystemFun(QObject *parent = nullptr);

    QByteArray getGeneralInfo() const;
    // Port number - 1, baud code, mode + 3, slave id, device id, each in decimal.
    QStringList firmwareUpdaterArgs() const;
    // The HTML as an A4 PDF, loading files from inside the document root only; empty on failure.
    QByteArray htmlToPdf(const QString &html, const QString &documentRoot) const;

private:
    QHash<int, int> m_baudCodes;
};

} // namespace vexo
