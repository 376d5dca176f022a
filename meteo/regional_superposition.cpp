#include "meteo/regional_superposition.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "core/diag_stream.h"
#include "meteo/section_lines.h"

namespace {

constexpr int superpositionCode = 77;
constexpr int controlFileFaultCode = 17;
constexpr long maxRegionCode = 32767;
constexpr double largestFactor = 10.0;
constexpr double largestAddend = 1000.0;

} // namespace

RegionalSuperposition::RegionalSuperposition(const ModelContext& context, int& errorCode)
    : teilmodellklasse(context, "RegionalSuperposition") {
  errorCode = catchModuleFailure([&] {
    if (getFlowControl() == 0) return;
    readRules();
    closeControlFile();
    regions = findRegionGrids(*this);
  });
}

// An interpolated grid goes to its output superposed: its values lie
// within the interpolation's limits times the blend of the rule's values,
// whose weights sum to 1 (add: plus the blend).
void RegionalSuperposition::widenTargetRanges() {
  if (getFlowControl() == 0 || routingOnly) return;
  for (std::size_t k = 0; k < rules.size(); ++k) {
    const cSuperposition& rule = rules[k];
    const int index = findGrid(rule.target, 1);
    if (index <= 0) continue;
    const double neutral = rule.multiply ? 1.0 : 0.0;
    double low = neutral;
    double high = neutral;
    for (double v : rule.valueOfCode) {
      low = std::min(low, v);
      high = std::max(high, v);
    }
    std::ostringstream what;
    what << (rule.multiply ? "the factor " : "the amount ") << low << " ... " << high << " of rule "
         << k + 1 << " of " << sectionHeader;
    GridValueRange& range = registry[index].valueRange;
    if (rule.multiply)
      range.scale(low, high, what.str());
    else
      range.shift(low, high, what.str());
  }
}

void RegionalSuperposition::readRules() {
  // A count or a rule line that is missing or unreadable is a fault of the
  // rules as well, reported with the section's line and ended with its code.
  try {
    SectionLines lines(*this, controlFile, controlFileName, sectionHeader);
    lines.next("number of rules of the regional superposition");
    const long count = lines.integer(0, "number of rules of the regional superposition");
    if (count < 0) ruleFault(0, "the number of rules (" + std::to_string(count) + ") is negative");
    for (long k = 1; k <= count; ++k)
      rules.push_back(
          parseRule(lines.next("rule " + std::to_string(k) + " of " + sectionHeader), k));
  } catch (int code) {
    throw code == controlFileFaultCode ? superpositionCode : code;
  }
}

void RegionalSuperposition::ruleFault(long k, const std::string& what) {
  *diag << "FATAL: error in control file, section " << sectionHeader;
  if (k > 0) *diag << ", rule " << k;
  *diag << ": " << what << "[end-entry]";
  throw superpositionCode;
}

// <target grid> <add|mul> <first month> <last month> <region code>:<value> ...,
// then free text.
cSuperposition RegionalSuperposition::parseRule(const std::vector<std::string>& words, long k) {
  if (words.size() < 5)
    ruleFault(k, "a rule needs a target grid, add or mul, two months and at "
                 "least one region code:value");
  cSuperposition rule;
  rule.target = words[0];
  if (words[1] != "add" && words[1] != "mul")
    ruleFault(k, "the operation \"" + words[1] + "\" is neither add nor mul");
  rule.multiply = words[1] == "mul";
  long months[2] = {0, 0};
  for (int i = 0; i < 2; ++i)
    if (!parseWholeNumber(words[2 + i], months[i]) || months[i] < 1 || months[i] > 12)
      ruleFault(k, "the month \"" + words[2 + i] + "\" is not one of 1 .. 12");
  rule.firstMonth = static_cast<int>(months[0]);
  rule.lastMonth = static_cast<int>(months[1]);
  std::vector<std::pair<long, double>> pairs;
  for (std::size_t i = 4; i < words.size(); ++i) {
    const std::string& w = words[i];
    const std::size_t colon = w.find(':');
    if (colon == std::string::npos) break; // the free text begins
    long code = 0;
    double value = 0.0;
    if (!parseWholeNumber(w.substr(0, colon), code) || !parseNumber(w.substr(colon + 1), value) ||
        code < 1 || code > maxRegionCode)
      ruleFault(k, "\"" + w + "\" is no region code (1 .. 32767) and value as code:value");
    // A negative factor turns rain into evaporation; 10 times a field is
    // no correction any more.
    if (rule.multiply && !(value >= 0.0 && value <= largestFactor))
      ruleFault(k, "the factor of \"" + w + "\" must be 0 ... 10");
    if (!rule.multiply && !(std::fabs(value) <= largestAddend))
      ruleFault(k, "the value added by \"" + w + "\" must be -1000 ... 1000");
    for (const auto& p : pairs)
      if (p.first == code) ruleFault(k, "region " + std::to_string(code) + " is given twice");
    pairs.push_back({code, value});
  }
  if (pairs.empty()) ruleFault(k, "the rule gives no region code:value");
  long highest = 0;
  for (const auto& p : pairs) highest = std::max(highest, p.first);
  rule.valueOfCode.assign(static_cast<std::size_t>(highest) + 1, rule.multiply ? 1.0 : 0.0);
  for (const auto& p : pairs) rule.valueOfCode[static_cast<std::size_t>(p.first)] = p.second;
  return rule;
}

// The targets may be grids of modules built after this one.
void RegionalSuperposition::findTargets() {
  for (std::size_t k = 0; k < rules.size(); ++k) {
    cSuperposition& rule = rules[k];
    rule.targetIndex = findGrid(rule.target, 1);
    if (rule.targetIndex == 0 || !registry[rule.targetIndex].grid)
      ruleFault(static_cast<long>(k + 1), "there is no grid " + rule.target + " to superpose");
  }
  targetsFound = true;
}

void RegionalSuperposition::superpose(long minute, long hour, long day, long month, long year) {
  reportModelTime(minute, hour, day, month, year);
  if (getFlowControl() == 0 || routingOnly) return;
  if (!targetsFound) findTargets();
  for (const cSuperposition& rule : rules)
    if (rule.appliesIn(month)) apply(rule);
}

void RegionalSuperposition::apply(const cSuperposition& rule) {
  const GridRegistryEntry& entry = registry[rule.targetIndex];
  const GridRegistryEntry& zoneEntry = registry[1];
  const long first = std::max({1L, header.firstRow - 1, entry.firstRow, zoneEntry.firstRow});
  const long last = std::min({header.nrows, header.lastRow + 1, entry.lastRow, zoneEntry.lastRow});
  Grid target = entry.grid;
  Grid zone = zoneEntry.grid;
  const double nodata = header.nodata;
  const long ncols = header.ncols;
  const RegionGrids& g = regions;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r) {
    for (long c = 1; c <= ncols; ++c) {
      if (zone[r][c] == nodata || target[r][c] == nodata || g.weight[0][r][c] == nodata) continue;
      double s = g.weight[0][r][c] * rule.valueOf(g.region[0][r][c]);
      for (int i = 1; i < 3; ++i)
        if (g.region[i] && g.region[i][r][c] > 0.0)
          s += g.weight[i][r][c] * rule.valueOf(g.region[i][r][c]);
      target[r][c] = rule.multiply ? target[r][c] * s : target[r][c] + s;
    }
  }
}
