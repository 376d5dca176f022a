#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/exact_sum.h"
#include "snow/glacier.h"
#include "snow/snow_physics.h"
#include "submodel/response_unit_copies.h"
#include "submodel/teilmodellklasse.h"

class soil_class;

// The layered snow stacks of the unsaturated zone as the snow model fills
// and empties them: per layer k = 1 (top) .. layers the density in kg/m^3
// and the largest thickness in m (index 0 unused).
struct SnowLayerSettings {
  int layers = 0;
  std::vector<double> density;
  std::vector<double> maxThickness;
};

// "[ice_firn]": glacier method 1 (degree days) or 2 (with radiation) on the
// static glaciers of "ice_firn"; 11, 12 the same on the dynamic glaciers of
// "GlacierizedCells" and "GlacierCodes", 13 with the snow on them melting by
// the snow method.
struct GlacierSettings {
  int method = 0; // 0: no glacier grid
  double ddfIce = 0.0, ddfFirn = 0.0, ddfSnow = 0.0, mf = 0.0;
  double aIceMin = 0.0, aIceMax = 0.0, aSnowMin = 0.0, aSnowMax = 0.0;
  double kIce = 0.0, kFirn = 0.0, kSnow = 0.0; // hours
  int readGrids = 0;
  int firnLevels = 0;
  double firnBase = 0.0, deltaFirnPer100m = 0.0;
  int evalDay = 0, evalMonth = 0;
  double debrisScaling = 1.0;
  double maxSnowPackToCreateGlacier = 1000.0;
  GlacierListSettings list;
  bool dynamic() const { return method > 10; }
  bool withRadiation() const { return method == 2 || method == 12 || method == 13; }
};

// "[permafrost]": the thaw depth grows with the root of the snow-free days.
struct PermafrostSettings {
  int method = 0; // 0: no permafrost grids
  double minSnowAgeRefreeze = 0.0;
  double maxSweSnowFree = 0.0;
  double reducedKsat = 0.0;
};

// Snow accumulation and melt from the section "[snow_model]", one value a
// line, each followed by free text: the switch and the time step, the
// method (1 .. 14), the transition half-width of the rain/snow split, T0R,
// T0, CWH, CRFR, three monthly lines (one number for the year or twelve),
// z0, RMFMIN, RMFMAX, the snow albedo bounds, the outputs (file, write code,
// statistics), the readgrid switch; methods 5 and above then name the snow
// temperature grids, the slide grids and the slide, deposition and
// long-wave parameters.
//
// It registers "snowstorage_solid", "snowstorage_liquid",
// "snow_storage_total", "days_snow", "snow_age", "snow_fraction",
// "rain_fraction", "snowcover_outflow" and "melt_from_snowcover"; the
// energy-balance methods (5, 6, 7, 11) "snowtemp", "surftemp" and
// "EnergyBalance"; the deposition methods (7, 9, 10, 11, 13, 14)
// "snow_deposition"; the slide methods (6 to 9, 12, 14) "input_mass",
// "mobile_mass", "deposition" and, on rank 0 over the whole grid,
// "max_deposition" with the elevation order "elev_order_row" and
// "elev_order_col". Snow slides run on rank 0 on gathered grids.
//
// A registered "ice_firn" or "GlacierizedCells" switches the glacier model
// on ("[ice_firn]"): melt of snow, firn and ice on glacierized cells, the
// glacier runoff of each subbasin through three linear storages and, for
// dynamic glaciers, the annual mass balance that grows and shrinks them on
// rank 0. "ThawCoeffPermaFrost" with "PermafrostThawDepth" switches the
// permafrost model on ("[permafrost]").
class schneemodellklasse : public teilmodellklasse {
public:
  // Never throws: errorCode is 0, the exit code of a failure, or 103.
  schneemodellklasse(const ModelContext& context, int& errorCode);
  // Frees the grids without writing; the registry must still exist.
  ~schneemodellklasse() override;

  // Writes the state section when the write-storage flag is set, then
  // releases the statistics and grids and runs the base's teardown.
  void releaseModule() override;
  // The base's tracers, each with the concentration of the water coming in.
  void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                   StatisticTableEntry* statisticTable, long tableSize) override;
  void freeTracers() override;

  // --- the module's own operations, in their fixed order ---------------------
  // One part f of the step of one cell: rain/snow split, accumulation and
  // melt by the method; returns the melt (mm) of the part. The storages,
  // temperatures (K), evaporation and energy balance are the cell's values,
  // read and written back by the caller.
  virtual double computeSnowCell(long r, long c, double t, double f, double unload,
                                 double& snowFraction, double& solid, double& liquid, double& total,
                                 double& snowTemperature, double& surfaceTemperature,
                                 double& evaporation, double& energyBalance, bool onGlacier);
  // The snow step of every own cell. Collective.
  virtual void computeSnowStep(long minute, long hour, long day, long month, long year);
  // After the sub-steps: response-unit copies, slides, statistics, outputs.
  // Collective.
  virtual void computeGlacierStep(long minute, long hour, long day, long month, long year);
  virtual void flushStatistics();
  virtual int setRadiationCorrection(Grid grid);
  virtual Grid getSolidSnowStorage() const;
  virtual int setGlacierRunoffTable(double* table);
  // Whether the glacier step of the current date closes the glaciers' year
  // and so changes their extent.
  virtual bool closesGlacierYear() const { return flowControl != 0 && balanceDue(); }
  // Seasonal sines of the day of the year, between their bounds.
  virtual double seasonalMeltFactor(long day, long month) const;
  virtual double seasonalIceRadiationFactor(long day, long month) const;
  virtual double seasonalSnowRadiationFactor(long day, long month) const;
  // Over ice, hPa, at t degrees C.
  virtual double saturationVapourPressureIce(double t) const;
  virtual void initLakeGrids(const std::string& section);
  virtual void readStorage(const std::string* fileName, int mode);
  virtual void writeStorage(bool append);
  [[noreturn]] virtual void storageMismatch(const std::string& label, double current,
                                            double stored);
  virtual int compareStorageValue(std::FILE* file, double current, const std::string& label);
  virtual int getMethod() const;
  virtual void setInterceptionFirst(bool first);
  virtual void setSnowLayerHeat(bool active) { snowLayerHeat = active; }
  virtual bool getSnowLayerHeat() const { return snowLayerHeat; }
  virtual void setLayeredSnow(bool active, const SnowLayerSettings* settings = nullptr,
                              double temperatureOffset = 0.0);
  // The same from the unsaturated zone's snow types: layer k takes the dry
  // density and the thickness of layer k of type 1.
  virtual void setLayeredSnow(bool active, const std::vector<soil_class>* snowTypes,
                              double temperatureOffset);
  virtual bool getLayeredSnow() const { return layeredSnow; }
  // Moves fraction * amount (mm; negative removes) into or out of the
  // layers of one cell.
  virtual void transferLayeredSnow(long r, long c, bool skip, double fraction, double amount,
                                   double t);
  // Empties the layers of one cell; returns their liquid water (mm).
  double takeLayeredSnow(long r, long c);
  virtual void setDumpOptions(bool dumpMode, bool closeAfterDump, bool repairAfterDump,
                              std::int64_t maxDumpFiles);

  // Whether a glacier grid switched the glacier model on.
  bool hasGlacierGrid() const { return glacierGrid != nullptr; }
  bool hasDynamicGlaciers() const { return glacierGrid && glacier.dynamic(); }
  // Rank 0, per subbasin 1 .. n in mm over the subbasin: the melt of the
  // last step that entered the glacier runoff storages (with the outflow of
  // the snow that lies on glaciers keeping their extent), and the water the
  // storages hold.
  const std::vector<double>& getGlacierMeltInput() const { return glacierMeltInput; }
  std::vector<double> glacierRunoffStorage() const;
  // Rank 0, per subbasin in mm: what the runoff storages gained (lost) at
  // the annual close of the last step because their glacier's share of the
  // subbasin changed; they keep their outflow per glacier area. Empty when
  // the last step closed no year.
  const std::vector<double>& getRunoffExtentChange() const { return runoffExtentChange; }
  // For interception's rain/snow split.
  double getT0R() const { return t0r; }
  double getTranszone() const { return transzone; }

protected:
  // A registered grid of the module over its rows.
  struct OwnGrid {
    Grid grid = nullptr;
    int index = 0;
    long firstRow = 1;
    long lastRow = 0;
    bool owned = false; // allocated here (not taken from the registry)
  };
  struct OutputSettings {
    std::string file;
    int writeCode = 0;
  };
  // One statistics series with its own zone records.
  struct SnowSeries {
    std::vector<ZoneRecord> records;
    ZoneRecord* data = nullptr;
    std::unique_ptr<zonalstatistic> statistic;
    std::string file;
    int code = 0;
  };
  // In the order the statistics are flushed.
  enum Series {
    outflowSeries,
    meltSeries,
    totalSeries,
    snowDaysSeries,
    ageSeries,
    snowSeries,
    rainSeries,
    albedoSeries,
    snowTemperatureSeries,
    surfaceTemperatureSeries,
    inputMassSeries,
    mobileMassSeries,
    depositionSeries,
    snowWithoutGlacierSeries,
    firnMeltSeries,
    iceMeltSeries,
    glacierSnowMeltSeries,
    glacierRunoffSeries,
    firnSeries,
    massBalanceSeries,
    glacierMassBalanceSeries,
    thawDepthSeries,
    seriesCount
  };
  enum OwnGridName {
    solidGrid,
    liquidGrid,
    totalGrid,
    snowDaysGrid,
    ageGrid,
    snowTemperatureGrid,
    surfaceTemperatureGrid,
    energyBalanceGrid,
    inputMassGrid,
    mobileMassGrid,
    depositionGrid,
    snowFractionGrid,
    rainFractionGrid,
    outflowGrid,
    meltGrid,
    maxDepositionGrid,
    orderRowGrid,
    orderColumnGrid,
    firnMeltGrid,
    iceMeltGrid,
    firnTotalGrid,
    massBalanceGrid,
    oldMassBalanceGrid,
    glacierSolidGrid,
    glacierLiquidGrid,
    glacierTotalGrid,
    glacierSnowTemperatureGrid,
    glacierSurfaceTemperatureGrid,
    glacierEnergyBalanceGrid,
    glacierizedOldGrid,
    codesOldGrid,
    glacierSnowMeltGrid,
    glacierEvaporationGrid,
    snowFreeDaysGrid,
    snowCoverDaysGrid,
    packResetGrid,
    depositedSnowGrid,
    glacierPrecipitationGrid,
    firnSnowGrid,
    slidSnowGrid,
    ownGridCount
  };
  // The per-step factors of the day.
  struct DayFactors {
    double ddf = 0.0, c0 = 0.0, c1 = 0.0, rmf = 1.0, snowRadiation = 0.0, iceRadiation = 0.0;
  };

  // --- construction (snow/schneemodellklasse.cpp) -----------------------------
  void readSection();
  void checkRanges() const;
  // from: the file the grid was read from during the run (empty at set-up).
  void checkDepositionIndex(const std::string& from);
  void readMonthlyLine(std::array<double, 14>& table, const char* what);
  void readExtendedLines();
  // One output line group of the section: labels of the grid's file and
  // write code and of the statistic's file and code.
  struct OutputLine {
    OwnGridName grid;
    Series series;
    const char* file;
    const char* writeCode;
    const char* statistic;
  };
  static const std::vector<OutputLine> basicOutputLines;
  static const std::vector<OutputLine> extendedOutputLines;
  static const std::vector<OutputLine> glacierMeltLines;
  static const std::vector<OutputLine> glacierBalanceLines;
  static const std::vector<OutputLine> glacierSnowLines;
  void readOutputLines(const std::vector<OutputLine>& lines);
  void checkBound(bool inside, const char* text, double value, int code);
  void bindFixedInputs();
  // --- grids and statistics (snow/snow_grids.cpp) ------------------------------
  int nextRegistryIndex();
  void registerStorageGrids();
  void registerOutputGrids();
  void registerElevationOrder();
  OwnGrid& createGrid(OwnGridName which, const std::string& file, const std::string& name,
                      long writeCode, double inside, double outside, long first, long last);
  void takeOrCreate(OwnGridName which, const OutputSettings& o, const std::string& name,
                    double inside, double outside, double readValue, bool read);
  void createStatistics();
  void createSeries(Series s, const char* title, int decimals);
  void releaseGrids();
  void releaseStatistics();
  // --- glacier and permafrost set-up (snow/glacier_setup.cpp) ----------------------
  void setUpGlaciers();
  void readIceFirnSection();
  void readDynamicLines();
  void readUnlabelledLine(const char* what, std::vector<double>& values, size_t count);
  void checkGlacierParameters();
  void checkGlacierGrids();
  void createGlacierStatistics();
  void shareGlacierSubbasins();
  void registerGlacierGrids();
  void registerDynamicGlacierGrids();
  bool glacierTemperatureWritten(const std::string& file);
  void createFirnStack();
  void setUpPermafrost();
  GlacierField glacierField();
  // --- the state of dynamic glaciers (snow/glacier_state.cpp) ------------------------
  std::vector<int> glacierExtentIndices() const;
  void writeGlacierExtent();
  // Collective: the extent a former run left, when it left one, and the
  // volumes of the state file.
  void restoreGlaciers(const std::vector<Glacier>& volumes, bool volumesMissing);
  // --- the state section (snow/snow_state_file.cpp) ----------------------------------
  // Reads the section into the runoff storages and, on rank 0, the glacier
  // volumes; returns whether it held them.
  bool readStorageSection(const std::string& path, std::vector<Glacier>& volumes);
  // --- glacier cells (snow/glacier_cell.cpp) ---------------------------------------
  double glacierFraction(long r, long c) const;
  // What leaves the snow on the glacier part of a cell.
  double glacierSnowOutflow(long r, long c) const;
  void glacierCell(long r, long c);
  void degreeDayGlacierSnow(long r, long c, double& glacierMelt);
  void snowMethodGlacierSnow(long r, long c, double& glacierMelt);
  void firnAndIceMelt(long r, long c, double glacierMelt);
  void permafrostCell(long r, long c);
  // --- glacier step (snow/glacier_step.cpp) -----------------------------------------
  void updateMassBalance();
  void sumGlacierMelt(std::vector<ExactSum>& melt);
  void routeGlacierRunoff(std::vector<ExactSum>& melt);
  bool balanceDue() const;
  void annualBalance();
  void moveExcessOntoGlacier(long r, long c, double g);
  void turnSnowIntoFirn(long r, long c, bool newGlacier);
  // --- the step (snow/snow_step.cpp) ---------------------------------------------
  void interpolateMonthlyTables(long day, long month);
  void computeCell(long r, long c);
  // The grids of one snow pack: outside the glaciers or on them.
  struct Pack {
    Grid solid, liquid, total, snowTemperature, surfaceTemperature, energyBalance, evaporation,
        outflow, melt;
  };
  Pack outsidePack() const;
  Pack glacierPack() const;
  double snowSequence(long r, long c, double unload, const Pack& pack);
  // What falls in one part of a step, split into snow and rain: no snow on
  // a lake's ponded cell, the wind's deposition scaling the snow.
  struct Fall {
    double fraction, snow, rain, deposited;
  };
  Fall splitFall(long r, long c, double t, double p) const;
  // The same summed over the parts of the step, as the pack beside a
  // glacier takes them.
  Fall stepFall(long r, long c, double p) const;
  // What falls on the glacier's part of a cell.
  double glacierFall(long r, long c) const;
  double afterMelt(long r, long c, double melt, double t, const Pack& pack);
  void snowAgeAndAlbedo(long r, long c, double t, double threshold, bool age);
  double landuseAlbedo(long r, long c) const;
  void mixTracersIn(long r, long c);
  void tracersOut(long r, long c, double outflow);
  // --- dump files (snow/snow_dump.cpp) -------------------------------------------
  void checkDumps();
  int inconsistentLevel(long r, long c, bool liquid) const;
  void writeDump(long r, long c, int solidLevel, int liquidLevel);
  // --- after the sub-steps (snow/snow_slides.cpp) --------------------------------
  void copyResponseUnits();
  void slideSnow();
  void slideOnRoot();
  void resyncLayeredSnow();
  void addStatistics();
  void writeOutputs();
  // --- energy balance inputs of a cell (snow/snow_cell.cpp) -----------------------
  SnowAir airOf(long r, long c, double t, double precipitation, double snowfall,
                double rainfall) const;
  double warmPack(long r, long c, double t, double f, double precipitation, double snowfall,
                  double rainfall, double& solid, double& liquid, double& total,
                  double& snowTemperature, double& surfaceTemperature, double& evaporation,
                  double& energyBalance, bool onGlacier);
  void coldPack(long r, long c, double t, double f, double precipitation, double snowfall,
                double rainfall, double& solid, double& liquid, double& total,
                double& snowTemperature, double& surfaceTemperature, double& evaporation,
                double& energyBalance, bool onGlacier);

  bool isEnergyBalance() const { return snowEnergyBalanceMethod(method); }
  bool isSlide() const { return snowSlideMethod(method); }
  bool isDeposition() const { return snowDepositionMethod(method); }
  bool usesWind() const { return snowWindMethod(method); }
  Grid own(OwnGridName g) const { return grids[g].grid; }

  // --- settings ------------------------------------------------------------------
  int method = 0;
  double transzone = 0.0;
  double t0r = 0.0;
  double t0 = 0.0;
  double cwh = 0.0;
  double crfr = 0.0;
  std::array<double, 14> monthlyDegreeDayFactor{};
  std::array<double, 14> monthlyTemperatureFactor{};
  std::array<double, 14> monthlyWindFactor{};
  double z0 = 0.0;
  double rmfMin = 0.0, rmfMax = 0.0;
  double albedoMin = 0.0, albedoMax = 0.0;
  int readStorageGrids = 0;
  double maxDepositionSlope = 55.0;
  double maxDepositionFactor = 1.0;
  double minSlideSlope = 30.0;
  double slideMassFrac = 0.01;
  double lwInCorrection = 1.0;
  double lwOutCorrection = 1.0;
  double enBalScaling = 1.0;
  bool fullGridOnRoot = false;
  // The annual balance filled the grids of what it moved, for the water
  // balance of its step.
  bool packResetBooked = false;
  long firstSnowRow = 1;
  long lastSnowRow = 0;
  // seasonal sines: mean and amplitude of each pair
  double meltFactorMean = 0.0, meltFactorAmplitude = 0.0;
  double snowRadiationMean = 0.0, snowRadiationAmplitude = 0.0;
  double iceRadiationMean = 0.0, iceRadiationAmplitude = 0.0;
  OutputSettings outputs[ownGridCount];
  SnowSeries series[seriesCount];

  // --- grids ---------------------------------------------------------------------
  OwnGrid grids[ownGridCount];
  OwnCells cells;       // own cells: statistics and copies
  OwnCells masterCells; // the cells the step computes: with response units their masters
  Grid zone = nullptr, elevation = nullptr;
  Grid albedo = nullptr, snowEvaporation = nullptr;
  std::vector<Grid> landuse; // 1 .. layers
  int layers = 1;
  Grid vapourPressure = nullptr, temperatureNight = nullptr;
  std::array<Grid, 5> slideFraction{}; // 1 .. 4
  Grid slope = nullptr, depositionIndex = nullptr, cloudiness = nullptr,
       observedSurfaceTemperature = nullptr;
  Grid responseUnits = nullptr, masterResponseUnits = nullptr;
  Grid radiationCorrectionGrid = nullptr;
  double* glacierRunoffTable = nullptr;
  int lakeFlag = 0;
  Grid lakeCodes = nullptr, pondGrid = nullptr;
  bool interceptionFirst = false;
  // What falls in the open: the same grid as precipitation unless the
  // canopy takes the water first, whose throughfall the glacier's part of a
  // cell, where no canopy stands, does not take. The sprinklers add their
  // water ("irrigation_amounts") to it for the fields beside the glacier.
  Grid openPrecipitation = nullptr, irrigationAmounts = nullptr;
  Grid precipitation = nullptr, canopyUnload = nullptr, canopyLongwave = nullptr, wind = nullptr,
       humidity = nullptr, radiation = nullptr, temperature = nullptr;
  std::vector<Grid> tracerInput; // per tracer, from 1
  ResponseUnitCopies unitCopies;

  // --- glaciers and permafrost ----------------------------------------------------
  GlacierSettings glacier;
  PermafrostSettings permafrost;
  Grid glacierGrid = nullptr; // "ice_firn" codes or "GlacierizedCells" fractions
  int glacierGridIndex = 0;
  Grid glacierCodes = nullptr;
  int glacierCodesIndex = 0;
  Grid debris = nullptr, glacierRadiation = nullptr;
  Stack firnStack = nullptr; // levels 0 (total) .. firnLevels
  long firnFirstRow = 1, firnLastRow = 0;
  GlacierList glacierList;                    // rank 0
  std::vector<GlacierSubbasin> glacierBasins; // 0 .. subbasins, every process
  Grid thawCoefficient = nullptr, thawDepth = nullptr, rootDepth = nullptr;

  // --- layered snow and dumps -----------------------------------------------------
  bool snowLayerHeat = false;
  bool layeredSnow = false;
  SnowLayerSettings layerSettings;
  double snowLayerTemperatureOffset = 0.0;
  Stack layerSolid = nullptr, layerLiquid = nullptr, layerThickness = nullptr,
        layerDensity = nullptr, layerTemperature = nullptr;
  int layerLevels = 0;
  Grid upperIndexSnow = nullptr;
  bool dumpMode = false, closeAfterDump = false, repairAfterDump = false;
  std::int64_t maxDumpFiles = 0;
  std::int64_t dumpFileCount = 0;

  // --- state ----------------------------------------------------------------------
  std::string storageFileName;
  bool storageNameKept = false;
  // Per subbasin 1 .. n the glacier runoff storages; empty without glaciers.
  std::vector<double> qIceEls, qFirnEls, qSnowEls;
  std::vector<double> glacierMeltInput;   // rank 0, per subbasin
  std::vector<double> runoffExtentChange; // rank 0, per subbasin
  DayFactors factors;
  double partDay = 1.0, partNight = 0.0; // of steps above 720 minutes
};
