#pragma once

#include <string>

#include "core/grid_types.h"

// Names of the files that the output of registered grids writes. Each is
// built from a registered file name: its directory part (up to and including
// the last '/') is kept, and a suffix or time stamp is put behind the prefix
// of its base (the text after the last '/', with '.' appended when it has
// none, up to its first '.').
struct OutputName {
  std::string directory;
  std::string base;
  std::string prefix;
};

OutputName splitOutputName(const std::string& fileName);

// directory + prefix + suffix, e.g. "out/tempr.grd" and ".sum" give
// "out/tempr.sum".
std::string outputFileName(const std::string& fileName, const std::string& suffix);

// A grid written at a date: prefix_YYYYMMDD.HHMM, followed by _NNN when the
// same stamp is written for the repeat-th time (repeat > 0).
std::string timeStampedGridName(const std::string& fileName, const ModelDate& date, long repeat);

// A stack written at a date: prefix_YYYYMMDD.HHH, and _NNN as for grids.
std::string timeStampedStackName(const std::string& fileName, const ModelDate& date, long repeat);

// The name of a sum (statMode 1 to 4) or mean (5 to 8) grid written at the
// end of its period: .sum / .mit over the run, _YY00 over a year (year modulo
// 100), _YYYYMM over a month, _YYMM.DDs / m over a day.
std::string periodStatisticsName(const std::string& fileName, int statMode, const ModelDate& date);

// The name of a vegetation-period sum (mode 1) or mean (mode 2):
// prefix_00YY_vegper.sum / .mit with the year modulo 100.
std::string vegetationPeriodName(const std::string& fileName, int mode, long year);
