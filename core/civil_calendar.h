#pragma once

#include <string>

#include "core/grid_types.h"

// Days since 1970-01-01 of a Gregorian date (H. Hinnant's days_from_civil).
// Linear in the day, so a day outside its month counts on into the next.
long daysFromCivil(long year, long month, long day);

// Day of the week of a Gregorian date: 1 Monday .. 7 Sunday.
int isoWeekDay(long year, long month, long day);

// "2015-04-01 06:00".
std::string formatDate(const ModelDate& date);
