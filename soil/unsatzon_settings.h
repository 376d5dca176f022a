#pragma once

#include <string>

// What "[unsatzon_model]" and its optional sections configure, as read.

// A statistics line ("%s%d"): the file name and the statistic code.
struct StatisticFile {
  std::string name;
  int code = 0;
};

// A grid or stack line: the file name and, on the next line, the write code.
struct NamedOutput {
  std::string name;
  long writeCode = 0;
};

// The statistics lines, in the order of the section; SUBSTEPS (method 3)
// comes after the storage file name, "_immo" is derived from SB_2_.
enum UnsatStatistic {
  statQDRAIN,
  statGWSTAND,
  statGWN,
  statSB_1,
  statSB_2,
  statROOT,
  statINFEX,
  statPOND,
  statQD,
  statQI,
  statQB,
  statQg,
  statGWIN,
  statGWEX,
  statMACRO,
  statINFILT,
  statSUBSTEPS,
  statImmo,
  statTemper, // the thaw depth, with heat transfer
  unsatStatisticCount
};

// The grid and stack lines, in the order of the section; SUBSTEPS (method 3)
// comes last.
enum UnsatGridLine {
  lineSB05,
  lineSB1_,
  lineWURZ,
  lineTheta,
  lineHh,
  lineHgeo,
  lineQUnten,
  lineGWSTAND,
  lineGWtheta,
  lineGWN,
  lineGWLEVEL,
  lineQDRAIN,
  lineSaturation,
  lineInfiltrationExcess,
  lineQD,
  lineQI,
  lineDELTAGW,
  lineGWIN,
  lineGWEX,
  linePOND,
  lineGWNUprise,
  lineGWNPercol,
  lineMacropore,
  lineIRRIG,
  lineSUBSTEPS,
  unsatGridLineCount
};

// The single-point files of the control point, in the order of the section.
enum UnsatPointFile {
  pointQbottom,
  pointTheta,
  pointHhyd,
  pointOtherdata,
  pointEtrDetail,
  pointInterflow,
  unsatPointFileCount
};

// The model constants of "[heat_transfer]", in the order of the section.
enum HeatConstant {
  dTModLowBoundBase,    // deg C: temperature below the column at elevation 0
  dTModLapseRate,       // K/m: its change with the elevation
  dTModCDrySoil,        // J/(kg K)
  dTModRhoDrySoil,      // kg/m^3
  dTModLamDrySoil,      // W/(m K)
  dTModKmin,            // minimum conductivity of frozen soil
  dTModLamWat,          // W/(m K)
  dTModLamIce,          // W/(m K)
  dTModCWater,          // J/(kg K)
  dTModCIce20,          // J/(kg K) of ice at -20 deg C; not used
  dTModCIce0,           // J/(kg K) of ice at 0 deg C
  dTModLatHeat,         // J/kg
  dTModRhoWater,        // kg/m^3
  dTModFactor,          // m/K: suction of the unfrozen water per K below 0 deg C
  dTModSEForStat,       // not used
  dTModShortestStep,    // s
  dTModLongestStep,     // s
  dTModNFactorFreezing, // n-factors of land uses that give none
  dTModNFactorThawing
};

// "[heat_transfer]": the switch, the method and the model constants named
// after their keys, then the outputs of the heat model.
struct HeatTransferSettings {
  static constexpr int constantCount = 19;
  int active = 0;
  int method = 0;
  double constants[constantCount] = {};
  std::string temperatureFile;
  StatisticFile statistic;
  NamedOutput temperatureStack;
  NamedOutput thawDepthGrid;
  NamedOutput seStack;
};

struct UnsatzonSettings {
  int method = 0;                   // 2 fixed, 3 dynamic time step
  int interaction = 0;              // surface-water interaction
  int pond = 0;                     // 1: "max_ponding_storage" is used
  int drainage = 0;                 // 1: "drainage_depth" and "drainage_distance"
  int clay = 0;                     // 1: "clay_depth"
  double clayKsat = 0.0;            // m/s
  double initialTableDivisor = 0.0; // ini_gw_level
  StatisticFile statistics[unsatStatisticCount];
  NamedOutput grids[unsatGridLineCount];
  long controlRow = 0; // 0 0: no control point
  long controlColumn = 0;
  std::string pointFiles[unsatPointFileCount];
  int readGrid = 0;         // 0 computed, 1 files and state file, 2 table only, 3 files
  std::string storageFile;  // with "_" and the rank
  double minimumStep = 0.0; // seconds, method 3

  // "[unsatzon_tuning]"
  double maxError = 1e-5;
  double maxIterations = 100.0;
  // "[permafrost]": conductivity below the thaw depth, m/s
  double reducedKsat = 1e-9;
  HeatTransferSettings heat;
};
