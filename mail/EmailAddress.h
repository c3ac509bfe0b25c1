#pragma once

#include <QObject>
#include <QString>

// One mailbox: an address and an optional display name.
class EmailAddress : public QObject
{
    Q_OBJECT
public:
    // The address comes first, the name second.
    explicit EmailAddress(const QString &address = QString(), const QString &name = QString(),
                          QObject *parent = nullptr);

    void setName(const QString &name) { m_name = name; }
    void setAddress(const QString &address) { m_address = address; }
    const QString &getName() const { return m_name; }
    const QString &getAddress() const { return m_address; }

private:
    QString m_name;
    QString m_address;
};
