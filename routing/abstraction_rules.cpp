// What an abstraction takes in a step: by its share of the flow, from its
// input table, or by its rule table with a cap at its target and a weekly
// timetable.
#include <algorithm>

#include "core/diag_stream.h"
#include "routing/al_class.h"

namespace {

// Values at or below this mark are missing in input tables.
constexpr double missingMark = -9998.0;

} // namespace

void AL_class::storeDate(int year, int month, int day, int hour, int minute) {
  date[0] = year;
  date[1] = month;
  date[2] = day;
  date[3] = hour;
  date[4] = minute;
}

void AL_class::SetTargetCap(int flag, int targetIndexArg, double targetAreaArg) {
  targetFlag = flag;
  targetIndex = targetIndexArg;
  targetArea = targetAreaArg;
}

void AL_class::rescaleArea(double zoneGridArea) {
  minimum *= area / zoneGridArea;
  maximum *= area / zoneGridArea;
  area = zoneGridArea;
}

// A capacity of -1 (none given) caps nothing.
double AL_class::capped(double r, int k, const double* targetValues) const {
  const double capacity = rules.targetCap[static_cast<std::size_t>(k)];
  if (targetFlag <= 0 || targetIndex < 1 || !targetValues || !(capacity > 0.0)) return r;
  const double q = DepthToFlow(targetValues[targetIndex], targetArea, timeStep);
  return r + q > capacity ? std::max(0.0, capacity - q) : r;
}

double AL_class::EvaluateRule(const double* targetValues, int year, int month, int day, int hour,
                              int minute, double v) {
  storeDate(year, month, day, hour, minute);
  const RuleTable::Season season = rules.season(month, day);
  const double r = capped(rules.lookup(v, season), season.k, targetValues);
  return FlowToDepth(r, areaRatio(), timeStep);
}

// The week day is that of the hour less the whole hours between the data's
// stamp and the end of the step; the hour window takes the hour as stamped.
double AL_class::EvaluateTimedRule(const double* targetValues, int year, int month, int day,
                                   int hour, int minute, double v) {
  storeDate(year, month, day, hour, minute);
  const RuleTable::Season season = rules.season(month, day);
  if (month < 1) return 0.0;
  const int weekDay = weekDayAtHour(year, month, day, hour - static_cast<long>(hourOffset));
  if (!rules.windowOpen(season.k, weekDay, hour)) return 0.0;
  return capped(rules.lookup(v, season), season.k, targetValues);
}

double AL_class::Abstract(const double* targetValues, double& abstracted, double available,
                          int year, int month, int day, int hour, int minute) {
  const double Q = available;
  const double S = abstracted;
  double a = 0.0;
  switch (mode) {
  case intern:
  case externFlow: {
    const double d = Q - S;
    a = d >= minimum ? (Q - minimum) * fraction : 0.0;
    if (d - a < minimum) a = d - minimum;
    a = std::min(maximum, std::max(0.0, a));
    break;
  }
  case fromFile:
    storeDate(year, month, day, hour, minute);
    a = std::max(0.0, std::min(Q - S, FlowToDepth(inputFlow(month), areaRatio(), timeStep)));
    break;
  case internWithRule:
  case externWithRule: {
    const double r = EvaluateRule(targetValues, year, month, day, hour, minute,
                                  DepthToFlow(Q, areaRatio(), timeStep));
    a = std::max(0.0, std::min(Q - S, r));
    break;
  }
  default:
    break;
  }
  abstracted = S + a;
  return a;
}

// The input table's flow for the step (m^3/s); in a model step its record
// must carry the step's date, and the table moves on.
double AL_class::inputFlow(int month) {
  TimeSeriesFile& file = *input;
  if (month >= 1) {
    file.getDate(inputDate[0], inputDate[1], inputDate[2], inputDate[3], inputDate[4]);
    if (inputDate[0] < 1000 && file.getState() != 4) inputDate[0] += 1900;
    if (!std::equal(date, date + 5, inputDate)) {
      *diag << "FATAL: error comparing dates in " << file.getFileName()
            << ":\n     read: " << inputDate[0] << "." << inputDate[1] << "." << inputDate[2]
            << ", " << inputDate[3] << ":" << inputDate[4] << " h,\nshould be: " << date[0] << "."
            << date[1] << "." << date[2] << ", " << date[3] << ":" << date[4] << " h.\n"
            << "[end-entry]";
      throw 36;
    }
  }
  const double f = file.getValue(inputColumn);
  if (month >= 1) file.next();
  return f > missingMark ? f : 0.0;
}
