#pragma once

#include <QString>

// How numbers are written into archive rows, replies and CSV files.
namespace ValueText {

// The shortest decimal form that reads back as the same double (4294967295 stays 4294967295,
// 0.1 stays 0.1); "nan", "inf" or "-inf" for values that are not finite.
QString fromDouble(double value);

} // namespace ValueText
