#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/exact_sum.h"
#include "core/reinfiltration_record.h"
#include "submodel/teilmodellklasse.h"

// Groundwater flow ("groundwater_flow"): a stack of aquifer layers under the
// soil, each a grid of heads with lateral flow through face
// transmissivities, coupled by leakage between neighbouring layers. Layer 1
// is the soil's saturated zone: it takes its head from the unsaturated
// zone's "groundwater_distance", gives what it lost in the sub-step as
// "baseflow" and adds it to what the soil owes ("groundwater_owed"), which
// the soil drains from that zone in its next sub-step.
//
// Sweeps run in red-black order (colour (row + column) mod 2) with a halo
// exchange between the colours, and a line-sweep row shared by several
// processes is solved whole on each of them, so that heads do not depend on
// the number of processes or threads.
class gwflowclass : public teilmodellklasse {
public:
  // The per-tracer, per-subbasin runoff arrays of the unsaturated zone.
  using RunoffArrays = std::vector<std::vector<double>>;

  // One record of the control-point series: the date and six values per
  // layer (heads of the cell and its four neighbours, west "baseflow").
  struct ControlPointRecord {
    long year = 0, month = 0, day = 0, hour = 0, minute = 0;
    std::vector<double> values; // 1 .. 6 nl used
  };

  gwflowclass(const ModelContext& context, int& errorCode);
  ~gwflowclass() override;

  // --- lifecycle -------------------------------------------------------------
  // Writes pending control-point records when the write-storage flag is set,
  // then frees and unregisters every grid of the layers.
  void releaseModule() override;
  void setSubsteps(unsigned count) override { substeps = count; }
  // Per tracer and layer: the stored concentration "concstor_tracer_%d_layer_%d_%s",
  // its zone statistic and the decay factor per sub-step; per tracer the flux
  // grid. Replaces the base operation. Collective.
  void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                   StatisticTableEntry* statisticTable, long tableSize) override;
  void freeTracers() override;

  // --- construction helpers ----------------------------------------------------
  // Checks a lake configuration against the pond flag (codes 28, 11, 214).
  void readLakeCodes(const std::string& section);

  // --- solver (lateral/gwflow_solver.cpp, gwflow_sweeps.cpp) --------------------
  void computeTransmissivities();
  void computeDarcyFlows();
  // One red-black SOR sweep over layer k; the largest weighted head change
  // of this process. Collective (halo exchange between the colours).
  double sorSweep(int k);
  // One direct sweep along the rows of layer k; the largest head change of
  // this process. Collective (rows shared by processes are solved whole).
  double lineSweep(int k);
  // Own cells whose change reversed its sign beyond "maxerror_allowed".
  long countOscillations(Grid h, Grid hOld, Grid hOldOld, double& sum, double& maximum);
  // One sub-step of every layer. Collective.
  void solveGroundwater();

  // --- coupling and outputs (lateral/gwflow_outputs.cpp) ---------------------------
  void setStepDate(long minute, long hour, long day, long month, long year);
  // Collective.
  void writeGroundwaterOutputs();
  // Appends the records to the file; nothing for a count of 0 (code 65).
  void writeControlPointFluxes(const std::string& fileName, std::vector<ControlPointRecord>& buffer,
                               long& count);
  void flushGroundwaterOutputs();
  // Both keep the reference for later use; nothing here reads it. They
  // return the flow control (0 when off).
  int setRunoffArray(RunoffArrays* runoff);
  int setUnsaturatedZoneSource(ReinfiltrationRecord* records);

  // --- water balance (lateral/gwflow_water_balance.cpp) --------------------------
  // What the layers did with their water over a step, per zone of the
  // module's zone table, m^3. Layer 1 takes its heads from the soil every
  // sub-step, so its change is what it asks of the soil ("baseflow"); the
  // storage is that of the layers below it.
  enum class StepVolume {
    storage,    // the change of the water held in layers 2 .. nl
    lateral,    // net inflow through the cell faces; zero over the catchment
    fixedFlux,  // inflow over fixed-flux boundaries
    fixedHeads, // outflow through cells of fixed head
    solver,     // what the sweeps left unbalanced (the "gw_balance" grids)
    baseflow,   // what layer 1 lost, which it asks of the soil
    count
  };
  // Keeps the step's volumes from now on. Collective.
  void followBalance();
  // The volume per zone index (1 .. zones) of the last step; on rank 0.
  const std::vector<double>& stepVolume(StepVolume what) const {
    return zoneVolumes[static_cast<std::size_t>(what)];
  }

  // --- accessors ----------------------------------------------------------------
  int getLayerCount() const { return layerCount; }
  int getMethod() const { return method; }
  bool usesPonds() const { return pondUse; }
  bool usesFrozenGround() const { return thawDepth != nullptr; }
  bool usesSiltingStorage() const { return siltingStorage != nullptr; }
  double getFrozenDepthScaling() const { return frozenDepthScaling; }
  long getControlPointCapacity() const { return controlPointCapacity; }
  long getSweepCount() const { return sweeps; }
  // The steps the tracers were mixed in over the last sub-step.
  int getTracerSteps() const { return tracerSteps; }

  // --- tracer mixing (lateral/gwflow_balance.cpp) -----------------------------
  // The equal steps that let a cell holding `start` (m^3) that receives `in`
  // and gives `out` over a sub-step give at most its water in each.
  static double tracerStepsOf(double start, double in, double out);
  // The concentration of a cell holding `water` at `own` after the
  // volumes of its six faces (inflow positive, at the concentrations
  // `from`; outflow at its own).
  static double mixedConcentration(double water, double own, const double volumes[6],
                                   const double from[6]);
  double getMeanRelaxation() const { return meanRelaxation; }

protected:
  // The grids of one aquifer layer; indices of the registry entries.
  struct AquiferLayer {
    Grid head = nullptr, headOld = nullptr, headOldOld = nullptr, headIter = nullptr;
    Grid tx = nullptr, ty = nullptr, flowX = nullptr, flowY = nullptr;
    Grid balance = nullptr, leakage = nullptr, top = nullptr;
    int headIndex = -1, headOldIndex = -1, headOldOldIndex = -1, headIterIndex = -1;
    int txIndex = -1, tyIndex = -1, flowXIndex = -1, flowYIndex = -1;
    int balanceIndex = -1, leakageIndex = -1, topIndex = -1;
    // inputs; layer 1 has a thickness of its own from the soil table
    Grid thickness = nullptr, kx = nullptr, ky = nullptr, storage = nullptr;
    Grid fixedHead = nullptr, fixedFlux = nullptr, kolmation = nullptr;
    // file names and write codes of the section
    std::string headFile, fluxXFile, fluxYFile, balanceFile;
    int headCode = 0, fluxXCode = 0, fluxYCode = 0, balanceCode = 0;
    // new tracer concentrations of the sub-step, one grid per tracer
    std::vector<Grid> tracerWork;
  };
  // One tracer of the module: per layer a stored concentration and its
  // zone statistic.
  struct LayerTracer {
    TracerRecord record;
    double decayFactor = 1.0;
    std::vector<Grid> store;     // 1 .. nl
    std::vector<int> storeIndex; // 1 .. nl
    std::vector<std::vector<ZoneRecord>> zoneRecords;
    std::vector<ZoneRecord*> zoneData;
    std::vector<std::string> statisticFile; // the statistics keep a reference
    std::vector<std::unique_ptr<zonalstatistic>> statistic;
    Grid flux = nullptr;
    int fluxIndex = -1;
  };

  // lateral/gwflow_config.cpp
  void readSettings();
  void readPondFlag();
  void readLayerLines();
  void readTuningSection();
  void findInputGrids();
  void checkControlPoint() const;
  // from: the file the grid named read was read from during the run (both
  // empty at set-up).
  void checkInputGrids(const std::string& from = "", const std::string& read = "");
  void warnOnStiffLeakage();
  // The same checks after a read of one of the grids during the run.
  void checkAgainOnReads();
  // lateral/gwflow_grids.cpp
  Grid newGrid(double inside, double outside);
  void freeGrid(Grid& g);
  void dropLayerGrids();
  int nextRegistryIndex(const std::string& what);
  void computeLayerOneThickness();
  void registerHeads();
  void registerLayerGrids();
  void createControlPointFile();
  void fillInitialHeads(Grid h);
  double headFromUnsaturatedZone(long r, long c) const;

  // lateral/gwflow_solver.cpp
  void computeLeakage();
  void setStartValues();
  void computeBaseflow();
  void logLayer(int k, long sweepCount, double error, long oscillating, double sum, double max);
  bool logDue() const;
  void appendControlPointRecord();
  // lateral/gwflow_sweeps.cpp
  void shareSharedRowCoefficients(const OwnCells& cells);
  // lateral/gwflow_tracers.cpp
  void setUpLayerTracer(int t, const TracerRecord& record, StatisticTableEntry* statisticTable,
                        long tableSize);
  // lateral/gwflow_balance.cpp
  // The water each face and the leakage moved into the cell over the
  // sub-step (m^3; north, east, south, west, from above, from below).
  void faceVolumes(int k, long r, long c, double volumes[6]) const;
  double computeBalance(int k);
  double storedWater(int k, long r, long c) const;
  // Collective.
  void mixLayerTracers(double needed);
  void mixCell(int k, long r, long c, const double volumes[6], double water);
  void storeLayerTracers(int k);
  // lateral/gwflow_water_balance.cpp
  void addCellVolumes(int k, long r, long c, const double volumes[6], double v, double gain);
  void sumStepVolumes();

  // "gw_k_x_" and 2 -> "gw_k_x_2"
  static std::string layerName(const char* base, int k) { return base + std::to_string(k); }
  // The next free registry entry for a tracer grid (code 12 when full).
  int tracerRegistryIndex();

  // Cell helpers
  double glacierFraction(long r, long c) const {
    if (!glacier) return 0.0;
    const double w = glacier[r][c];
    return w < 0.0 ? 0.0 : (w > 1.0 ? 1.0 : w);
  }
  bool inZone(long r, long c) const { return zone[r][c] > header.nodata; }
  // The process that owns a cell of a row this process holds, -1 outside
  // the catchment.
  int ownerOf(long r, long c) const {
    const double owner = regions[r][c];
    return owner >= 0.0 && owner < mpiSize ? static_cast<int>(owner) : -1;
  }
  bool isActive(long r, long c) const {
    return zone[r][c] > header.nodata && regions[r][c] == mpiRank && glacierFraction(r, c) < 1.0;
  }
  bool joins(long r, long c, long r2, long c2) const {
    return inZone(r2, c2) && glacierFraction(r2, c2) < 1.0 &&
           (flowControl != 3 || zone[r][c] == zone[r2][c2]);
  }
  double dx(long r, long c) const { return cellSizeX ? cellSizeX[r][c] : header.cellsize; }
  double dy(long r, long c) const { return cellSizeY ? cellSizeY[r][c] : header.cellsize; }
  double thickness(int k, long r, long c) const;
  // b of the head h, at least 0; without h, of the current head.
  double saturatedThickness(int k, long r, long c, double h) const;
  double saturatedThickness(int k, long r, long c) const {
    return saturatedThickness(k, r, c, layers[static_cast<size_t>(k)].head[r][c]);
  }
  double storageOf(int k, long r, long c) const {
    return layers[k].headOld[r][c] >= layers[k].top[r][c] ? layers[k].storage[r][c]
                                                          : layers[1].storage[r][c];
  }
  double fixedFlux(int k, long r, long c) const {
    const double q = layers[k].fixedFlux[r][c];
    return q > header.nodata ? q : 0.0;
  }
  double deltaT() const { return 60.0 * timeStepMinutes / substeps; }

  // settings of the section
  int method = 1;
  long maxIterations = 1;
  double maxError = 0.0;
  double alpha = 1.0;
  double sorParameter = 1.0;
  bool adaptiveSor = false;
  int readHeads = 0;
  int layerCount = 0;
  long controlRow = 0, controlColumn = 0;
  std::string controlPointFile;
  int pondFlag = -1; // -1: no flag line
  bool pondUse = false;
  double frozenDepthScaling = 1.0;

  // registry grids
  Grid zone = nullptr, regions = nullptr, elevation = nullptr, distance = nullptr;
  Grid soilTypes = nullptr, baseflow = nullptr, cellSizeX = nullptr, cellSizeY = nullptr;
  Grid glacier = nullptr, thawDepth = nullptr, frozenDepth = nullptr, siltingStorage = nullptr;
  Grid pond = nullptr;
  // The soil's "groundwater_owed" (mm), looked up at the first sub-step: the
  // soil registers it after this module is built, and a run without the
  // soil has none.
  Grid soilOwed = nullptr;
  bool soilOwedLookedUp = false;
  int elevationIndex = -1, distanceIndex = -1, baseflowIndex = -1;
  int thawDepthIndex = -1, frozenDepthIndex = -1, pondIndex = -1;
  Grid layerOneThickness = nullptr; // private: re-reads of the standard grid keep theirs

  std::vector<AquiferLayer> layers; // 1 .. nl
  std::vector<std::unique_ptr<LayerTracer>> layerTracers;
  long firstRow = 1, lastRow = 0; // rows held by the module's grids
  long ownFirst = 1, ownLast = 0; // own rows

  // line-sweep coefficients per cell: lower, diagonal, upper, right side, kind
  Grid lower = nullptr, diagonal = nullptr, upper = nullptr, rhs = nullptr, kind = nullptr;
  std::vector<std::vector<double>> threadScratch;

  // sweep statistics of the last layer solved
  long sweeps = 0;
  int tracerSteps = 1;
  double relaxationSum = 0.0;
  long relaxationCount = 0;
  double meanRelaxation = 0.0;

  // control point
  long controlPointCapacity = 0;
  long controlPointCount = 0;
  std::vector<ControlPointRecord> controlPointBuffer;
  bool ownsControlPoint = false;

  // water balance: per own cell the step's volumes, per zone their sums
  bool balanceFollowed = false;
  std::vector<double> cellVolumes;
  std::vector<std::vector<double>> zoneVolumes =
      std::vector<std::vector<double>>(static_cast<std::size_t>(StepVolume::count));

  RunoffArrays* runoffArray = nullptr;
  ReinfiltrationRecord* unsaturatedZoneSource = nullptr;
  bool active = false;
};
