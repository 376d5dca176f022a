#pragma once

#include "core/grid_types.h"

// The coupling interval of a date for the grid-interval character of
// "[ExternalCoupling]": its hour, day, month or year for 'H', 'D', 'M' and
// 'Y'. With 'I' every step is an interval of its own.
long couplingInterval(char gridMode, const ModelDate& date);

// True when both dates lie in one coupling interval; never for 'I'.
bool sameCouplingInterval(char gridMode, const ModelDate& a, const ModelDate& b);

// Whether the day, the month and the year of a step end before the next
// step.
struct CalendarEnds {
  bool day = false;
  bool month = false;
  bool year = false;
};
CalendarEnds calendarEndsBetween(const ModelDate& step, const ModelDate& next);
