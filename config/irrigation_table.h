#pragma once

#include <string>
#include <vector>

class DiagStream;

// How an irrigation type decides when to irrigate.
enum IrrigationMethod {
  irrigationByDatedAmounts = 1, // a table of dated amounts
  irrigationBySchedule = 2,     // a schedule written as text
  irrigationBySuction = 3,      // demand: suction thresholds psi_dry / psi_wet
  irrigationByEtrEtpRatio = 4   // demand: ratio of real to potential evapotranspiration
};

// Where the irrigation water comes from.
enum IrrigationOrigin { irrigationFromGroundwater = 1, irrigationFromSurfaceWater = 2 };

// One irrigation event of a schedule; the year is not part of the date.
struct IrrigationPoint {
  long month = 0;
  long day = 0;
  double amount = 0.0; // mm/day
};

// One irrigation type of "[irrigation_table]". In a table, record 0 holds
// only the number of types in `code`; records 1 .. n are the types in the
// order of the section.
struct IrrigationRecord {
  int code = 0;
  std::string name;
  int method = 0;         // IrrigationMethod
  int origin = 0;         // IrrigationOrigin
  double psiDry = 0.0;    // suction at which irrigation starts
  double psiWet = 0.0;    // suction at which irrigation ends
  double minEtrEtp = 0.0; // method 4: irrigation starts below this ETR/ETP
  // Methods 1 and 2: the dated points; point i (1 .. tabcnt) is points[i - 1].
  std::vector<IrrigationPoint> points;

  int tabcnt() const { return static_cast<int>(points.size()); }
  // The amount in mm/day of the first point dated month/day, 0 without one.
  double scheduledAmount(long month, long day) const;
};

using IrrigationTable = std::vector<IrrigationRecord>;

// Appends the points of the schemes of a schedule text
//   "starting from MM DD with XX mm to MM DD with YY mm every ZZ day"
//   "starting from MM DD with XX mm AA times every ZZ days"
// using the month lengths of monthDays (January first). Returns false when
// the text does not follow the syntax; a scheme of neither kind is logged
// before.
bool parseIrrigationSchedule(const std::string& text, const int monthDays[12], DiagStream& diag,
                             std::vector<IrrigationPoint>& points);
