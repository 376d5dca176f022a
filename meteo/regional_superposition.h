#pragma once

#include <string>
#include <vector>

#include "meteo/elevation_regression.h"
#include "submodel/teilmodellklasse.h"

// One rule of the regional superposition: in the months first .. last
// (wrapping past December when first > last) the target grid gets, on every
// cell, the sum over the regions near the cell of W_i * v(R_i) added or
// multiplied, v being the rule's value of a region (0 for add and 1 for
// mul where the rule names no value).
struct cSuperposition {
  std::string target;
  bool multiply = false;
  int firstMonth = 1;
  int lastMonth = 12;
  std::vector<double> valueOfCode; // by region code; codes beyond hold the neutral value
  int targetIndex = 0;             // registry entry, found at the first step

  bool appliesIn(long month) const {
    return firstMonth <= lastMonth ? month >= firstMonth && month <= lastMonth
                                   : month >= firstMonth || month <= lastMonth;
  }
  double valueOf(double code) const {
    const long k = static_cast<long>(code);
    const double neutral = multiply ? 1.0 : 0.0;
    return k > 0 && k < static_cast<long>(valueOfCode.size()) ? valueOfCode[k] : neutral;
  }
};

// Regional superposition: seasonal corrections of grids per regression
// region, blended near the region borders with the region weights, from the
// optional section "[RegionalSuperposition]":
//
//   1            flow control parameter (0 off)
//   60           time interval in minutes
//   2            number of rules
//   temperature add 6 8 1:0.5 2:-0.3      target, add or mul, first and
//   precipitation mul 11 3 1:1.1 2:0.9    last month, region code:value ...
//
// Faults of the rules, also a missing or unreadable line, end the run with
// code 77.
class RegionalSuperposition : public teilmodellklasse {
public:
  // Never throws: errorCode is 0, the exit code of a failure, or 103.
  RegionalSuperposition(const ModelContext& context, int& errorCode);

  // Applies the rules of the date's month to their target grids, on the
  // strip rows and the halo rows next to them. Called every step after the
  // interpolation, before the output of the interpolated grids: a step
  // without station values interpolates the values before it again.
  virtual void superpose(long minute, long hour, long day, long month, long year);

  const std::vector<cSuperposition>& getRules() const { return rules; }
  // The values the statistics of the targets may hold (GridValueRange), once
  // the modules before it in a step widened them.
  void widenTargetRanges();

private:
  void readRules();
  cSuperposition parseRule(const std::vector<std::string>& words, long k);
  [[noreturn]] void ruleFault(long k, const std::string& what);
  void findTargets();
  void apply(const cSuperposition& rule);

  std::vector<cSuperposition> rules;
  RegionGrids regions;
  bool targetsFound = false;
};
