#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// The user accounts of the browser interface and the login check. Passwords are kept and
// compared only as digests.
class UsersManager : public QObject
{
    Q_OBJECT
public:
    explicit UsersManager(QObject *parent = nullptr);

    // The user's permissions as a 16-bit number, 0 when the login is refused (also on a database
    // error).
    int checkUser(const QString &username, const QString &password);

    QByteArray getUsersCfg();                         // "cfg_getUsersCfg"
    QByteArray addNewUser(const t_GetArray &params);  // "cfg_addNewUser"
    QByteArray editUser(const t_GetArray &params);    // "cfg_editUser"
    QByteArray setUserPass(const t_GetArray &params); // "cfg_setUserPass"
    QByteArray removeUser(const t_GetArray &params);  // "cfg_removeUser"

    // 64 lowercase hexadecimal characters of the SHA-256 of the password's UTF-8 bytes.
    static QString passwordDigest(const QString &password);
};

// The digest of the empty password, which the default administrator starts with.
QString defaultAdminPasswordHash();

extern UsersManager g_usersManager;
