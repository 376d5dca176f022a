#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/soil_class.h"
#include "core/runoff_records.h"
#include "core/zonal_statistic.h"
#include "soil/cell_record.h"
#include "soil/column_solver.h"
#include "soil/layered_snow.h"
#include "soil/point_series.h"
#include "soil/region_failure.h"
#include "soil/reinfiltration_exchange.h"
#include "soil/reinfiltration_records.h"
#include "soil/river_shares.h"
#include "soil/soil_tracer.h"
#include "soil/unsatzon_settings.h"
#include "submodel/response_unit_copies.h"
#include "submodel/teilmodellklasse.h"

// The unsaturated zone: reads "[unsatzon_model]" with its optional sections
// "[heat_transfer]", "[unsatzon_tuning]" and "[permafrost]" and the
// per-subbasin runoff-concentration table, creates its zonal statistics and
// the single-point files of the control point, registers its grids and
// stacks, gives every soil column its initial state, sets up the lakes and
// writes the start summary of the soil water.
//
class StorageText;
class ControlFileSession;

// Every soil column is 1 .. m layers deep, m being the largest layer count of
// the soil table; its stacks hold the levels 0 (the surface node) .. m.
class unsatzonmodellklasse : public teilmodellklasse {
public:
  // soilTable: the driver's writable soil table, the records that
  // context.soilTable shows; kept for the set-up writes of the heat model.
  unsatzonmodellklasse(const ModelContext& context, int& errorCode,
                       std::vector<soil_class>* soilTable);
  // Frees what releaseModule has not released, without writing.
  ~unsatzonmodellklasse() override;

  // The state-file name ("%s_%d" with the rank); null when the module is off.
  virtual const std::string* getStorageFileName() const;
  // Storage constants of interflow and direct runoff per subbasin 1 .. n in
  // minutes; null when the module is off.
  virtual const double* getKelsqi() const;
  virtual const double* getKelsqd() const;
  virtual int getReadStorageParameter() const { return settings.readGrid; }
  // Set when surface routing concentrates the runoff.
  virtual void setRoutingConcentration(int flag) { routingConcentration = flag; }
  virtual void setDumpMode(int dump, int close, int repair, long maxFiles);
  virtual bool isHeatTransferActive() const { return settings.heat.active > 0; }
  // The layered snow model: its switch, its snow types (record 0 holds
  // their count) and the offset of the temperature of new snow.
  virtual bool isLayeredSnowActive() const { return snowSettings.active > 0; }
  virtual const std::vector<soil_class>* getLayeredSnowProperties() const {
    return isLayeredSnowActive() ? &snowTypes : nullptr;
  }
  virtual double getTOffsetFreshSnow() const { return snowSettings.tOffsetFreshSnow; }
  // Whether the groundwater model runs; set by the driver after building
  // it. Without river exchange the aquifer then feeds no river: a warning.
  virtual void setGroundwaterActive(bool active);
  // Whether channel routing's lake model releases the lakes' water; set by
  // the driver after building it.
  virtual void setLakesReleased(bool released) { lakesReleased = released; }
  // Whether the snow model's glacier takes the water on cells wholly under
  // a glacier; set by the driver after building it.
  virtual void setGlacierTakesWater(bool takes) { glacierTakesWater = takes; }
  // Finds again which subbasins hold glacier, once a dynamic glacier's
  // annual close or a warm start has changed the glaciers' extent: the
  // glacier runoff of such a subbasin joins its runoff from the next step
  // on. Collective.
  virtual void updateGlacierZones();

  // Looks up, on the first call, the water input of the soil: the first of
  // "throughfall0", "snowcover_outflow" and "precipitation", with
  // interception first the snow outflow before the throughfall.
  virtual Grid selectInputGrid(int interceptionFirst);
  // Cells wholly under a glacier have no soil column: the glacier's
  // storages carry their water.
  static bool glaciated(double glacierCode) { return glacierCode >= 1.0; }
  // One sub-step of every own soil column (the date names the report
  // lines), then the response units' copies, the zonal statistics and the
  // runoff records of the sub-step.
  virtual int computeTimeStep(long minute, long hour, long day, long month, long year);
  // "Max_Pumping": the water in mm that the saturated layers of a cell would
  // give down to field capacity; with an irrigation table only.
  virtual void computeMaxPumping();

  // The start of a step: reports the date, moves the flow-time records on by
  // one step and starts a new step in every statistic. Collective.
  virtual void readGroundwaterHeads(long year, long month, long day, long hour, long minute);
  // After each sub-step of the groundwater model: where a lake's soil is
  // saturated to the surface, the lake gains what the aquifer's first layer
  // gained there in the sub-step and gives what it lost, as far as it holds
  // water; its cells' "q_downext" sums the exchange of the step (m/s,
  // upward positive), which the lake's table books.
  virtual void settleLakeGroundwater();
  // Moves every own cell's table to "GWTableExtern", filling or draining the
  // layers in between, and books the water in "Balance" (mm), to which the
  // sub-steps of the step add the water their bounds guard adds.
  virtual void readGwStorageCoefficients();
  // After the sub-steps: the runoff of every subbasin through its two linear
  // storages on rank 0, the steps of the statistics and the grids due.
  // Collective.
  virtual void concentrateRunoff(long minute, long hour, long day, long month, long year);
  // Appends what the point series of the control point and every statistic
  // have buffered to their files. Collective.
  virtual void flushStatistics();

  // The temperature pre-spin-up, once per step of its period: adds the air
  // temperature of every own cell to the sums of the day and of the period
  // and turns the day's mean into degree days with the step that reaches
  // the day's end. Returns the minute of the day reached.
  virtual int preSpinUpSoilTemperature(long minute, long hour);
  // After the last step of the pre-spin-up: the soil temperatures of every
  // own column from the degree days, the mean air temperature and the
  // geothermal heat flux; writes the sums and the temperatures and frees
  // the sums. Collective.
  virtual void updateSoilTemperatureStack();

  // Keeps the tracer count, registers the river exchange grids when rivers
  // or the groundwater model exchange with the soil, builds the flow-time
  // distribution, then the stores, grids, statistics and point files of
  // every tracer and, with the surface water interaction on, the rivers'
  // statistics; reads the state file last. Does not call the base, since
  // the module keeps tracer stores of its own. errorCode is the same on
  // every process. Collective.
  void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                   StatisticTableEntry* statisticTable, long tableSize) override;
  // Writes what the tracer statistics and point series hold, unregisters
  // and frees every tracer grid and store; a second call finds nothing.
  void freeTracers() override;

  // The river water of every subbasin, records 0 .. n; null when the
  // module is off. Channel routing fills it on rank 0.
  virtual ReinfiltrationRecord* getReinfiltrationRecords();
  // Every process takes rank 0's records (the start of a step). Collective.
  virtual void broadcastReinfiltrationRecords();
  // The rates the cells of every process took over the step, summed into
  // rank 0's records (the start of the runoff concentration). Collective.
  virtual void reduceReinfiltrationRecords();
  // The sub-step's take joins the step's mean.
  virtual void accumulateReinfiltrationRecords();

  // With the surface water interaction 2 every river link is solved by one
  // process in link order, whichever strips its cells lie in: gives the
  // foreign cells their stores, sizes the buffers and runs one exchange
  // there and back. Returns the cell record length, 0 when the exchange
  // is off. Collective.
  virtual long prepareMPIReinfiltration();
  // A store of n foreign cells for the grid (stack with `values` values per
  // cell); 0 when it is absent, else 1 (the values).
  virtual int allocateGridElementsInRow0(Grid grid, long n);
  virtual long allocateStackElementsInRow0(Stack stack, long n, long values);
  // The cell record of cell (row, column) at buffer[offset ...]; return the
  // offset behind it.
  virtual long packCellState(long row, long column, double* buffer, long offset);
  virtual long unpackCellState(long row, long column, const double* buffer, long offset);
  // Before the solver: own link cells out, foreign cells in, standing in
  // for the halo row above the strip. Collective.
  virtual void sendReinfiltrationCells();
  // After the solver: the foreign cells back home, the halo rows restored,
  // the sub-step's take into the step's mean. Collective.
  virtual void returnReinfiltrationCells();
  virtual void saveGhostRows();
  virtual void restoreGhostRows();

  // Per tracer index 0 (water, mm per step over the subbasin) .. tracers
  // (concentrations), each over the subbasins 1 .. n (index 0 unused).
  using RunoffArrays = std::vector<std::vector<double>>;
  // The runoff of the step on rank 0: total, inflow of the direct-runoff and
  // interflow storages, baseflow. Null when the module is off; before the
  // flow-time distribution exists the run ends with code 57.
  virtual RunoffArrays* getQg();
  virtual RunoffArrays* getQD();
  virtual RunoffArrays* getQI();
  virtual RunoffArrays* getQBb();
  // Per subbasin (1 .. n) on rank 0 the water still on its way to the
  // outlet after the step: in the flow-time zones still to arrive and in the
  // linear storages of direct runoff and interflow, mm over the subbasin.
  std::vector<double> concentrationStorage() const;

  // The state file: the section "[unsatzon_model]", appended to the file
  // or in a new one; the file of this process with the output directory in
  // front. Returns what closing the file returned.
  virtual int writeStorageFile(bool append);
  // Reads and checks the section of this process's file in the directory
  // of the initial states; takes over the runoff on its way.
  virtual void readStorageFile();
  // The teardown: with the write-storage flag the state file (appended
  // when `append`), the soil water of the control cell and of the
  // catchment at the end in the log files and the last point rows; then
  // every statistic, grid and stack is released, and the base teardown
  // runs in every case. Collective with the write-storage flag.
  virtual void finishModelRun(bool append);

  // What the soil-column solvers of this process have done so far.
  SolverTally getSolverTally() const;

  const UnsatzonSettings& getSettings() const { return settings; }
  int getLayerCount() const { return layers; }
  const std::string& getOptionTag() const { return optionTag; }

protected:
  // --- state file (soil/unsatzon_state_file.cpp) -------------------------------
  // Reads the next value of the current line and compares it with *value
  // (relative difference at most 1e-5; a stored 0 only equals 0); a
  // mismatch or no number ends the run with 71. Returns 1.
  virtual int readStorageValue(StorageText& text, const double* value, const std::string& name);
  [[noreturn]] virtual void checkStorageValue(const std::string& name, double control,
                                              double stored);

  // --- configuration (soil/unsatzon_config.cpp) --------------------------------
  void readModelSection();
  void checkControlPoint();
  void checkMethod();
  void checkSwitches() const;
  void readSubbasinTable();
  // "[heat_transfer]", "[unsatzon_tuning]" and "[permafrost]", each in a
  // session of its own on the control file.
  void readOptionalSections();
  void readHeatTransfer();
  void checkHeatConstants() const;
  void readTuning();
  void checkTuning() const;
  void warnUnknownTuningKey(const std::string& line) const;
  void readPermafrost();
  void refuseUnsupportedSettings();
  void closeModelSection();

  // --- grids and initial state (soil/unsatzon_grids.cpp, soil/unsatzon_state.cpp)
  void checkRegistrySpace();
  void takeForeignGrids();
  void registerOwnGrids();
  void readPondingInput();
  // Rank 0: logs the first cell of "max_ponding_storage" (in m, as read)
  // outside its range and returns its code, else 0.
  // from: the file read during the run, empty at set-up.
  int pondingOutOfRange(const GridRegistryEntry& e, const std::string& from) const;
  void setInitialState();
  void checkSoilTypes();
  void readStateGrids();
  void readStateGrid(Grid grid, const NamedOutput& line,
                     Resampling resampling = Resampling::bilinear);
  void startFluxesAtRest();
  void readKeptState();
  void computeColumns();
  void computeRootZoneFromState();
  void fillIrrigationGrids();
  void fillDrainageAndClayLevels();
  void fillSlopeTangent();
  // What the set-up derived from grids a read during the run may change:
  // the levels of drains and clay and the bounds of irrigation are derived
  // again, the soil columns, slopes and lakes refuse the read.
  void followGridsReadDuringRun();
  bool isOwnValidCell(long r, long c) const;
  // Allocates a grid over the held rows, start in the own valid cells and
  // nodata elsewhere, and registers it under the name; the file name and
  // write code come from the line, or are the name and 0 without one.
  Grid registerOwnGrid(const std::string& name, const NamedOutput* line, double start = 0.0);
  Stack registerOwnStack(const std::string& name, const NamedOutput& line);

  // --- lakes (soil/unsatzon_lakes.cpp) ---------------------------------------------
  virtual void initLakeModel(const std::string& section);

  // --- outputs at construction (soil/unsatzon_outputs.cpp) -------------------------
  void createStatistics();
  void createStatistic(UnsatStatistic which, const std::string& title, int decimals);
  void createPointFiles();
  void buildOptionTag();
  void setUpGlaciers();
  void createImmobilisedStatistic();
  void shareGlacierZones();
  void writeStartSummary();
  // The means of the soil water over the own cells of every process, in
  // rank 0's log: "... at model-<moment>: ...". Collective.
  void writeMeanSoilWater(const char* moment);
  // The water of a cell's column in mm.
  double columnWater(long r, long c) const;
  // Appends a line to "modell_<rank>.log" of this process, without time stamp.
  void appendPlainLog(const std::string& text);
  void takeResponseUnitGrids();

  // --- layered snow set-up (soil/layered_snow_setup.cpp) -------------------------
  // "[LayeredSnowModel]"; returns its switch.
  virtual int readLayeredSnowModel();
  // "[LayeredSnowProperties]": the snow types with their thermal defaults.
  virtual void readLayeredSnowProperties();
  // The snow model's grids, and the snow stacks read or created.
  virtual void registerSnowGrids();
  void closeSnowSection(ControlFileSession& session);
  // Registers a stack of the snow layers with a grid of its level 0; a
  // null stack is created with `start` in own cells.
  Stack registerSnowStack(SnowStackLine line, Stack stack, double start = 0.0);
  Stack readSnowStack(SnowStackLine line);
  void registerUpperIndexSnow(bool read);
  void setColdSnowColumns();
  void refreshSnowViews();
  // --- layered snow around the solver (soil/unsatzon_snow.cpp) -------------------
  void prepareSnowColumn();
  void loadSnowPack(long r, long c, ColumnSolver& solver) const;
  void writeBackSnowPack(long r, long c, const ColumnSolver& solver);
  void followSnowPack(long r, long c, double iceChange, double iceLeft);
  void initialiseSnowLayerTemperatures();

  void releaseGrids();

  // --- control point and end of run (soil/unsatzon_end_of_run.cpp) --------------
  bool ownsControlPoint() const;
  // The buffers of the point series, on the process that owns the control
  // cell.
  void createPointSeries();
  // One record of every point series for the sub-step; full buffers are
  // written.
  void recordControlPoint(const ModelDate& date);
  // Collective: the process that solved the control cell in its link hands
  // the layer detail to the cell's owner.
  void shareControlDetail();
  // Appends the rows of every point series to its file.
  void writePointBuffers();
  void writePointBuffer(PointSeries& series);

  // --- runoff concentration (soil/unsatzon_concentration.cpp) ---------------------
  void computeFlowTimeDistribution();
  // The flow time of own cells in steps; the first failure is kept.
  void convertFlowTimes(Grid flowTimes, std::vector<double>& longest);
  void checkFirstFlowTimeZones() const;
  void logFlowTimeDistribution() const;
  RunoffArrays* requireRunoff(RunoffArrays& arrays, const char* name);
  // The flow-time class of an own cell.
  std::size_t flowTimeClass(long r, long c) const {
    return routingConcentration != 0 || !flowTimes ? 1 : static_cast<std::size_t>(flowTimes[r][c]);
  }
  // The relative area of an own cell.
  double cellWeight(long r, long c) const {
    return cellWeights && cellWeights[r][c] != header.nodata ? cellWeights[r][c] : 1.0;
  }

  // --- heat (soil/unsatzon_heat.cpp) ----------------------------------------------
  void takeHeatGrids();
  void registerHeatGrids();
  // "T_Lower_Boundary_Condition" from the elevation, written once per process.
  void computeLowerBoundary();
  // Thermal values the soil table leaves out, freezing curves and the
  // cached powers of the conductivity, in the writable soil table.
  void setThermalDefaults();
  // The same for the records of a table: soil types or snow types.
  void setThermalDefaults(std::vector<soil_class>& table) const;
  void createTemperatureFile();
  // Temperatures linear in depth from the air down to the lower boundary.
  void initialiseSoilTemperatures();
  // The n-factor of every land use for the date of the sub-step.
  void takeNFactorsOfDate(const ModelDate& date);
  void setHeatForcing(long r, long c, ColumnSolver& solver, HeatForcing& forcing) const;
  void writeBackHeat(long r, long c, const ColumnSolver& solver, double tableLevel);

  // --- temperature pre-spin-up (soil/unsatzon_prespinup.cpp) -----------------------
  Grid preSpinUpGrid(const std::string& name);
  // Unregisters and frees one of the module's grids before the end of the run.
  void releaseOwnGrid(int index);
  // Rank 0 writes the registry grid of that name as every process holds it.
  void writeGatheredGrid(const std::string& name);
  void setColumnFromDegreeDays(long r, long c, const soil_class& soil, double years);

  // --- per sub-step records (soil/unsatzon_step_records.cpp) ----------------------
  void takeResponseUnitCopies();
  void copyHruMasterStates();
  void addStepStatistics();
  // The statistics that receive own cells, with their values at a cell.
  void addCellStatistics(long r, long c, std::size_t zone, double w, double g);
  double baseflowAmount(long r, long c) const;
  // Irrigation of the cell draws its water from groundwater.
  bool irrigatedFromGroundwater(long r, long c) const;

  // --- the water owed to the aquifer (soil/unsatzon_groundwater_owed.cpp) -----------
  // With the groundwater model: the grid of what the saturated zone owes
  // the aquifer's first layer, and the state it starts from.
  void registerGroundwaterOwed();
  void writeGroundwaterOwed();

  // --- lakes and the aquifer (soil/unsatzon_lake_groundwater.cpp) ------------------
  // A lake cell of channel routing's lakes over the aquifer: the lake takes
  // what the aquifer gives the cell and gives what it takes.
  bool lakeTakesAquiferWater(long r, long c) const;
  // The start of a step: the lake cells' "q_downext" begins the step's sum.
  void clearLakeExchange();
  // The tracers of a lake cell holding `pond` mm that gives the aquifer
  // `given` mm (negative: receives).
  void settleLakeTracers(long r, long c, double pond, double given);

  // --- irrigation beyond the baseflow (soil/unsatzon_irrigation_owed.cpp) ----------
  // Without the groundwater model, with fields watered from groundwater:
  // the grid of what their saturated zone owes, and the state it starts from.
  void registerIrrigationOwed();
  // A warm start's owed water beyond 0 ... the water a cell's soil column
  // holds when saturated ends the run with 22. Collective.
  void refuseOwedBeyondColumns(const std::string& path);
  // After the records are summed: what the fields of a subbasin drew beyond
  // its baseflow becomes owed by their cells. Collective.
  void oweIrrigationBeyondBaseflow();
  void writeIrrigationOwed();

  // --- the soil-column solver (soil/unsatzon_timestep.cpp) -------------------------
  void takeSolverGrids();
  void resetBalance();
  // The columns of one row of the strip, on the calling thread's solver,
  // but those that draw from a river record.
  void solveSoilColumns(long row, ColumnSolver& solver, const ModelDate& date,
                        RegionFailure& failure);
  void passOverGlacier(long r, long c);
  // An own cell's column, unless a glacier covers it or it follows the
  // master cell of its response unit.
  void solveOwnCell(long r, long c, ColumnSolver& solver, const ModelDate& date,
                    RegionFailure& failure);
  void solveCell(long r, long c, ColumnSolver& solver, const ModelDate& date,
                 RegionFailure& failure);
  // The per-thread solvers, made outside the parallel region.
  void prepareSolvers();

  // --- river cells (soil/unsatzon_rivers.cpp) -----------------------------------
  // The river grids and statistics, with the surface water interaction on.
  void setUpRivers();
  // Collective: a link to no subbasin ends the run with 199, naming the
  // first such cell in row order.
  void refuseLinksToNoSubbasin();
  void warnOfSharedRecords();
  // The record of a "river_links" value: the rank of its subbasin code, 0
  // when the code is none of 1 .. n.
  int linkRecord(double value) const;
  bool isLinkedRiverCell(long r, long c) const;
  // The glacier's share g of a cell, 0 to 1: the column stands for 1 - g.
  // A lake of channel routing keeps its water on the whole of its cells:
  // there the column stands for all of a cell the glacier covers in part.
  double glacierShare(long r, long c) const;
  // The part of the cell the water from above stands for, per unit of
  // its area: on a lake's cell partly under a glacier whose own pack
  // takes the weather of its share, the part beside the glacier, which
  // the column, standing for the whole cell, takes in that share.
  double landShare(long r, long c) const;
  // The step's rain on the glacier's part of a cell, mm over that part.
  double glacierPartRain(long r, long c) const;
  // A cell of a lake of channel routing, which holds the lake's number.
  bool isLakeCell(long r, long c) const { return lakeCodes && lakeCodes[r][c] > 0.0; }
  // A lake cell of the lake model holding 1 mm or more of water.
  bool isFullLake(long r, long c) const;
  bool macroporesOpen(long r, long c) const;
  // The river a cell exchanges with in the sub-step and what its record
  // offers; false where none does.
  bool riverOf(long r, long c, RiverOffer& offer);
  // Lists the own cells that draw from each record.
  void listLinkedCells();
  // Charges the record with what a cell took (m^3/s).
  void chargeRecord(const RiverOffer& offer, double taken);
  // --- (soil/river_shares.cpp) ---
  // Before the sub-step's cells: each cell that draws from a record gets a
  // share of what the record offers, at most what the channel holds, in
  // proportion to what it would take. Collective.
  void shareRiverWater();
  template <typename F> void forEachDrawingCell(F f);
  // The rate (m^3/s) the cell may take in the sub-step.
  double riverShareOf(long r, long c) const;
  // One key per cell of the rows and of the row of foreign cells, which may
  // hold more cells than a row has columns.
  long riverShareKey(long r, long c) const;
  // The arrays of the cell record in their fixed order; those the solver
  // touches beyond the list follow.
  void buildCellRecord();
  void checkLinkCellsListed();
  // After the parallel region: the cells that draw from a record, those of
  // one record in row and column order by one thread.
  void solveLinkedRiverCells(const ModelDate& date);

  // --- tracers (soil/unsatzon_tracers.cpp, soil/unsatzon_tracer_outputs.cpp) -------
  void setUpTracers(const std::vector<TracerRecord>& table, StatisticTableEntry* statisticTable,
                    long tableSize);
  void setUpTracer(int k, const TracerRecord& record, StatisticTableEntry* statisticTable,
                   long tableSize);
  void fillTracerStore(SoilTracer& t);
  void createTracerPointFile(int k, SoilTracer& t);
  // Unregisters and frees the tracers' grids and stores without writing.
  void releaseTracerGrids();
  // Hands a cell's tracers to the solver, as masses, and takes them back.
  // The water silting-up and surface routing leave on a cell (mm).
  struct LandWater {
    double runoff = 0.0; // silting-up's direct runoff
    double stored = 0.0; // what surface routing left on the land
  };
  void loadTracers(long r, long c, ColumnSolver& solver, const RiverOffer* river,
                   const LandWater& land);
  // The concentration grids of the water on the land, once they exist.
  void takeLandTracerGrids();
  // Once a step, before surface routing changes silting-up's store: the
  // concentration of the water silting-up passed on as the water input.
  void takeSiltedInputConcentrations();
  void storeTracers(long r, long c, ColumnSolver& solver);
  // The water of the aquifer's pores below a column `columnDepth` m deep
  // (mm), with which its saturated zone mixes; 0 without the aquifer's
  // grids.
  double aquiferPoreWater(long r, long c, double columnDepth) const;
  // The concentration of tracer t in level k of a cell's store; 1e9 for a
  // layer without water.
  double layerConcentration(const SoilTracer& t, long r, long c, int k) const;
  // The runoff records of every tracer for the unglaciated share w of a
  // cell, weighted by the runoff of the cell.
  void addTracerRecords(long r, long c, std::size_t zone, std::size_t flowClass, double area,
                        double w);
  void recordTracerPoints(const ModelDate& date);
  // The concentration of the top layer of every own column into t.top.
  void computeTopConcentration(SoilTracer& t);
  // Rank 0: the concentrations of every subbasin's runoff; then every
  // process: the top layer's concentration, the grids and statistics due.
  void concentrateTracers(long minute, long hour, long day, long month, long year);

  // Calls f(row, column, soil) for every own valid cell of the strip, rows
  // shared among the threads.
  template <typename F> void forEachOwnColumn(F&& f) {
    const std::vector<soil_class>& table = *context.soilTable;
#pragma omp parallel for schedule(runtime)
    for (long r = header.firstRow; r <= header.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        if (isOwnValidCell(r, c)) f(r, c, table[static_cast<size_t>(soilTypes[r][c])]);
  }

  struct OwnGrid {
    int index = 0;
    Grid grid = nullptr;
    Stack stack = nullptr;
    long firstRow = 1;
    long lastRow = 0;
  };
  struct ModuleStatistic {
    std::vector<ZoneRecord> records;
    ZoneRecord* data = nullptr; // records.data(); the statistic reads through it
    std::unique_ptr<zonalstatistic> statistic;
  };
  // Per subbasin: a glacier in it, the sum of the glacier fractions of its
  // cells and the sum of the rest.
  struct GlacierZone {
    bool hasGlacier = false;
    double glacierSum = 0.0;
    double freeSum = 0.0;
  };

  std::vector<soil_class>* soilTable = nullptr;
  UnsatzonSettings settings;
  int layers = 0; // m
  int landuseLayers = 1;
  long heldFirstRow = 1; // rows of the module's grids: the strip and its halo
  long heldLastRow = 0;
  std::string storageFileName;
  std::string optionTag;
  int routingConcentration = 0;
  bool groundwaterActive = false;
  DumpControl dumpControl;

  // The point series of the control point, in the order of the section's
  // file lines; empty on processes that do not own the control cell.
  std::vector<std::unique_ptr<PointSeries>> pointSeries;
  // Grids the other-data series reads, nodata where absent: albedo and
  // soil evaporation resistance, then per land-use layer leaf area index,
  // coverage, canopy and interception resistance, root depth, roughness.
  std::vector<Grid> otherDataGrids;
  // The control cell's root uptake, evaporation and interflow per layer in
  // the last sub-step, left by the solver that solved it.
  std::vector<double> controlEtr;
  std::vector<double> controlInterflow;
  // With re-infiltration in link order: the processes that solve and own the
  // control cell when they differ, else -1.
  int controlSolvedBy = -1;
  int controlOwnedBy = -1;

  // Per subbasin 1 .. n (index 0 unused).
  std::vector<int> subbasinCodes;
  std::vector<double> kelsqd; // minutes
  std::vector<double> kelsqi; // minutes
  std::vector<double> channelDensity;
  std::vector<double> kelsqlat; // the reciprocal of the recession constant
  std::vector<double> maxBaseflow;
  std::vector<double> snowRunoffFraction;

  std::vector<OwnGrid> ownGrids;
  ModuleStatistic statistics[unsatStatisticCount];
  std::vector<GlacierZone> glacierZones; // 0 .. n, with glaciers

  // Grids of other modules and of the set-up.
  Grid zone = nullptr;
  Grid elevation = nullptr;
  Grid regions = nullptr;
  Grid soilTypes = nullptr;
  Grid slope = nullptr;
  Grid irrigationCodes = nullptr;
  Grid maxPonding = nullptr;
  int maxPondingIndex = 0;
  Grid drainageDepth = nullptr;
  Grid clayDepth = nullptr;
  Grid glacier = nullptr; // fraction of glacier per cell
  int glacierIndex = 0;
  bool dynamicGlacier = false; // "GlacierizedCells" with a mass balance
  Grid glacierOld = nullptr;   // "GlacierizedCellsOld"
  std::vector<Grid> landuse;   // 1 .. land-use layers

  // Own grids and stacks used at construction.
  Stack theta = nullptr;
  Stack geodeticHeads = nullptr;
  Stack hydraulicHeads = nullptr;
  Grid tableDistance = nullptr;   // "groundwater_distance"
  Grid tableLayer = nullptr;      // "groundwater_level"
  Grid tableLayerTheta = nullptr; // "Theta_in_GWLEVEL"
  Grid baseflow = nullptr;
  Grid ponding = nullptr;
  Grid irrigationAmounts = nullptr;
  Grid drainageLevel = nullptr;
  Grid slopeTangent = nullptr;
  Grid clayLevel = nullptr; // not registered: the solver's alone

  // What the solver reads and writes besides the grids above.
  struct SolverGrids {
    Grid input = nullptr;
    // Silting-up's direct runoff of the step and the water surface routing
    // left on the land ("DirectRunoffSiltingUp", "SurfStorSiltingUp").
    Grid siltingRunoff = nullptr;
    Grid surfaceStorage = nullptr;
    // The weather's, for the glacier's part of a cell that no glacier
    // model takes.
    Grid precipitation = nullptr;
    std::vector<Grid> potentialTranspiration; // land-use layers 1 .. L
    std::vector<Grid> realTranspiration;
    std::vector<Grid> rootDepth;
    std::vector<Grid> coverage;
    Grid potentialEvaporation = nullptr;
    Grid realEvaporation = nullptr;
    Grid drainageDistance = nullptr;
    Grid thawDepth = nullptr;
    Grid masterCells = nullptr; // response units: only master cells are solved
    Stack flux = nullptr;       // "q_down"
    Grid bottomFlux = nullptr;  // q_downext
    Grid directflow = nullptr;
    Grid interflow = nullptr;
    Grid drainage = nullptr;
    Grid macropore = nullptr;
    Grid recharge = nullptr;
    Grid percolation = nullptr;
    Grid capillaryRise = nullptr;
    Grid infiltrationExcess = nullptr;
    Grid infiltration = nullptr;
    Grid balance = nullptr;
    Grid waterSteps = nullptr;      // "number_of_substeps", method 3
    Grid rootZoneWater = nullptr;   // "SB_1_grid"
    Grid rootZoneSuction = nullptr; // "MeanThetaInRootZone"
    Grid columnWater = nullptr;     // "SB_2_grid"
    Grid rootDepthOutput = nullptr; // "ROOTgrid"
  };
  SolverGrids solverGrids;
  // The root zone's mean water content ("SB_1_grid") and its suction, the
  // column's water ("SB_2_grid", mm) and the root depth ("ROOTgrid", mm) of
  // a cell whose roots reach `root` m into water contents theta (1..n)
  // (soil/unsatzon_state.cpp).
  void storeRootZone(const SolverGrids& grids, long r, long c, const soil_class& soil,
                     const double* theta, double root) const;
  ColumnStepSettings stepSettings;

  // Runoff concentration.
  int tracerCount = 0;
  Grid flowTimes = nullptr; // "flow_times", in steps once converted
  bool flowTimesConverted = false;
  std::vector<double> longestFlowTime; // M_s per subbasin 1 .. n
  std::vector<double> subbasinWeight;  // the relative area of all cells per subbasin
  // Per tracer index: per subbasin the records 0 .. M_s of the runoff that
  // reaches the outlet 1 .. M_s steps on; baseflow one record per subbasin.
  std::vector<std::vector<RunoffRecords>> directRecords;
  std::vector<std::vector<RunoffRecords>> interflowRecords;
  std::vector<RunoffRecords> baseflowRecords;
  RunoffArrays Qg, QD, QI, QBb, QDout, QIout;
  Grid riverInfiltration = nullptr; // "river_infiltration" (GWIN), mm of the sub-step
  Grid riverExfiltration = nullptr; // "river_exfiltration" (GWEX)
  // With the groundwater model: mm of the sub-step the saturated zone gave
  // the aquifer's first layer, negative when it received.
  Grid aquiferExchange = nullptr; // "aquifer_exchange"
  // mm over the cell the saturated zone still owes the aquifer's first
  // layer for what it lost, negative for what it gained; the groundwater
  // model adds each sub-step's, the soil drains it.
  Grid groundwaterOwed = nullptr; // "groundwater_owed"
  // Without it: mm the watered cells' saturated zone owes for irrigation
  // their subbasin's baseflow could not pay; per subbasin what the fields
  // drew in the step, and the share of it owed.
  Grid irrigationOwed = nullptr; // "irrigation_owed"
  RunoffRecords drawRecords;
  std::vector<double> owedShares;

  // Rivers and lakes.
  struct RiverGrids {
    Grid depth = nullptr;   // "river_depth"
    Grid width = nullptr;   // "river_width"
    Grid links = nullptr;   // "river_links"
    Grid leakage = nullptr; // "kolmation"
  };
  RiverGrids rivers; // with the surface water interaction on
  // Per record 1 .. n its own cells, in row and column order; listed at
  // the first sub-step.
  std::vector<std::vector<std::pair<long, long>>> linkedCells;
  bool linkedCellsListed = false;
  // Per drawing cell, keyed by riverShareKey, its record and its share of
  // the sub-step; the demands of the own cells and of all.
  struct RiverShare {
    std::size_t record;
    double rate;
  };
  std::unordered_map<long, RiverShare> riverShares;
  long riverShareColumns = 0;
  std::vector<RiverDemand> ownDemands;
  std::vector<RiverDemand> allDemands;
  ReinfiltrationRecords reinfiltration;
  // River links solved in link order across processes (interaction 2).
  CellRecord cellRecord;
  ReinfiltrationExchange reinfiltrationExchange;
  int lakeFlowControl = 0; // of "[lake_model]"
  Grid lakeCodes = nullptr;
  // Lake cells whose drains lake method 2 took out at set-up.
  std::vector<std::pair<long, long>> lakeCellsWithoutDrains;
  bool lakesReleased = false;
  bool glacierTakesWater = false;

  std::vector<std::unique_ptr<SoilTracer>> soilTracers; // tracers 1 .. tracerCount
  // With tracers and groundwater: "aquifer_thickness_1", "gw_storage_coeff_1".
  Grid aquiferThickness = nullptr;
  Grid aquiferStorage = nullptr;
  // The water of each cell's snow pack when the column left it (mm), so
  // that what the snow model adds or takes before the next step is known.
  Grid packWaterLeft = nullptr;
  double packWater(long r, long c) const;
  // Tracer t's concentration in a cell's pack once the pack went from
  // `before` to `now` (mm) by the snow model.
  double packConcentrationWith(const SoilTracer& t, long r, long c, double before,
                               double now) const;
  // After the snow model's step that follows the soil's: every own pack
  // takes up what it changed since the column left it.
  void takeLateSnowIntoPacks();

  // Start of the step.
  bool stepGridsTaken = false;
  Grid groundwaterHead = nullptr;    // "gw_head_1", for the solver's coupling
  Grid groundwaterStorage = nullptr; // "gw_storage_coeff_1", likewise
  Grid externalTable = nullptr;      // "GWTableExtern"
  // "Balance" holds the external table's water of this step: the step
  // adds its own to it instead of starting from 0.
  bool externalTableBooked = false;

  // Response units: the grids and stacks a follower cell copies.
  bool responseUnitCopiesTaken = false;
  std::vector<Grid> hruGrids;
  std::vector<ResponseUnitCopies::StackLevels> hruStacks;
  ResponseUnitCopies unitCopies;
  std::vector<std::unique_ptr<ColumnSolver>> solvers; // one per OpenMP thread

  // Heat transfer.
  HeatModelSettings heatModel;
  Stack soilTemperature = nullptr;  // "Soil_Temperature_Stack"
  Stack soilEnergy = nullptr;       // "Soil_SE_Stack"
  Grid airTemperature = nullptr;    // "temperature"
  Grid snowSolid = nullptr;         // "snowstorage_solid"
  Grid lowerTemperature = nullptr;  // "T_Lower_Boundary_Condition"
  Grid lowerHeatFlux = nullptr;     // "HeatFlux_Lower_Boundary_Condition", upward W/m^2
  Grid thawDepth = nullptr;         // "ThawDepthTMod"
  Grid frozenGroundwater = nullptr; // "frozenSoilInGroundwater"
  // Set while the soil temperatures wait for their start values, which the
  // first step or the pre-spin-up gives them.
  bool initialiseTemperatures = false;
  std::vector<double> nFactorsOfDate; // per land-use record

  // Layered snow.
  LayeredSnowSettings snowSettings;
  std::vector<soil_class> snowTypes;
  int snowLayers = 0; // L
  Stack snowStacks[snowLineCount] = {};
  Grid upperIndexSnow = nullptr;
  // surftemp, surftemp_onGlacier, EnergyBalance, EnergyBalance_onGlacier,
  // rain_fraction, snowstorage_solid, snowstorage_liquid,
  // snow_storage_total, melt_from_snowcover; null where absent.
  Grid snowModelGridsTaken[9] = {};
  static constexpr int snowGridSurface = 0;
  static constexpr int snowGridEnergyBalance = 2;
  static constexpr int snowGridSolid = 5;
  static constexpr int snowGridLiquid = 6;
  static constexpr int snowGridTotal = 7;
  SnowColumnSettings snowColumn;
  // Set while the snow temperatures wait for their start values.
  bool initialiseSnowTemperatures = false;

  // Temperature pre-spin-up: the degree days, the sums of the air
  // temperature, the steps of the day and of the period, and the grids
  // the module registered for it.
  Grid freezingDegreeDays = nullptr;
  Grid thawingDegreeDays = nullptr;
  Grid dailyTemperature = nullptr;
  Grid annualTemperature = nullptr;
  std::vector<int> preSpinUpIndices;
  bool preSpinUpStarted = false;
  long stepsOfDay = 0;
  long preSpinUpSteps = 0;
};
