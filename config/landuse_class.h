#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/grid_types.h"

class DiagStream;

// Land-use parameters that change over the year, given at the fix days.
enum class LanduseParameter {
  LAI,
  VCF,
  RootDepth,
  Albedo,
  Z0,
  RSC,
  RSI,
  RSE,
  NFactor,
  SR_StemDiameter,
  SR_ResidCovrg
};
constexpr int landuseParameterCount = 11;

// Where a day lies between two fix points: the value is
// (1 - upperWeight) * value[lower] + upperWeight * value[upper].
struct FixPointWeight {
  int lower = 0;
  int upper = 0;
  double upperWeight = 0.0;
};

bool isLeapYear(long year);
// Day of the year with February of the year's own length. An invalid date
// (month outside 1..12, day below 1, or a result above 366) ends the run
// with code 150.
long dayOfYear(DiagStream* diag, long day, long month, long year);

// One record of the land-use table. Record 0 of the table holds the number
// of records in its code field. Every lookup is const and touches no shared
// state, so that the sub-models may call them from their threads.
class landuse_class {
public:
  int getCode() const { return code; }
  void setCode(int value) { code = value; }
  const std::string& getName() const { return name; }
  void setName(const std::string& value) { name = value; }
  // The log of the failures of the lookups that take none.
  void setDiag(DiagStream* stream) { diag = stream; }

  double getETPHamonFactor() const { return etpHamonFactor; }
  double getIntercepCap() const { return intercepCap; }
  double getRootDist() const { return rootDist; }
  double getHReduDry() const { return hReduDry; }
  double getTReduWet() const { return tReduWet; }
  double getLimitReduWet() const { return limitReduWet; }
  double getNfFreezing() const { return nfFreezing; }
  double getNfThawing() const { return nfThawing; }

  // The n-factor of the date, not shifted; -9999.9 when not configured.
  double getNFactorByDate(DiagStream* log, long day, long month, long year) const;
  // The albedo of the date at a cell of the given elevation, with the
  // phenology shift of the cell's layer 1.
  double getAlbedoByDate(double elevation, long day, long month, long year, long row,
                         long column) const;

  int getSR_cultivation() const { return srCultivation; }
  double getSR_K_ST() const { return srKST; }
  double getSR_C_WR() const { return srCWR; }
  double getSR_CropDistX() const { return srCropDistX; }
  double getSR_CropDistY() const { return srCropDistY; }
  void getSR_rough_coeff1(double& a, double& b, double& c) const;
  void getSR_rough_coeff2(double& a, double& b, double& c) const;
  // Layer 1's shift of the cell (row, column).
  double getSR_StemDiameterByDate(DiagStream* log, long day, long month, long year, long row,
                                  long column) const;
  double getSR_ResidCovrgByDate(DiagStream* log, long day, long month, long year, int layer,
                                long row, long column) const;
  // The root depth (m) of the date for the layer at the cell, shifted as the
  // land-use parameter grids shift it.
  double getRootDepthByDate(DiagStream* log, long day, long month, long year, int layer, long row,
                            long column) const;
  // Entries 1..count hold the tillage days in ascending order, entry 0 the
  // last day minus 366; without tillage the list is {-9999} and count 0.
  void getSoilTillage(int& count, const int*& list) const;

  long dayOfYear(long day, long month, long year) const;

  // --- fix points and phenology -------------------------------------------------
  // The fix points bracketing the day of the year shifted back by `shift`
  // days, cyclic over a year of yearLength days.
  FixPointWeight fixPointWeight(long day, double shift, long yearLength) const;
  double parameterAt(LanduseParameter parameter, const FixPointWeight& weight) const;
  // Days by which the fix points move at a cell of this elevation.
  double elevationShift(double elevation) const;
  // Elevation shift plus, with dynamic phenology, the phenology shift of the
  // layer at the cell (from the grids set by setCellContext).
  double cellShift(int layer, long row, long column) const;
  // The elevation model and the phenology stack (level k: shift of layer k)
  // that the lookups by row and column read; either may be null.
  void setCellContext(Grid elevation, Stack phenology, double nodata);

  int getVegStart() const { return vegStart; }
  int getVegStop() const { return vegStop; }
  bool hasDynamicPhenology() const { return dynamicPhenology; }
  double getPhenoBaseTemp() const { return phenoBaseTemp; }
  double getPhenoStartSum() const { return phenoStartSum; }
  int getPhenoSearchStart() const { return phenoSearchStart; }
  // True when the fix points move with elevation or phenology.
  bool isShifted() const { return elevationShiftPer100m != 0.0 || dynamicPhenology; }

  friend void parseLanduseEntry(landuse_class& record, DiagStream* diag, const std::string& block,
                                const std::string& where);

private:
  double phenologyShift(int layer, long row, long column) const;
  double valueByDate(LanduseParameter parameter, DiagStream* log, long day, long month, long year,
                     double shift) const;

  int code = 0;
  std::string name;
  DiagStream* diag = nullptr;

  std::vector<int> fixDays;
  std::array<std::vector<double>, landuseParameterCount> parameters;

  double etpHamonFactor = 1.0;
  double intercepCap = -1.0;
  double rootDist = 1.0;
  double hReduDry = 3.45;
  double tReduWet = 0.95;
  double limitReduWet = 0.5;
  double nfFreezing = -9999.9;
  double nfThawing = -9999.9;

  int srCultivation = 0;
  double srKST = 10.0;
  double srCWR = 1.5;
  double srCropDistX = 0.1;
  double srCropDistY = 0.3;
  std::array<double, 3> srRoughCoeff1 = {0.0, 0.0, 0.0};
  std::array<double, 3> srRoughCoeff2 = {0.0, 0.0, 0.0};
  std::vector<int> soilTillage = {-9999};

  int vegStart = 1;
  int vegStop = 365;
  double elevationShiftPer100m = 0.0;
  double referenceElevation = 0.0;
  bool dynamicPhenology = false;
  double phenoBaseTemp = 5.0;
  double phenoStartSum = 0.0;
  int phenoSearchStart = 1;

  Grid elevationGrid = nullptr;
  Stack phenologyStack = nullptr;
  double nodata = -9999.0;
};

// Fills a record from the keys of its brace block; where names the entry
// ("[landuse_table], entry 3"). Failures are logged and thrown as 51.
void parseLanduseEntry(landuse_class& record, DiagStream* diag, const std::string& block,
                       const std::string& where);
