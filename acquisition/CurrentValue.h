#pragma once

#include <QString>
#include <QtGlobal>

// The latest reading of one parameter, as the live views and the alarms see it.
// A parameter that has not been read yet holds {0, 0, 1}: value 0, time 0, "no value yet".
struct CurrentValue
{
    double value = 0.0;
    qint64 time = 0; // ms since the Unix epoch
    int flag = 1;
};

// The display factor of a value in one of the auto-scaled units: 1 below a thousand, otherwise
// the factor that brings it to k or M (m and µ for large negative values). Values with a flag
// other than 0 and NaN keep factor 1.
double autoScaleFactor(const CurrentValue &entry);
// The unit prefix that belongs to a factor of autoScaleFactor; "" for anything else.
QString unitPrefix(float factor);
