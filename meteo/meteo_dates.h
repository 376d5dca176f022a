#pragma once

#include <string>

#include "core/civil_calendar.h"
#include "core/grid_types.h"

// Calendar arithmetic for the time steps of the meteorological input. The
// minute index of `ModelDate` counts every month as 31 days, so it orders
// dates but cannot add a step to one.

// Minutes since 1 January 1970, 00:00 (proleptic Gregorian calendar).
long absoluteMinutes(const ModelDate& date);
ModelDate dateFromAbsoluteMinutes(long minutes);
ModelDate addMinutes(const ModelDate& date, long minutes);

// Month 1 .. 12, a day of that month, hour 0 .. 23, minute 0 .. 59.
bool isCalendarDate(const ModelDate& date);

bool sameDate(const ModelDate& a, const ModelDate& b);
