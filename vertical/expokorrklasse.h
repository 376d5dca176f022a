#pragma once

#include <string>

#include "submodel/teilmodellklasse.h"

// Radiation and temperature correction for slope, aspect and the shadows of
// the terrain, from the section "[radiation_correction]":
//
//   1                   flow control parameter (0 off)
//   60                  time interval in minutes
//   2                   method: 1 slope and aspect with shading, 2 the same
//                       with corr_temperature, 3 slope and aspect alone,
//                       4 the same with corr_temperature; others count as 2
//   tkorr.asc           file of "corr_temperature"
//   0                   its write code
//   2.0                 scaling factor c of the temperature (K)
//   exkorr.asc          file of "radiation_correction"
//   0                   its write code
//   shadow.asc          file of "Shadow"
//   0                   its write code
//   1                   N: the correction is computed every N-th step
//   4                   M: sub-intervals per step
//
// Every computing step it sums the clear-sky direct radiation of the
// sub-intervals on a horizontal plane and on every cell's slope; their ratio
// is "radiation_correction", the slope's sum "Ieff_max" (Wh/m2). Shading,
// computed on rank 0 from the whole elevation model, is off while spin-up
// response units are in use. "corr_temperature" = T + c ln(ratio) s, s the
// relative sunshine duration (0.5 without "sunshine_duration"), a ratio
// below 0.2 counting as 0.2; it follows the temperature every step, the
// ratio of the last computing step kept. "temperature_night" is a copy of
// the temperature (the first of "temperature", "temperature_14"), also when
// the module is off, unless a grid of that name is given as input.
class expokorrklasse : public teilmodellklasse {
public:
  // Never throws: errorCode is 0, the exit code of a failure, or 103.
  expokorrklasse(const ModelContext& context, int& errorCode);
  // Frees the grids without writing; the registry must still exist.
  ~expokorrklasse() override;

  // Unregisters and frees the module's grids, then the base's teardown.
  void releaseModule() override;
  // The step of the date: the copy into "temperature_night", every N-th step
  // the correction, every step "corr_temperature" and the outputs. Collective
  // while the module is on.
  virtual void correctRadiation(long minute, long hour, long day, long month, long year);
  // "radiation_correction" when the flow control is 1, else null.
  virtual Grid getRadiationCorrection() const;

  // Whether the module registered a grid: it is on, or it owns
  // "temperature_night". A module without grids has nothing to do.
  bool hasOwnGrids() const { return radiationCorrection || temperatureNight; }
  // Whether "temperature_night" is this module's copy of the temperature,
  // which Penman-Monteith moves to the night by the day's amplitude.
  bool copiesNightTemperature() const { return temperatureNight != nullptr; }

private:
  // --- construction (vertical/expokorrklasse.cpp) ------------------------------
  void readSection();
  void checkCount(int value, const char* label);
  void closeSection();
  void findInputGrids();
  void registerCorrectionGrids();
  void registerOwnGrid(const std::string& file, const std::string& name, long writeCode, Grid& grid,
                       int& index, bool wholeOnRoot = false);
  void releaseOwnGrid(Grid& grid, int& index, bool wholeOnRoot = false);
  void releaseOwnGrids();

  // --- the step (vertical/expokorrklasse_step.cpp) -----------------------------
  void copyNightTemperature();
  void computeCorrection(long minute, long hour, long day, long month);
  void resetShadow();
  void castShadows(double azimuth, double elevation);
  void addSlopeRadiation(bool night, double beam, double azimuth, double zenith);
  void divideSums();
  void correctTemperature();
  void writeResults(bool computed);

  int method = 2;
  bool shading = false; // methods 1 and 2 without response units
  std::string correctedTemperatureFile;
  std::string correctionFile;
  std::string shadowFile;
  int correctedTemperatureWriteCode = 0;
  int correctionWriteCode = 0;
  int shadowWriteCode = 0;
  double temperatureScale = 0.0; // c
  int stepsPerComputation = 1;   // N
  int subintervals = 1;          // M
  int stepCounter = 1;           // starts at N: the first step computes
  // The last computing step's horizontal sum; without sun the temperature
  // is not lowered.
  double horizontalSum = 0.0;

  OwnCells cells;      // the cells of the correction
  OwnCells nightCells; // those of the copy: master cells only with response units
  long heldFirst = 1;  // rows of the module's grids
  long heldLast = 0;
  bool shadowWhole = false; // rank 0 casts the shadows over every row

  Grid elevation = nullptr; // "[elevation_model]"
  Grid aspect = nullptr;    // "slope_aspect", degrees clockwise from north
  Grid slope = nullptr;     // "slope_angle", degrees
  Grid sunshine = nullptr;  // "sunshine_duration" (0 .. 1), optional
  Grid temperature = nullptr;

  Grid radiationCorrection = nullptr;
  Grid shadow = nullptr;
  Grid effectiveRadiation = nullptr; // "Ieff_max"
  Grid correctedTemperature = nullptr;
  Grid temperatureNight = nullptr;
  int radiationCorrectionIndex = -1;
  int shadowIndex = -1;
  int effectiveRadiationIndex = -1;
  int correctedTemperatureIndex = -1;
  int temperatureNightIndex = -1;
};
