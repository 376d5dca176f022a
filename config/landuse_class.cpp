#include "config/landuse_class.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "config/parameter_table_entry.h"
#include "core/diag_stream.h"

bool isLeapYear(long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

long dayOfYear(DiagStream* diag, long day, long month, long year) {
  static const int monthLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  long result = -1;
  if (month >= 1 && month <= 12 && day >= 1) {
    result = day;
    for (long m = 1; m < month; ++m) result += monthLengths[m - 1] + (m == 2 && isLeapYear(year));
  }
  if (result >= 1 && result <= 366) return result;
  if (diag)
    *diag << "FATAL: the date " << day << "." << month << "." << year
          << " has no valid day of the year (" << result << ")"
          << "[end-entry]";
  throw 150;
}

long landuse_class::dayOfYear(long day, long month, long year) const {
  return ::dayOfYear(diag, day, month, year);
}

void landuse_class::getSR_rough_coeff1(double& a, double& b, double& c) const {
  a = srRoughCoeff1[0];
  b = srRoughCoeff1[1];
  c = srRoughCoeff1[2];
}

void landuse_class::getSR_rough_coeff2(double& a, double& b, double& c) const {
  a = srRoughCoeff2[0];
  b = srRoughCoeff2[1];
  c = srRoughCoeff2[2];
}

void landuse_class::getSoilTillage(int& count, const int*& list) const {
  count = static_cast<int>(soilTillage.size()) - 1;
  list = soilTillage.data();
}

FixPointWeight landuse_class::fixPointWeight(long day, double shift, long yearLength) const {
  const int n = static_cast<int>(fixDays.size());
  if (n <= 1) return FixPointWeight{};
  const double first = fixDays.front();
  const double last = fixDays.back();
  const double year = static_cast<double>(yearLength);
  // The day on the fix points' own scale, within [first, first + year).
  double x = std::fmod(static_cast<double>(day) - shift - first, year);
  if (x < 0.0) x += year;
  x += first;
  if (x <= last) {
    const int upper =
        static_cast<int>(std::lower_bound(fixDays.begin(), fixDays.end(), x) - fixDays.begin());
    if (upper == 0) return FixPointWeight{};
    const double lowerDay = fixDays[upper - 1];
    return FixPointWeight{upper - 1, upper, (x - lowerDay) / (fixDays[upper] - lowerDay)};
  }
  // Across the year end, from the last fix point to the first of the next year.
  const double span = first + year - last;
  if (span <= 0.0) return FixPointWeight{n - 1, n - 1, 0.0};
  return FixPointWeight{n - 1, 0, (x - last) / span};
}

double landuse_class::parameterAt(LanduseParameter parameter, const FixPointWeight& weight) const {
  const std::vector<double>& values = parameters[static_cast<int>(parameter)];
  if (values.empty()) return 0.0;
  return (1.0 - weight.upperWeight) * values[weight.lower] +
         weight.upperWeight * values[weight.upper];
}

double landuse_class::elevationShift(double elevation) const {
  if (elevationShiftPer100m == 0.0 || elevation == nodata) return 0.0;
  return elevationShiftPer100m * (elevation - referenceElevation) / 100.0;
}

double landuse_class::phenologyShift(int layer, long row, long column) const {
  if (!dynamicPhenology || !phenologyStack || !phenologyStack[row]) return 0.0;
  return phenologyStack[row][column][layer];
}

double landuse_class::cellShift(int layer, long row, long column) const {
  double shift = phenologyShift(layer, row, column);
  if (elevationGrid && elevationGrid[row]) shift += elevationShift(elevationGrid[row][column]);
  return shift;
}

void landuse_class::setCellContext(Grid elevation, Stack phenology, double nodataValue) {
  elevationGrid = elevation;
  phenologyStack = phenology;
  nodata = nodataValue;
}

double landuse_class::valueByDate(LanduseParameter parameter, DiagStream* log, long day, long month,
                                  long year, double shift) const {
  const long doy = ::dayOfYear(log ? log : diag, day, month, year);
  const FixPointWeight weight = fixPointWeight(doy, shift, isLeapYear(year) ? 366 : 365);
  return parameterAt(parameter, weight);
}

double landuse_class::getNFactorByDate(DiagStream* log, long day, long month, long year) const {
  return valueByDate(LanduseParameter::NFactor, log, day, month, year, 0.0);
}

double landuse_class::getAlbedoByDate(double elevation, long day, long month, long year, long row,
                                      long column) const {
  return valueByDate(LanduseParameter::Albedo, diag, day, month, year,
                     elevationShift(elevation) + phenologyShift(1, row, column));
}

double landuse_class::getSR_StemDiameterByDate(DiagStream* log, long day, long month, long year,
                                               long row, long column) const {
  return valueByDate(LanduseParameter::SR_StemDiameter, log, day, month, year,
                     cellShift(1, row, column));
}

double landuse_class::getSR_ResidCovrgByDate(DiagStream* log, long day, long month, long year,
                                             int layer, long row, long column) const {
  return valueByDate(LanduseParameter::SR_ResidCovrg, log, day, month, year,
                     cellShift(layer, row, column));
}

double landuse_class::getRootDepthByDate(DiagStream* log, long day, long month, long year,
                                         int layer, long row, long column) const {
  return valueByDate(LanduseParameter::RootDepth, log, day, month, year,
                     cellShift(layer, row, column));
}

namespace {

constexpr double unbounded = std::numeric_limits<double>::max();

// A date-dependent parameter: its key, whether it must be given, its range
// and the value of every fix day when it is absent.
struct DatedKey {
  LanduseParameter parameter;
  const char* key;
  bool required;
  double lowest;
  double highest;
  double fallback;
};

// Upper bounds beyond every plant cover: no canopy has a leaf area index
// above 20, roots deeper than 100 m, a roughness length above 10 m or a
// resistance above 1e5 s/m (closed stomata).
const DatedKey datedKeys[] = {
    {LanduseParameter::LAI, "LAI", true, 0.0, 20.0, 0.0},
    {LanduseParameter::VCF, "VCF", true, 0.0, 1.0, 0.0},
    {LanduseParameter::RootDepth, "RootDepth", true, 0.0, 100.0, 0.0},
    {LanduseParameter::Albedo, "Albedo", true, 0.0, 1.0, 0.0},
    {LanduseParameter::Z0, "Z0", true, 0.0, 10.0, 0.0},
    {LanduseParameter::RSC, "RSC", true, 0.0, 1e5, 0.0},
    {LanduseParameter::RSI, "RSI", true, 0.0, 1e5, 0.0},
    {LanduseParameter::RSE, "RSE", true, 0.0, 1e5, 0.0},
    {LanduseParameter::NFactor, "NFactor", false, 0.0, 10.0, -9999.9},
    {LanduseParameter::SR_StemDiameter, "SR_StemDiameter", false, 0.0, unbounded, 0.0},
    {LanduseParameter::SR_ResidCovrg, "SR_ResidCovrg", false, 0.0, 1.0, 0.0}};

using Entry = ParameterTableEntry;

// A constant that the table may give; when given it must lie in the range.
double constant(const Entry& e, const char* key, double fallback, double lowest, double highest) {
  if (!e.has(key)) return fallback;
  const double value = e.number(key);
  Entry::requireRange(key, {value}, lowest, highest);
  return value;
}

double positiveConstant(const Entry& e, const char* key, double fallback) {
  if (!e.has(key)) return fallback;
  const double value = e.number(key);
  Entry::requireAbove(key, {value}, 0.0);
  return value;
}

int dayConstant(const Entry& e, const char* key, int fallback) {
  if (!e.has(key)) return fallback;
  const std::vector<double> value = e.numbers(key, 1);
  Entry::requireAscendingDays(key, value, 1.0, 366.0);
  return static_cast<int>(value[0]);
}

std::array<double, 3> coefficients(const Entry& e, const char* key, bool required) {
  std::array<double, 3> result = {0.0, 0.0, 0.0};
  if (!required && !e.has(key)) return result;
  const std::vector<double> values = e.numbers(key, 3);
  std::copy(values.begin(), values.end(), result.begin());
  return result;
}

} // namespace

void parseLanduseEntry(landuse_class& r, DiagStream* diag, const std::string& block,
                       const std::string& where) {
  try {
    const Entry e(block);
    const std::vector<double> days = e.numbers("FixDays", 0);
    Entry::requireAscendingDays("FixDays", days, 1.0, 366.0);
    r.fixDays.assign(days.size(), 0);
    std::transform(days.begin(), days.end(), r.fixDays.begin(),
                   [](double d) { return static_cast<int>(d); });
    const std::size_t n = days.size();
    for (const DatedKey& k : datedKeys) {
      std::vector<double> values = k.required
                                       ? e.numbers(k.key, n)
                                       : e.numbers(k.key, n, std::vector<double>(n, k.fallback));
      if (k.required || e.has(k.key)) Entry::requireRange(k.key, values, k.lowest, k.highest);
      r.parameters[static_cast<int>(k.parameter)] = std::move(values);
    }
    Entry::requireAbove("Z0", r.parameters[static_cast<int>(LanduseParameter::Z0)], 0.0);

    r.intercepCap = constant(e, "IntercepCap", -1.0, 0.0, unbounded);
    r.nfFreezing = constant(e, "nf_freezing", -9999.9, 0.0, unbounded);
    r.nfThawing = constant(e, "nf_thawing", -9999.9, 0.0, unbounded);
    r.rootDist = constant(e, "RootDist", 1.0, -unbounded, unbounded);
    r.hReduDry = constant(e, "HReduDry", 3.45, 0.0, unbounded);
    r.tReduWet = constant(e, "TReduWet", 0.95, 0.0, 1.0);
    r.limitReduWet = constant(e, "LimitReduWet", 0.5, 0.0, 1.0);
    r.etpHamonFactor = constant(e, "ETPHamonFactor", 1.0, 0.0, unbounded);

    r.srCultivation = e.integer("SR_cultivation", 0);
    r.srKST = positiveConstant(e, "SR_K_ST", 10.0);
    r.srCWR = constant(e, "SR_C_WR", 1.5, 0.0, unbounded);
    r.srCropDistX = positiveConstant(e, "SR_CropDistX", 0.1);
    r.srCropDistY = positiveConstant(e, "SR_CropDistY", 0.3);
    r.srRoughCoeff1 = coefficients(e, "SR_rough_coeff1", r.srCultivation == 1);
    r.srRoughCoeff2 = coefficients(e, "SR_rough_coeff2", r.srCultivation == 1);

    r.soilTillage = {-9999};
    if (e.has("SoilTillage")) {
      const std::vector<double> tillage = e.numbers("SoilTillage", 0);
      Entry::requireAscendingDays("SoilTillage", tillage, 1.0, 366.0);
      r.soilTillage = {static_cast<int>(tillage.back()) - 366};
      for (double d : tillage) r.soilTillage.push_back(static_cast<int>(d));
    }

    r.vegStart = dayConstant(e, "VegStart", 1);
    r.vegStop = dayConstant(e, "VegStop", 365);
    if (r.vegStop < r.vegStart)
      throw Entry::Fault{"value out of range for \"VegStop\": " + std::to_string(r.vegStop) +
                         " lies before \"VegStart\" " + std::to_string(r.vegStart)};
    r.elevationShiftPer100m = constant(e, "ElevationShift", 0.0, -unbounded, unbounded);
    r.referenceElevation = constant(e, "ReferenceElevation", 0.0, -unbounded, unbounded);
    const int dynamic = e.integer("DynamicPhenology", 0);
    Entry::requireRange("DynamicPhenology", {static_cast<double>(dynamic)}, 0.0, 1.0);
    r.dynamicPhenology = dynamic == 1;
    // Plants start to grow between -10 and 30 degrees C; no spring sums more
    // than 10000 degree days.
    r.phenoBaseTemp = constant(e, "PhenoBaseTemp", 5.0, -10.0, 30.0);
    r.phenoSearchStart = dayConstant(e, "PhenoSearchStart", 1);
    if (r.dynamicPhenology) {
      r.phenoStartSum = e.number("PhenoStartSum");
      Entry::requireAbove("PhenoStartSum", {r.phenoStartSum}, 0.0);
      Entry::requireRange("PhenoStartSum", {r.phenoStartSum}, 0.0, 10000.0);
    } else {
      r.phenoStartSum = constant(e, "PhenoStartSum", 0.0, 0.0, 10000.0);
    }
    e.requireAllKeysKnown();
  } catch (const Entry::Fault& fault) {
    reportTableEntryFault(diag, where, r.name, fault.reason, 51);
  }
}
