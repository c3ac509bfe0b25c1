#include "CurrentValue.h"

#include <cmath>

double autoScaleFactor(const CurrentValue &entry)
{
    const double x = entry.value;
    if (entry.flag != 0 || std::isnan(x))
        return 1.0;
    if (x > -1000.0 && x < 1000.0)
        return 1.0;
    // Single-precision constants, as the browser pages have always shown them (999999 W reads
    // 999.999047 kW).
    if (x >= 1000.0 && x < 1000000.0)
        return static_cast<double>(0.001f);
    if (x >= 1000000.0)
        return static_cast<double>(0.000001f);
    if (x > -1000000.0)
        return 1000.0;
    return 1000000.0;
}

QString unitPrefix(float factor)
{
    if (factor >= 0.9f && factor <= 1.1f)
        return QString();
    if (factor >= 0.0009f && factor <= 0.0011f)
        return QStringLiteral("k");
    if (factor >= 1e-7f && factor <= 1.1e-6f)
        return QStringLiteral("M");
    if (factor >= 999.0f && factor <= 1000.1f)
        return QStringLiteral("m");
    if (factor >= 999999.0f && factor <= 1000000.1f)
        return QStringLiteral("&#181");
    return QString();
}
