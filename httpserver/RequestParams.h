#pragma once

#include <QByteArray>
#include <QMultiMap>
#include <QString>

// The decoded parameters of one request (query string and URL-encoded form body), ordered by
// name. A name may occur several times; a lookup finds the value added last.
using t_GetArray = QMultiMap<QByteArray, QByteArray>;

// How calls read the map: by exact name, with the call's own default for an absent name, while
// a name present with an empty value stays empty.
namespace RequestParams {

bool has(const t_GetArray &params, const QByteArray &name);
// The value's bytes up to the first zero byte, decoded as UTF-8; the fallback when absent.
QString text(const t_GetArray &params, const QByteArray &name, const QString &fallback = QString());
// The value read as a decimal number: 0 when it does not parse, the fallback when absent.
int integer(const t_GetArray &params, const QByteArray &name, int fallback = 0);
// The raw bytes of the value added last (empty when absent).
QByteArray raw(const t_GetArray &params, const QByteArray &name);

} // namespace RequestParams
