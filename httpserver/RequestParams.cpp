#include "RequestParams.h"

namespace RequestParams {

static QByteArray upToZero(const QByteArray &value)
{
    const int zero = value.indexOf('\0');
    return zero < 0 ? value : value.left(zero);
}

bool has(const t_GetArray &params, const QByteArray &name) { return params.contains(name); }

QByteArray raw(const t_GetArray &params, const QByteArray &name) { return params.value(name); }

QString text(const t_GetArray &params, const QByteArray &name, const QString &fallback)
{
    const auto it = params.constFind(name);
    if (it == params.constEnd())
        return fallback;
    return QString::fromUtf8(upToZero(it.value()));
}

int integer(const t_GetArray &params, const QByteArray &name, int fallback)
{
    const auto it = params.constFind(name);
    if (it == params.constEnd())
        return fallback;
    bool ok = false;
    const int value = upToZero(it.value()).toInt(&ok, 10);
    return ok ? value : 0;
}

} // namespace RequestParams
