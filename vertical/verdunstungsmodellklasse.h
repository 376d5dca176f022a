#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "submodel/response_unit_copies.h"
#include "submodel/teilmodellklasse.h"
#include "vertical/zone_series.h"

// Evapotranspiration from the section "[evapotranspiration]", one entry a
// line, each followed by free text:
//
//   1                   flow control parameter (0 off)
//   60                  time interval in minutes
//   1                   method: 1 Penman-Monteith, 2 Hamon, 3 Wendling,
//                       4 Haude; 2 to 4 only with one vegetation layer
//   0.9 0.9 ... (12)    PEC of Hamon, January to December
//   0.3 0.3 ... (12)    fh of Haude, January to December
//   0.5                 fk, the coast factor of Wendling
//   etp.asc / 0 / etp.stat 1001
//                       file, write code, statistics file and code of the
//                       potential transpiration (layer 0: the sum), then
//                       the same for the real evapotranspiration (layer 0:
//                       the total), the potential and the real soil
//                       evaporation, the snow evaporation (file, write code,
//                       statistics each), the potential interception
//                       evaporation (file, write code, statistics) and the
//                       statistics of the corrected global radiation
//   0.25 0.5 0.25 0     CR: RG/RG0 = CR0 + CR1 s + CR2 s^2 + CR3 s^3 of the
//                       relative sunshine duration s; CR0 the diffuse part
//   0.072 -0.808 1.749 -0.239
//                       CS: s = CS0 + CS1 r + CS2 r^2 + CS3 r^3 of the ratio
//                       r of global to clear-sky radiation
//   0.7 0.05            transmissivity tau0 + tau1 cos(2 pi d / 365)
//   1500                altitude scale H of the daily temperature amplitude (m)
//   6 7 ... (12)        monthly daily temperature amplitudes A (K)
//   0.6 0.2             day share fd of the amplitude, annual variability
//   cloud.stat 1001     statistics of the cloudiness (optional)
//   HamonCorrectionOpenWater = 1.2   (optional; factor of Hamon on lakes)
//
// Per layer k (0 the totals, 1 .. L from the top) it registers
// "pot_transpiration<k>", "real_transpiration<k>" and
// "potential_InterceptionEvap<k>"; layer files insert "_Layer_<k>" before
// the extension. Every step it computes the potentials, takes snow
// evaporation from the snow cover, and after the soil's sub-steps totals
// the real evapotranspiration that the soil wrote.
class verdunstungsmodellklasse : public teilmodellklasse {
public:
  // Never throws: errorCode is 0, the exit code of a failure, or 103.
  verdunstungsmodellklasse(const ModelContext& context, int& errorCode);
  // Frees the grids without writing; the registry must still exist.
  ~verdunstungsmodellklasse() override;

  void setSubsteps(unsigned count) override;
  void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                   StatisticTableEntry* statisticTable, long tableSize) override;
  void freeTracers() override;
  // Writes what the statistics hold, unregisters and frees the grids, then
  // the base's teardown.
  void releaseModule() override;

  // Appends the buffered lines of every statistics series.
  virtual void flushStatistics();
  // Real roots of x^2 + p x + q = 0, x1 <= x2; returns their number (a
  // double root counts once, both outputs hold it; none: both 0).
  virtual int solveQuadratic(double p, double q, double& x1, double& x2) const;
  // Saturation vapour pressure (hPa) over water at t degrees Celsius.
  virtual double saturationVapourPressure(double t) const;

  // The per-cell values of one Penman-Monteith cell that pass from layer to
  // layer.
  struct Canopy {
    double sunshine = 0.0; // relative sunshine duration s
    double albedo = 0.0;
    double netShortwave = 0.0;  // Rs (Wh/m2)
    double netRadiation = 0.0;  // RN of the step when it is the input (Wh/m2)
    double leafAreaAbove = 0.0; // of the computed layers above
    double topResistance = 0.0; // ra of the top layer (s/m)
    double remaining[2] = {};   // energy passed down, night and day part (mm)
    int top = 0;                // the first and the last computed layer
    int lowest = 0;
  };
  // Transpiration (mm) of layer k for the night (part 0) or day part (1)
  // that covers the fraction f of the step, at temperature t; the soil
  // evaporation of the lowest layer and the interception evaporation.
  virtual double penmanMonteithLayer(double t, int k, long row, long column, int part, double f,
                                     Canopy& canopy, double& soilEvaporation,
                                     double& interceptionEvaporation) const;

  // The bucket's storage grids "soil_storage" (0 .. 1) and
  // "available_soil_moisture" (mm), both required.
  virtual void setSoilStorageGrids();
  // Hand-overs of the driver; they return the flow control parameter.
  virtual int setSnowStorageGrid(Grid grid);
  virtual int setRadiationCorrectionGrid(Grid grid);
  // "temperature_night" is an input that holds the night's temperature
  // already: the day's amplitude no longer lowers it.
  void keepGivenNightTemperature();

  // The step: potential transpiration, interception and soil evaporation
  // per layer. Collective.
  virtual void computePotentialEvapotranspiration(long minute, long hour, long day, long month,
                                                  long year);
  // Evaporation from the snow cover and the glaciers' snow, taken from the
  // potentials. Collective.
  virtual void computeSnowEvaporation(long minute, long hour, long day, long month, long year);
  // Reduces the potentials by the relative storage of a soil bucket, for a
  // model without the soil-water module. Collective.
  virtual void computeRealEvapotranspirationBucket(long minute, long hour, long day, long month,
                                                   long year);
  virtual void beginSubsteps(long minute, long hour, long day, long month, long year);
  virtual void doSubstep();
  // Totals the real evapotranspiration that the soil wrote. Collective.
  virtual void endSubsteps(long minute, long hour, long day, long month, long year);
  // The open-water settings of the lake section ("[lake_model]").
  virtual void readLakeCodes(const std::string& section);
  virtual void setSnowMethod(int method);
  // The glacier grid every module takes; known once the snow model is built,
  // which comes after this module.
  void takeGlacierGrid();
  // The daylight period of a former run from the section
  // "[evapotranspiration]" of the state file and its sunshine memory from
  // the grid "SSDTemp" when mode is 1 (a file without the section gives a
  // warning and the cold start); the file name is kept for the teardown,
  // which appends the section and writes the grid. Collective.
  virtual void readStorage(const std::string* fileName, int mode);

protected:
  using Series = ZoneSeries;
  // A registered grid of the module.
  struct OwnGrid {
    Grid grid = nullptr;
    int index = -1;
  };
  // A grid of another module that the step rewrites in its cells. Where
  // nobody refilled the grid since, the step starts again from the value it
  // read then, so that the change is not applied twice.
  struct RewrittenGrid {
    Grid grid = nullptr;
    Grid read = nullptr;    // the value the last step read
    Grid written = nullptr; // and the value it wrote there (NaN: none yet)
    double input(long r, long c) const {
      return grid[r][c] == written[r][c] ? read[r][c] : grid[r][c];
    }
    void rewrite(long r, long c, double from, double to) const {
      read[r][c] = from;
      written[r][c] = to;
      grid[r][c] = to;
    }
  };
  // The settings of one output: grid file and write code, statistics file
  // and code.
  struct OutputSettings {
    std::string file;
    int writeCode = 0;
    std::string statisticFile;
    int statisticCode = 0;
  };
  enum Output { ETP, ETR, EVAP, EVAR, EVRS, EIP, outputCount };

  // --- construction (vertical/verdunstungsmodellklasse.cpp) -------------------
  void readSection();
  // place: where the table's line starts; places: where each value stands.
  void readMonthlyTable(double (&table)[14], long& place, const char* text);
  void readValues(double* values, int count, long* places, const std::string& label);
  static const char* const crLabel;
  void readOptionalLines();
  void checkMethod();
  void checkValues();
  void checkTransmissivity();
  void deriveSunshineThreshold();
  [[noreturn]] void noSunshineThreshold();
  // --- inputs, grids and statistics (vertical/verdunstungsmodellklasse_grids.cpp)
  void findInputs();
  void takeInputGrids();
  Grid layerGrid(const char* name, int k);
  void registerOutputGrids();
  OwnGrid registerOwnGrid(const std::string& file, const std::string& name, long writeCode,
                          double start, const char* fullText, const char* fullEnd);
  void releaseOwnGrid(OwnGrid& g);
  void releaseOwnGrids();
  void createStatistics();
  template <typename F> void forEachSeries(F f) {
    for (std::vector<Series>* list : {&etpSeries, &eipSeries, &etrSeries})
      for (Series& s : *list)
        if (s.statistic) f(*s.statistic);
    for (Series* s : {&evapSeries, &evarSeries, &evrsSeries, &radiationSeries, &cloudinessSeries})
      if (s->statistic) f(*s->statistic);
  }
  // A grid's value with weight 1; in a layer's statistic 0 where the cell
  // has no such layer.
  CellStatistic valueOf(Grid grid, int layer = 0) const;
  // A glacier's share g of the cell adds 0.
  CellStatistic unglacierized(Grid grid, int layer = 0) const;
  void releaseStatistics();
  RewrittenGrid rewrittenGrid(Grid grid);
  void releaseRewrittenGrids();
  void releaseRewrittenGrid(RewrittenGrid& g);
  void findResponseUnits();
  // Copies the values of listed grids from the master cell of each response
  // unit to its other cells.
  void copyFromMasterCells(const std::vector<Grid>& grids);
  // --- the potential step (vertical/verdunstungsmodellklasse_potential.cpp) --
  void prepareDaylight(long day, long month);
  void advanceSunshinePeriod();
  void computeCell(long r, long c);
  void radiationOfCell(long r, long c, double t, double& x, Canopy& canopy);
  void penmanMonteithCell(long r, long c, double t, double x, Canopy& canopy);
  double empiricalPotential(long r, long c, double t, double cellAlbedo) const;
  void setNodata(long r, long c);
  void addPotentialStatistics();
  bool isLakeCell(long r, long c) const;
  // --- the state file (vertical/verdunstungsmodellklasse_state.cpp) ---------
  void writeStorageSection();
  // --- the real step and snow (vertical/verdunstungsmodellklasse_real.cpp) ---
  void evaporateSnow(long r, long c, double& storage, Grid evaporation, bool reducePotentials);
  void glacierWeights(long r, long c, double& g, double& w) const;
  void storeRealStatistics();
  double takeFromBucket(long r, long c, double demand);

  int method = 1;
  int layers = 1;      // L
  double pec[14] = {}; // Hamon; 0 December, 1 .. 12 the months, 13 January
  double fh[14] = {};  // Haude
  double amplitude[14] = {};
  double fk = 0.0;
  double cr[4] = {};
  double cs[4] = {};
  double tau0 = 0.0;
  double tau1 = 0.0;
  double altitudeScale = 0.0; // H (m)
  // Where the values checked at set-up stand in the control file (ftell;
  // a monthly table's line), for the refusals to name the line.
  struct ValuePlaces {
    long pec = -1, fh = -1, fk = -1, cs[4] = {-1, -1, -1, -1}, tau = -1, altitudeScale = -1,
         amplitude[13] = {}, split = -1, hamon = -1;
  } places;
  double dayShare = 0.0;      // fd
  double nightShare = 0.0;    // 1 - fd
  double annualVariability = 0.0;
  double sunshineThreshold = 0.0; // r0
  double hamonCorrectionOpenWater = 1.0;
  OutputSettings outputs[outputCount];
  std::string radiationStatisticFile;
  int radiationStatisticCode = 0;
  std::string cloudinessStatisticFile;
  int cloudinessStatisticCode = 0;

  // Optional inputs by their flags.
  enum Input {
    airPressureInput = 1,
    multilayerInput = 2,
    radiationInput = 4,
    sunshineInput = 8,
    windInput = 16,
    humidityInput = 32,
    vapourPressureInput = 64,
    temperatureInput = 128
  };
  int inputMask = 0;
  bool netRadiation = false;

  OwnCells cells;    // the computed cells: masters only with response units
  OwnCells allCells; // every own cell
  long heldFirst = 1;
  long heldLast = 0;
  // The other cells of the spin-up's response units, which take the state
  // of their unit's master cell.
  ResponseUnitCopies unitCopies;
  ZoneSeriesBook book; // the statistics of every own cell

  Grid temperature = nullptr;
  Grid nightTemperature = nullptr;
  Grid elevation = nullptr;
  Grid albedo = nullptr;
  Grid wind = nullptr;
  Grid evaporationResistance = nullptr;
  Grid radiation = nullptr;
  Grid sunshine = nullptr;
  Grid vapourPressure = nullptr;
  Grid humidity = nullptr;
  Grid airPressure = nullptr;
  Grid glacierFraction = nullptr;
  Grid multilayerType = nullptr; // "landuse" with L > 1
  std::vector<Grid> landuse, leafArea, coverage, canopyResistance, interceptionResistance,
      roughness; // 1 .. L
  Grid radiationCorrection = nullptr;
  Grid snowStorage = nullptr;
  RewrittenGrid rewrittenTemperature;
  RewrittenGrid rewrittenNightTemperature;
  RewrittenGrid rewrittenRadiation;

  std::vector<OwnGrid> potentialTranspiration, realTranspiration, potentialInterception;
  OwnGrid potentialEvaporation, realEvaporation, snowEvaporation, correctedRadiation, cloudiness,
      sunshineMemory;
  std::vector<Series> etpSeries, eipSeries, etrSeries;
  Series evapSeries, evarSeries, evrsSeries, radiationSeries, cloudinessSeries;

  // The step.
  int dayOfYear = 0;
  std::vector<double> sunCosines; // cos Z of daylight sub-intervals 1 .. n
  int sunIntervals = 0;           // n
  double sunIntervalHours = 0.0;  // h
  double transmissivity = 0.0;    // tau of the day
  double hamonPEC = 0.0;          // P of the day
  double dayAmplitude = 0.0;      // Ad
  double annualTerm = 0.0;
  bool radiationNight = false; // no radiation part this step
  bool daylightPeriod = false; // SSDTemp sums a daylight period
  int daylightSteps = 0;
  std::string storageFileName; // of the unsaturated zone, this process's
  bool storageNameKept = false;
  Grid interceptionEvaporation = nullptr; // "interception_evaporation0" once found
  bool glacierGridsTaken = false;
  Grid glacierSnowEvaporation = nullptr;
  Grid glacierSnowStorage = nullptr;
  int snowMethod = 0;
  Grid soilStorage = nullptr;
  Grid availableSoilMoisture = nullptr;

  // Lakes and open water.
  int lakeFlag = 0;
  int lakeInitialization = 0;
  double openWaterAlbedo = 0.0;
  double openWaterRoughness = 0.0;
  Grid lakeCodes = nullptr;
  Grid ponding = nullptr;
};
