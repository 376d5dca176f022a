#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/external_coupling.h"
#include "config/global_parameters.h"
#include "config/irrigation_table.h"
#include "config/landuse_class.h"
#include "config/landuse_parameter_grids.h"
#include "config/multilayer_landuse_class.h"
#include "config/river_links.h"
#include "config/soil_class.h"
#include "config/spinup_hrus.h"
#include "config/standard_grid.h"
#include "core/grid_types.h"
#include "core/modelobject.h"
#include "core/statistic_table.h"
#include "core/zonal_statistic.h"

class SectionReader;

// The control-file reader: the global settings and the common grid store,
// built by a staged set-up that every MPI process runs in step: the zone
// grid, the elevation model, the standard and variable grids, the division
// of the grid among the processes (with river links) and the zone ranking.
class defaultini : public modelobject {
public:
  // Never throws: errorCode is 0 after a successful construction, else the
  // exit code (103 for a failure that is not one). The driver passes model
  // variant 2.
  defaultini(int& errorCode, DiagStream* diag, const std::string& controlFileName,
             StatisticTableEntry* statisticTable, int statisticTableSize, int modelVariant,
             GridRegistryEntry* registry);
  ~defaultini() override;
  defaultini(const defaultini&) = delete;
  defaultini& operator=(const defaultini&) = delete;

  // ===== Staged set-up (config/staged_setup.cpp) ==============================
  // Runs the set-up step the counter names and returns the next one; after
  // the last step done becomes 1. Every process calls it equally often.
  virtual int initStep(int& done);
  // Hands the settings over to the driver once, after the set-up; the
  // reader gives up its ".intern" name. Returns 0.
  virtual int getGlobalParameters(GlobalParameters& driver);
  // Reads the switch of "[radiation_correction]" from the open control file.
  virtual void readRadiationCorrection();
  // The highest elevation of the domain (set-up step 12).
  virtual double getMaxElevation() const { return maxElevation; }
  // Teardown: releases the grid store and the tables; idempotent.
  virtual void FreeMemory();

  int getModelVariant() const { return modelVariant; }
  int getRadiationCorrection() const { return radiationCorrection; }
  // The land-use grid and its layers: element 0 the grid "landuse", 1 .. n
  // the layers; empty when there is no land-use grid.
  const std::vector<Grid>& getLanduseLayerGrids() const { return landuseLayerGrids; }
  int getLanduseLayers() const { return landuseLayerCount; }
  // ===== end of staged set-up ===================================================

  // ===== Zone grid, elevation model, standard and variable grids ================
  // (config/standard_grids.cpp, grid_header_probe.cpp, grid_store.cpp)
  // Reads "[zone_grid]", "[elevation_model]" and "[standard_grids]" from the
  // open control file into registry entries 1, 2 and 3 .. n + 2 (names and
  // settings; the grids come in set-up steps 6 to 8). Returns n.
  virtual int readStandardGrids();
  // Rank 0: the grid header from the zone grid's file (ASCII, binary or netCDF).
  virtual void readGridHeader(int& ncols, int& nrows, double& xllcorner, double& yllcorner,
                              double& cellsize, double& nodata);
  // The header of a zone grid given as "file<variable>record" of a netCDF
  // file into values[0..5]; its nodata is horva's binary one.
  void readNetCDFZoneHeader(std::string netcdfName, double* values);
  // Reads "[variable_grids]" and reads or creates and registers its grids.
  // Collective. Returns their number.
  virtual int readVariableGrids();
  // Write the standard (from entry 2) and the variable grids as their write
  // codes ask at this date. Collective.
  virtual void writeStandardGrids(long minute, long hour, long day, long month, long year);
  virtual void writeVariableGrids(long minute, long hour, long day, long month, long year);
  // The largest value of a registered grid over the domain, nodata when it
  // holds none. Collective.
  virtual double globalGridMaximum(int index);
  // Rank 0, once the set-up is done and again once every module is built:
  // the standard and derived grids that only the set-up read over every row
  // keep the strip and its halo rows, as on the other processes, so that
  // the modules' grids do not come on top of them. Before the modules are
  // built the grids that their set-up reads whole stay whole too.
  // Kept whole: the zone grid, the elevation
  // model, "MPIRegions", "MPIHelper", "RelCellArea" where grids are written
  // as binary (their header weighs every row), "latitude" and "longitude"
  // where they are written as netCDF, the response units of spin-up, grids
  // re-read during the run or read from an external program, and every grid
  // a module marked wholeOnRoot.
  void releaseWholeSetupGrids(bool modulesBuilt);
  // Rank 0: whether the release keeps only the strip of this grid, as far as
  // the set-up knows yet.
  bool releasedAfterSetup(int index);
  // Sets cell (row, column) of grid to the mean of its neighbours that hold
  // data; unchanged when none does.
  virtual void neighbourhoodMean(long row, long column, Grid grid);
  // Takes the registered grid "ice_firn" when there is one.
  virtual void check_ice_firn_grid();

  int getStandardGridCount() const { return standardGridCount; }
  // The reader's grids occupy entries 3 .. getGridCount() + 2.
  int getGridCount() const { return gridCount; }
  const std::vector<StandardGrid>& getStandardGrids() const { return standardGrids; }
  int getVariableGridCount() const { return variableGridCount; }
  int getFirstVariableGrid() const { return firstVariableGrid; }
  Grid getIceFirnGrid() const { return iceFirnGrid; }
  Grid getSoilStorageGrid() const { return soilStorageGrid; }
  // ===== end of zone grid, elevation model, standard and variable grids ==========

  // Gives every process one run of valid cells in row order, in proportion
  // to its speed, keeping river links whole; registers "MPIRegions",
  // "MPIHelper" and "MPIHalo" and fills the per-rank cell counts, the halo
  // lists and the row range of this process. Collective.
  virtual void makeMPIRegions(std::vector<long>& cellsPerProcess,
                              std::vector<HaloStrip>& haloSendList,
                              std::vector<HaloStrip>& haloReceiveList, long& firstRow,
                              long& lastRow);
  // Numbers the zone codes of registry entry 1 in ascending order, sums the
  // cells and weights of each zone and finds the column range of every row.
  // Collective; weights may be null (every cell weighs 1).
  virtual void rankZoneCodes(GridRegistryEntry* zoneRegistry, Grid weights, long ncols, long nrows,
                             double nodata);

  const RiverLinkList& getRiverLinks() const { return riverLinks; }
  const LinkCellTable& getLocalLinkCellsByOwner() const { return localLinkCellsByOwner; }
  const LinkCellTable& getOwnedLinkCellsByProcess() const { return ownedLinkCellsByProcess; }

  int getZoneCount() const { return zoneCount; }
  int getMaxZoneCode() const { return maxZoneCode; }
  const std::vector<int>& getZoneRanks() const { return zoneRanks; }
  const std::vector<ZoneRecord>& getZoneRecords() const { return zoneRecords; }
  const std::vector<RowColumnRange>& getColumnRanges() const { return columnRanges; }

  // Registry indices of the decomposition grids (0 before makeMPIRegions).
  int getRegionsIndex() const { return regionsIndex; }
  int getHelperIndex() const { return helperIndex; }
  int getHaloIndex() const { return haloIndex; }

  // The parallel body of the speed measurement: three grids of rows x
  // columns filled with trigonometric functions.
  static void benchmarkKernel(Grid first, Grid second, Grid third, long rows, long columns);

  // --- irrigation tables (config/irrigation_table.cpp) -------------------------
  // Reads "[irrigation]" and, when irrigation is on, "[irrigation_table]"
  // from the open control file; a variant below 2 reads nothing.
  virtual void readIrrigationIfActive(int modelVariant);
  // Logs the schedule syntax for irrigation type k (its position in the
  // section) and ends the run with code 29.
  [[noreturn]] virtual void printIrrigationSyntax(int k);
  int getIrrigationSwitch() const { return irrigationSwitch; }
  // Records 0 .. n (record 0 holds n in its code); empty when there is none.
  const IrrigationTable& getIrrigationTable() const { return irrigationTable; }

protected:
  void readIrrigation();
  void readIrrigationType(int k);
  [[noreturn]] void irrigationTypeError(int k, const std::string& text);
  int irrigationSwitch = 0;
  IrrigationTable irrigationTable;
  // --- end of irrigation tables ------------------------------------------------

protected:
  // Set-up state.
  int setupStep = 0;
  std::string internName;            // the ".intern" copy, until the driver takes it
  std::vector<long> copiedUserLines; // the control file's line of each line of the copy
  std::string copiedText;            // the copy, read from memory while the run lasts
  StatisticTableEntry* statisticTable = nullptr;
  int statisticTableSize = 0;
  int modelVariant = 2;
  int radiationCorrection = 0;
  double maxElevation = 0.0;
  bool released = false;

  // The grid store. Number of grids the reader holds after entries 1 and 2,
  // growing with every grid it registers; they occupy entries 3 ..
  // gridCount + 2. The first standardGridCount of them are the standard grids.
  int gridCount = 0;
  int standardGridCount = 0;
  std::vector<StandardGrid> standardGrids; // standard grid k at k - 1
  int variableGridCount = 0;
  int firstVariableGrid = 0;          // registry index, 0 when none
  std::vector<int> variableReadCodes; // variable grid k at k
  Grid zoneGrid = nullptr;
  Grid elevationGrid = nullptr;
  Grid iceFirnGrid = nullptr;
  Grid soilStorageGrid = nullptr;

  // The grids the reader allocated and registered, released by it alone.
  struct ReaderGrid {
    int index;
    Grid grid;
    long firstRow;
    long lastRow;
  };
  std::vector<ReaderGrid> readerGrids;

  // The decomposition's results that every module's strip transfers use.
  std::vector<long> decompositionCellCounts;
  std::vector<HaloStrip> decompositionSendList;
  std::vector<HaloStrip> decompositionReceiveList;

  // The decomposition grids and their registry entries.
  Grid regionsGrid = nullptr;
  Grid helperGrid = nullptr;
  Grid haloGrid = nullptr;
  int regionsIndex = 0;
  int helperIndex = 0;
  int haloIndex = 0;

  RiverLinkList riverLinks;
  LinkCellTable localLinkCellsByOwner;
  LinkCellTable ownedLinkCellsByProcess;

  // Zone ranking: zone count K, highest code, rank of every code 0 .. highest
  // code (0 for codes that do not occur), records 0 .. K, and the first and
  // last valid column of rows 0 .. nrows.
  int zoneCount = 0;
  int maxZoneCode = 0;
  std::vector<int> zoneRanks;
  std::vector<ZoneRecord> zoneRecords;
  std::vector<RowColumnRange> columnRanges;

private:
  void preprocessControlFile();
  void openSetupControlFile();
  void closeSetupControlFile();
  void forgetFirstGrids();
  void setUpGridHeaderAndFirstGrids();
  void distributeFirstGrids();
  void loadStandardGrids();
  void takeLanduseLayers();
  void takeRelativeCellAreas();
  void finishSetup(int& done);
  void readFirstGridOnRoot(int index);
  // Rank 0, the zone grid and the elevation model whole: a catchment cell
  // without an elevation ends the run with 22.
  void refuseElevationGaps();
  // Collective: a standard grid with a range (river, lake, glacier and
  // aquifer grids) holding a value beyond it ends the run with 22.
  void refuseStandardGridsOutOfRange();
  // Collective: the same ranges for a grid read again from the file from
  // for the step of date, before any module converts or takes its values.
  void refuseReadValuesOutOfRange(int index, const std::string& from, const ModelDate& date);
  // readAgain: empty at set-up, else where and when the file was read.
  void refuseValuesOutOfRange(int index, const std::string& readAgain);
  Grid createGridFromDefault(long firstRow, long lastRow, double value);
  void registerReaderGrid(int index, const std::string& file, Grid grid, const std::string& name,
                          long writeCode, long firstRow, long lastRow);
  void keepSetupValues(StandardGrid& grid, long firstRow, long lastRow);
  void protectInputFile(int index, const std::string& kind, int readCode, long writeCode);
  // Notes the file of a grid the set-up reads ("file<variable>record" names
  // a netCDF file) in the run's registry of files.
  void noteGridFile(const std::string& fileName, const std::string& use) const;
  // Warns of every line after the counted standard grids that reads as one.
  void warnOfUncountedGridLines(SectionReader& section, int count);
  void releaseGridStore();

  struct Decomposition;
  void reserveDecompositionEntries(Decomposition& d);
  void createDecompositionGrids(const Decomposition& d, long lo, long hi);
  void releaseDecompositionGrids();
  double measureTime();
  std::vector<double> collectTimes(double ownTime);
  std::vector<double> weightsOf(const std::vector<double>& times);
  bool riverLinksRequested(Decomposition& d);
  void takeCensus(Decomposition& d);
  void assignQuotas(Decomposition& d);
  void assignCells(Decomposition& d);
  void fillRankZeroHelper(const Decomposition& d);
  void distributeRegions(Decomposition& d, long& firstRow, long& lastRow);
  void fillWorkerHelper(long firstRow, long lastRow);
  void markHalo(long firstRow, long lastRow);
  void countCells(const Decomposition& d, std::vector<long>& cellsPerProcess);
  std::map<int, int> collectHaloReceiveList(std::vector<HaloStrip>& haloReceiveList, long lo,
                                            long hi);
  void exchangeHaloLists(const std::map<int, int>& stripsPerPeer,
                         const std::vector<HaloStrip>& haloReceiveList,
                         std::vector<HaloStrip>& haloSendList);
  void scanZones(const GridRegistryEntry* zoneRegistry, Grid weights, long ncols, long nrows,
                 double nodata);
  void shareZoneRanking(long nrows);

  // ===== Control-file preprocessor ==========================================
public:
  // One "$set" definition: the name with its "$" and the value after its own
  // substitution.
  struct ControlFileSymbol {
    std::string name;
    std::string value;
  };
  // Writes the preprocessed copy of a control file, named after it with
  // ".intern", and returns that name: "#" comments removed, "$set" symbols
  // substituted (also those defined further down), "//" removed. Rank 0
  // only; the others wait for the copy. Within a run the file is written
  // once every output was checked.
  virtual void compileSymbols(const std::string& controlFileName, std::string& internName);
  // Every process learns which line of the control file each line of the
  // copy is, for the messages that name a line.
  void shareCopiedLines(const std::string& original, const std::string& copy);
  // Works on one line (with its line end) in place: cuts a comment, and
  // unless the line defines a symbol, substitutes every "$" reference by the
  // first definition of its name and removes every "//". The line number is
  // for the messages only.
  virtual std::string& replaceSymbols(std::string& line, long lineNumber,
                                      const std::vector<ControlFileSymbol>& symbols);
  // ===== end of control-file preprocessor ====================================

  // ===== Output settings =====================================================
public:
  // Reads "[output_interval]" with its key block, "[output_list]",
  // "[coordinates]", "[meteo_data_count]" and "[meteo_names]" from the named
  // (preprocessed) control file, which it opens and closes itself; sets the
  // output formats, the directory prefixes and the model context's
  // min_to_int_end in hours as well.
  virtual void readOutputControl(const std::string& fileName);
  // Reads "[soil_surface_groundwater_substeps]" (1 when absent).
  virtual int readSubsteps();

  int getOutputControlInterval() const { return outputControlInterval; }
  // Handed to every meteorological interpolator.
  int getSecondOutputSwitch() const { return secondOutputSwitch; }
  // Kept by the driver.
  int getThirdOutputSwitch() const { return thirdOutputSwitch; }
  double getMinToIntEndMinutes() const { return minToIntEnd; }
  int getTimeStep() const { return timeStep; }
  double getLatitude() const { return latitude; }
  double getLongitude() const { return longitude; }
  double getReferenceMeridian() const { return referenceMeridian; }
  double getTimeShift() const { return timeShift; }
  // Names of the meteorological variables 1 .. n at indices 0 .. n - 1.
  const std::vector<std::string>& getMeteoNames() const { return meteoNames; }
  // Subbasin codes of "[output_list]", strictly ascending.
  const std::vector<int>& getOutputList() const { return outputList; }
  int getSubstepCount() const { return subStepCount; }

protected:
  int outputControlInterval = 0;
  int secondOutputSwitch = 0;
  int thirdOutputSwitch = 0;
  // Minutes from the hour stamp of the meteorological data to the end of
  // the time step.
  double minToIntEnd = 0.0;
  // Non-zero: "[model_time]" is read in its key = value form.
  int timeStep = 0;
  double latitude = 0.0;
  double longitude = 0.0;
  double referenceMeridian = 0.0;
  double timeShift = 0.0;
  std::vector<std::string> meteoNames;
  std::vector<int> outputList;
  int subStepCount = 1;
  // ===== end of output settings ==============================================

  // ===== Model time ==========================================================
public:
  // Reads "[model_time]" from the open control file in the form that the
  // time step selects, normalises and checks the dates, sets February of
  // `monthDays` for the end year, and sets the start date, the end date and
  // `endMinuteIndex`.
  virtual void readModelTime();
  const ModelDate& getStartDate() const { return startDate; }
  // ===== end of model time ===================================================

  // ===== Land-use, multilayer land-use and soil tables =======================
  // config/parameter_table_readers.cpp, config/landuse_parameter_grids.cpp
public:
  // Read "[multilayer_landuse]" (no table when absent), "[landuse_table]" and
  // "[soil_table]" (an INFO line and an empty table when absent) from the
  // open control file. Record 0 of a table holds its number of records in its
  // code field. Failures throw 53, 51 and 52.
  virtual void readMultilayerLanduse();
  virtual void readLanduseTable();
  virtual void readSoilTable();
  // Registers, per land-use layer k = 1..layers, the parameter grids of the
  // land uses in the layer grids "landuse1" .., the grids
  // "SurfaceEvaporationResistance" and "albedo" of layer 1, and the stack
  // "DynamicPhenology" when a land use follows dynamic phenology. Collective.
  virtual void generateMultiLayerParameterGrids(int layers);
  // Fills the parameter grids for the date (step length in minutes) on this
  // process's cells, exchanges their halos and flags the start and end of
  // the vegetation period in the registry. Collective.
  virtual void updateActualLanduseGrids(long minute, long hour, long day, long month, long year,
                                        double stepLength);

  std::vector<landuse_class>& getLanduseTable() { return landuseTable; }
  std::vector<soil_class>& getSoilTable() { return soilTable; }
  // Empty when the control file has no multilayer table.
  std::vector<multilayer_landuse_class>& getMultilayerTable() { return multilayerTable; }
  // The layers of the multilayer table, 1 without one.
  int getLanduseLayerCount() const;
  // Registry index (0 when none) and last level of the "DynamicPhenology"
  // stack.
  int getPhenologyStackIndex() const { return phenologyStackIndex; }
  unsigned getPhenologyStackLevels() const { return phenologyStackLevels; }
  // Writes that stack, when there is one, under its file name followed by
  // "_End" in the output formats of the reader; the teardown calls it before
  // the grids are released. Collective.
  virtual void writeLanduseParameterStack();
  // A warm start: takes that stack from the file a former run wrote in the
  // directory of the initial states, so that the degree days of a season
  // go on; without the file the phenology starts anew. Collective.
  virtual void readLanduseParameterStack();
  // The counters of the periodic re-reads and the file each grid last read,
  // written by rank 0 into "PeriodicGrids_End" at the end of every run with
  // a periodicity; a warm start takes them from the directory of the initial
  // states and reads that file again at its first step, so that the grids
  // hold and drop what they held in the run through. Collective.
  // warm: read them (readgrid 1 or 3 of the unsaturated zone); the file is
  // noted as an output of the run either way.
  void writePeriodicGridState();
  void readPeriodicGridState(bool warm);

protected:
  std::vector<landuse_class> landuseTable;
  std::vector<soil_class> soilTable;
  std::vector<multilayer_landuse_class> multilayerTable;
  int phenologyStackIndex = 0;
  unsigned phenologyStackLevels = 0;
  LanduseParameterGrids landuseGrids;

private:
  int registerLanduseParameterGrid(const std::string& name, long firstRow, long lastRow);
  Stack newPhenologyStack(long firstRow, long lastRow);
  void fillLanduseParameterGrids(long day, long yearLength, double stepLength, bool firstStepOfDay);
  void flagVegetationPeriod(long day, bool firstStepOfDay, bool lastStepOfDay);
  void releaseLanduseParameterGrids();
  // ===== end of land-use, multilayer land-use and soil tables ================

  // ===== Derived grids =======================================================
  // config/derived_grids.cpp, config/coordinate_grids.cpp, config/slope_aspect.cpp,
  // config/landuse_layer_grids.cpp
public:
  // "CellSizeX", "CellSizeY" and "RelCellArea" (the cell area over the
  // nominal one) over the rows this process holds: taken from the registry
  // where standard grids of these names exist, otherwise derived from the
  // others and the header's cell size; cells outside the zone grid become
  // nodata. Given grids must agree with each other (code 66). The grids made
  // here are written once; then the zone areas are weighed by the cell
  // areas. Collective.
  virtual void makeCellSizeGrids();
  // "CoordX" and "CoordY" over this process's own rows: the lower-left
  // corner of every cell, accumulated over the cell sizes from the lower-left
  // corner of the grid, so that they do not depend on the decomposition.
  // Written once. Collective.
  virtual void makeCoordinateGrids();
  // "slope_angle" (degrees from the horizontal) and "slope_aspect" (degrees
  // clockwise from north, the direction the slope faces) from the elevation
  // model; cells without four valued neighbours take the mean of their
  // valued neighbours. A grid given as a standard grid is kept. Rank 0
  // computes the whole grid, so the result does not depend on the
  // decomposition. Written once. Collective.
  virtual void make_Slope_and_Aspect();
  // "landuse1" .. "landuseN" for the N layers of the multilayer land-use
  // table: the land-use record index of layer k of each cell's multilayer
  // type (the grid "landuse" holds its record index), -9999 for a type with
  // fewer layers. Collective.
  virtual void makeLanduseLayerGrids();

protected:
  int cellSizeXIndex = 0;
  int cellSizeYIndex = 0;
  int relCellAreaIndex = 0;
  int coordXIndex = 0;
  int coordYIndex = 0;
  int slopeIndex = 0;
  int aspectIndex = 0;
  Grid cellSizeXGrid = nullptr;
  Grid cellSizeYGrid = nullptr;
  Grid relCellAreaGrid = nullptr;
  Grid coordXGrid = nullptr;
  Grid coordYGrid = nullptr;
  Grid slopeGrid = nullptr;
  Grid aspectGrid = nullptr;
  // 1 when the grid was taken from the registry.
  int cellSizeXFromRegistry = 0;
  int cellSizeYFromRegistry = 0;
  int relCellAreaFromRegistry = 0;
  // Element 0 the grid "landuse", 1 .. count the layer grids.
  std::vector<Grid> landuseLayerGrids;
  int landuseLayerCount = 0;

  // The rows of the set-up grids: rank 0 every row, the others their own
  // rows and one halo row on each side where there is one.
  long heldFirstRow() const;
  long heldLastRow() const;
  // The first free registry entry; a full registry logs message + 1000 +
  // tail and ends the run with code 12.
  int takeFreeEntry(const char* message, const char* tail);
  // Allocates a grid over rows first..last, all cells `fill`, registers it
  // with write code 0 at the index, counts it among the reader's grids and
  // frees it with the reader.
  Grid registerDerivedGrid(int index, const std::string& fileName, const std::string& name,
                           long first, long last, double fill);
  // A grid file name cut before the extension of its last path component,
  // followed by ".intern." and the suffix.
  static std::string internFileName(const std::string& fileName, const char* suffix);
  static bool hasFileExtension(const std::string& fileName);
  // Writes a registered grid once under its name through the output of
  // registered grids, its write code 0 before and after, once every output
  // of the run was checked. Collective.
  void writeDerivedGridOnce(int index);

private:
  struct DerivedGrid {
    int index;
    Grid grid;
    long firstRow;
    long lastRow;
  };
  std::vector<DerivedGrid> derivedGrids;
  void releaseDerivedGrids();
  void checkCellSizes(long first, long last);
  void weighZonesByCellArea();
  // Layer k of every cell this process owns takes layer k of the cell's
  // multilayer type in the grid "landuse" (registry index given); the halo
  // follows. Collective.
  void fillLanduseLayerGrids(int landuseIndex);
  bool cellSizesVary();
  void accumulateCoordinates();
  // ===== end of derived grids ================================================

  // ===== Region weights and region ranking ===================================
  // config/region_weights.cpp, config/region_ranking.cpp
public:
  // "regression_regions" (a single region 1 unless a standard grid gives
  // them), the transition distance of "[region_transition_distance]", and
  // "regression_weights1" with, for two or more regions, the second and for
  // three or more the third nearest region and its weight in
  // "regression_regions2", "regression_weights2", "regression_regions3" and
  // "regression_weights3". Written once. Collective.
  virtual void MakeRegionWeightGrids();
  // The weights of every valid cell from the regions within the transition
  // distance: each process weighs its own rows and keeps its cells (without
  // their halo), rank 0 takes them into its whole grids. Collective.
  virtual void computeRegionWeights();
  // Numbers the region codes of the grid at the registry index (1 .. 32767,
  // at most 30 regions) in ascending order and finds the centre of every
  // region. Collective.
  virtual void rankRegionCodes(int regionGridIndex);

  int getRegionCount() const { return regionCount; }
  int getMaxRegionCode() const { return maxRegionCode; }
  // Rank of every code 0 .. highest code, 0 for codes that do not occur.
  const std::vector<int>& getRegionRanks() const { return regionRanks; }
  // Records 0 .. region count; record 0 is empty.
  const std::vector<RegionCentre>& getRegionCentres() const { return regionCentres; }

protected:
  double transitionDistance = 0.0;
  // Regions 1 .. 3 at 0 .. 2: the region grids ("regression_regions",
  // "regression_regions2", "regression_regions3") and the weight grids.
  int regressionRegionIndex[3] = {};
  int regressionWeightIndex[3] = {};
  Grid regressionRegionGrid[3] = {};
  Grid regressionWeightGrid[3] = {};
  int regionCount = 0;
  int maxRegionCode = 0;
  std::vector<int> regionRanks;
  std::vector<RegionCentre> regionCentres;

private:
  void readTransitionDistance();
  void scanRegions(int regionGridIndex);
  void shareRegionRanking();
  // ===== end of region weights and region ranking ============================

  // ===== Code checks (config/code_checks.cpp) =================================
public:
  // The grids whose cells hold codes of parameter-table records.
  enum class CodeGrid {
    soilTypes,      // "soil_types": soil records
    landuse,        // "landuse": multilayer records when that table exists, else land-use records
    irrigationCodes // "irrigation_codes": irrigation records; 0 is no irrigation
  };
  // Each tests that every cell of its code grid inside the zone grid holds a
  // code of its table and replaces every code by the index of its record.
  // Every process works on its own cells; the first unknown code in row
  // order over the whole grid ends every process, then the halo is
  // exchanged. Index 0 (no such grid) does nothing. Collective. With a multilayer table
  // check_LU_Codes also tests the layer codes against the land-use table, replaces them by land-use
  // record indices and hands the lists to every process.
  virtual void check_SOIL_Codes(int index);
  virtual void check_LU_Codes(int index);
  virtual void check_irrig_Codes(int index);
  // The same for a registered code grid read again during the run. The
  // layer lists are not touched; index 0 does nothing. Collective.
  void replaceRegisteredCodes(int index, CodeGrid kind);
  // Tests and replaces on rows firstRow..lastRow of any grid, on this process
  // alone; the zone grid (entry 1) must hold these rows.
  // An unknown code is logged with the file and lookup name and thrown as
  // its exit code (32 soil, 31 land use or irrigation, 311 multilayer).
  void replaceCodesByRecordIndices(Grid grid, long firstRow, long lastRow, CodeGrid kind,
                                   const std::string& fileName, const std::string& name);

private:
  void checkAndDistributeCodes(int index, CodeGrid kind, bool withLayerCodes);
  // Every process tests and replaces the codes of its own cells; rank 0
  // logs, and replaces every cell of the rows it keeps.
  void replaceOwnCodes(int index, CodeGrid kind);
  // The grids that releaseWholeSetupGrids leaves whole.
  std::vector<int> gridsKeptWhole(bool modulesBuilt);
  // Rank 0: the standard grids that the set-up reads whole there (none on
  // the others).
  std::vector<int> gridsReadWhole();
  // The code of every record 1..n, at index k - 1.
  std::vector<int> recordCodes(CodeGrid kind) const;
  void replaceLayerCodes();
  void broadcastLayerCodes();
  // ===== end of code checks ===================================================

  // ===== Standard-grid statistics and periodic re-reading =====================
  // config/standard_grid_statistics.cpp, config/periodic_standard_grids.cpp
public:
  // The zone statistic of every standard grid with a statistics file: its
  // zone records, its series and the file's header. Once, after the set-up.
  // Collective.
  void createStandardGridStatistics();
  // The steps of every statistic, called after the sub-models: reset, add
  // the cells this process owns, store (collective: the zone sums of all
  // processes meet on rank 0).
  void resetStandardGridStatistics();
  void addStandardGridStatistics();
  void storeStandardGridStatistics(long minute, long hour, long day, long month, long year);
  // Appends the buffered lines to the files. Collective.
  void flushStandardGridStatistics();
  // Writes what is buffered and releases every statistic. Collective.
  void releaseStandardGridStatistics();
  // Re-reads every standard grid whose period is due at this date from its
  // time-stamped file, replaces the codes of a code grid again and rebuilds
  // the land-use layers from a re-read "landuse"; a grid that is not
  // persistent gets its set-up values back the configured steps later. The
  // minute and the step length are not used. Collective.
  virtual void updatePeriodicStandardGrids(long minute, long hour, long day, long month, long year,
                                           double stepLength);
  // The set-up replaced the codes of the code grid at the registry index by
  // record indices: a re-read of it and its saved set-up values get the
  // same replacement. Index 0 does nothing. Collective.
  void takeCheckedCodeGrid(int index, CodeGrid kind);
  // Once every module is built: refuses a standard grid with a periodicity
  // (when periodicReads) or a grid the external program provides, whose
  // values a module built something from once at set-up that a read during
  // the run cannot follow (codes 17 and 1003). Collective.
  void refuseReadsOfGridsBuiltOnce(bool periodicReads);

  int getStandardGridStatisticCount() const {
    return static_cast<int>(standardGridStatistics.size());
  }

protected:
  struct StandardGridStatistic {
    int index = 0; // registry entry of the grid
    std::string fileName;
    std::vector<ZoneRecord> records; // 0 .. number of zones
    ZoneRecord* recordArray = nullptr;
    std::unique_ptr<zonalstatistic> series;
  };
  // In registry order; each keeps its address for the records pointer that
  // its series holds.
  std::vector<std::unique_ptr<StandardGridStatistic>> standardGridStatistics;

  // The cells this process owns inside the zone grid, as runs of columns of
  // one row and zone, grouped by zone index: the runs of zone z are
  // ownedZoneRuns[zoneRunStart[z] .. zoneRunStart[z + 1] - 1].
  struct ZoneCellRun {
    long row;
    long firstColumn;
    long lastColumn;
  };
  std::vector<ZoneCellRun> ownedZoneRuns;
  std::vector<std::size_t> zoneRunStart;

  struct CheckedCodeGrid {
    int index;
    CodeGrid kind;
  };
  std::vector<CheckedCodeGrid> checkedCodeGrids;

private:
  void findOwnedZoneRuns();
  // Runs the operation on every statistic, also after one failed, so that
  // every process makes the same collective calls; returns the first exit
  // code (rank 0 writes alone), for the caller to share.
  template <typename Operation> int forEachStandardGridStatistic(Operation operation);
  // The watched value of the grid's unit at this date moves its counters;
  // true when the grid is due for a re-read.
  static bool advancePeriod(StandardGrid& g, long hour, long day, long month);
  void rereadStandardGrid(StandardGrid& g, const ModelDate& date);
  void readStampedGrid(StandardGrid& g, const std::string& stamp, const ModelDate& date);
  void restoreSetupValues(StandardGrid& g);
  // Everything a read of the grid during the run into rows first .. last
  // brings about: the module's units, the record indices of codes and the
  // land-use layers, the set-up's checks and what the modules derive from
  // the grid. Collective.
  void takeValuesReadDuringRun(int index, const std::string& from, long first, long last,
                               const ModelDate& date);
  void scaleReadRows(int index, long first, long last);
  void refuseReads(bool periodicReads);
  const CheckedCodeGrid* checkedCodeGrid(int index) const;
  // After the grid "landuse" changed: the layer grids of the multilayer
  // table follow it.
  void followLanduseGrid(int index);
  // ===== end of standard-grid statistics and periodic re-reading ==============

  // ===== External coupling =====================================================
  // config/external_coupling.cpp, config/coupling_exchange.cpp
public:
  // Reads "[ExternalCoupling]" from the ".intern" copy, which it opens and
  // leaves open for the end of the set-up (set-up step 22). Without the
  // section coupling is off and every coupling operation does nothing. A
  // value that cannot be read ends the run with code 10.
  virtual void GetCouplingParameters();
  // Finds the internal grids in the registry (codes 1003 and 1004) and, on
  // rank 0, the statistics in the table (code 1005); the table itself is left
  // as it is. Called once after every module is built. Collective.
  virtual void resolveCouplingNames(StatisticTableEntry* table, int tableSize);
  virtual bool isExternalCouplingActive() const { return coupling.mode == 1; }
  // The file the external program writes when the model may go on.
  virtual const std::string& getSemaphoreFileName() const { return coupling.semaphoreFile; }
  // The file the model writes for the external program, and its word.
  virtual const std::string& getExternalSemaphoreFileName() const {
    return coupling.externalSemaphoreFile;
  }
  virtual const std::string& getExternalSemaphoreContent() const {
    return coupling.externalSemaphoreContent;
  }
  virtual long getCouplingWaitInterval() const { return coupling.waitInterval; }
  // 'I' every step; 'H', 'D', 'M', 'Y' when the hour, day, month or year
  // changes.
  virtual char getCouplingGridMode() const { return coupling.gridMode; }
  virtual int getExternalTimeStep() const { return coupling.externalTimeStep; }
  // True when a grid read from the external program is "GWTableExtern".
  virtual bool hasExternalGWTable() const;
  // Reads every external grid into its internal grid; rank 0 then renames,
  // deletes or keeps its file, and at the end deletes the semaphore file
  // (codes 1001 and 1002). Collective.
  virtual void exchangeExternalGrids(long year, long month, long day, long hour);
  // Adds the step to the sums of the coupling interval; every process calls
  // it at the end of each step that does not end the interval.
  virtual void accumulateCouplingStatistics();
  // Ends a coupling interval with the step of this date: writes the grids
  // (and, for running sums, the files of the day, month and year that end
  // with it) and the statistics files. Collective.
  virtual void writeCouplingStatistics(long hour, long day, long month, long year, bool dayEnds,
                                       bool monthEnds, bool yearEnds);

  const CouplingSettings& getCouplingSettings() const { return coupling; }

protected:
  CouplingSettings coupling;

private:
  void readCouplingSection();
  void createAccumulationGrids();
  void agreeOnExternalReads();
  void noteCouplingFiles();
  void matchCouplingStatistics(const StatisticTableEntry* table, int tableSize);
  void disposeExternalGrid(const ExternalReadGrid& g, long year, long month, long day, long hour);
  void deleteSemaphoreFile();
  // Applies op(accumulation cell, current value) on the process's own cells
  // with zone data in the grid's rows and column ranges; nodata elsewhere
  // in the ranges.
  template <typename Op> void updateAccumulation(const ExternalWriteGrid& g, Op op);
  void writeCouplingGrid(const ExternalWriteGrid& g, long day, long month, long year, bool dayEnds,
                         bool monthEnds, bool yearEnds);
  void writeCouplingStatisticFiles(long hour, long day, long month, long year);
  void releaseCoupling();
  // ===== end of external coupling ==============================================

  // ===== SpinUp hydrologic response units (config/spinup_hrus.cpp) ===========
public:
  // Reads "[SpinUp]"; when SpinUp is on, groups the cells into hydrologic
  // response units, either by the values of the standard grid
  // "HydrologicResponseUnits" (numbered anew) or by the classes of the grids
  // that the section names, and registers "HydrologicResponseUnits" (the
  // unit of every cell) and "MasterHydrologicResponseUnits" (the unit at the
  // master cell that each process keeps for each unit among its own cells).
  // Units are numbered alike on every process count. Writes both grids per
  // process and gathered on rank 0. Without the section or with the switch
  // 0 the three integers are 0 and the list holds the placeholder only.
  // Collective.
  void createHRUs(int& spinUp, int& doTemperaturePreSpinUp, int& repeatCnt, HRUList& hruList);
  // Registry entries of the two grids, 0 before createHRUs built them.
  int getHRUIndex() const { return hruIndex; }
  int getMasterHRUIndex() const { return masterHruIndex; }
  Grid getHRUGrid() const { return hruGrid; }
  Grid getMasterHRUGrid() const { return masterHruGrid; }

protected:
  int hruIndex = 0;
  int masterHruIndex = 0;
  Grid hruGrid = nullptr;
  Grid masterHruGrid = nullptr;

private:
  struct SpinUpSettings;
  struct HRUScan;
  bool readSpinUpSection(SpinUpSettings& settings);
  void createHRUGrids(SpinUpSettings& settings);
  void scanOwnHRUCells(const SpinUpSettings& settings, HRUScan& scan);
  void shareHRUClassFailure(const SpinUpSettings& settings, const HRUScan& scan);
  HRUList numberHRUs(const SpinUpSettings& settings, const HRUScan& scan);
  void reportLayeringSplit(const std::map<std::vector<double>, double>& units);
  void writeHRUGrids(const std::string& gatheredName);
  void writeHRUGridsNow(const std::string& gatheredName);
  std::string renumberedHRUFileName();
  // ===== end of SpinUp hydrologic response units =============================
};
