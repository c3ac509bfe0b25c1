#include "ValueText.h"

#include <QLocale>

#include <cmath>

namespace ValueText {

QString fromDouble(double value)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

} // namespace ValueText
