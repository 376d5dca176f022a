#pragma once

// Overland flow: ponded water ("directflow" of the unsaturated zone) moves
// from cell to cell in inner sub time steps of every sub-step, and what
// reaches a river cell leaves as direct flow. Methods 1 to 5 route by flow
// weights towards the eight neighbours and Strickler velocities; method 6
// solves for water-surface heads implicitly.
//
// Directions are coded 1 .. 8 clockwise from north (0 none) and kept in
// levels 1 .. 8 of the ten-level stacks "SurfaceRoutingWeights",
// "SurfaceRoutingVelocity" and "SurfaceRoutingFluxes".

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/exact_sum.h"
#include "core/runoff_records.h"
#include "submodel/teilmodellklasse.h"

class surfaceroutingclass : public teilmodellklasse {
public:
  using RunoffArrays = std::vector<std::vector<double>>; // [tracer 0..n][subbasin 1..N]

  // Reads "[SurfaceRoutingModel]" and registers the module's grids; never
  // throws: a failure leaves its exit code in errorCode. `substeps` is the
  // number of sub-steps per time step.
  surfaceroutingclass(const ModelContext& context, int& errorCode, unsigned substeps);
  ~surfaceroutingclass() override;

  // --- lifecycle -----------------------------------------------------------
  // The base's tracer set-up, the tracer concentration grids the module
  // reads and writes, and the per-subbasin runoff arrays. Collective.
  void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                   StatisticTableEntry* statisticTable, long tableSize) override;
  void freeTracers() override;
  // Releases the statistics and every grid the module registered, then the
  // module. Collective.
  virtual void teardown(bool append);

  // --- time step (lateral/surfrout_time_step.cpp) ---------------------------
  // Moves the flow-time zones one zone towards the outlet.
  virtual void startStep(long minute, long hour, long day, long month, long year);
  // Routes the ponded water of one sub-step and collects its runoff.
  // Collective.
  virtual void routeSubstep(long minute, long hour, long day, long month, long year);
  // The linear storages and Qg of the step, the statistics and outputs.
  // Collective.
  virtual void endStep();
  virtual void flushStatistics();
  // Total runoff per tracer and subbasin; null when off, code 57 before
  // initTracers.
  virtual RunoffArrays* getQg();
  // Per subbasin (1 .. N) on rank 0 what the linear storages of direct
  // runoff and interflow hold after the step, mm over the subbasin.
  std::vector<double> concentrationStorage() const;
  // Per subbasin 1 .. N the surface water of the last step that came in from
  // the cells of other subbasins less what went out to them, m^3, on every
  // process; methods 1 to 5, whose fluxes cross the subbasins' borders.
  const std::vector<double>& borderInflow() const { return subbasinBorderInflow; }
  // Only the water balance needs that exchange: follow it from now on.
  void followBorderInflow() { bordersFollowed = true; }
  // The flow-time zones of every subbasin. Collective.
  virtual void computeFlowTimeZones();

  // --- state file (lateral/surfrout_state_file.cpp) --------------------------
  // Keeps the name and, unless the setting is 0, 2 or 4, reads the section
  // of a former run into the zones and storages and its grid
  // "SurfStorSiltingUp" of the water on the land. A missing file, section or
  // grid leaves them as built; a section that does not fit ends with code 71.
  virtual void readStorage(const std::string* name, int setting);
  [[noreturn]] virtual void storageMismatch(const std::string& description, double control,
                                            double stored);

  // --- wiring --------------------------------------------------------------
  void setSubsteps(unsigned count) override { substeps = count; }
  // Each returns the flow control; the array is kept only when the module
  // is on.
  virtual int setQBb(RunoffArrays* baseflow);
  virtual int setQIin(const RunoffArrays& inflow);
  virtual int setQDin(const RunoffArrays& inflow);
  // Storage constants in minutes, per subbasin 1 .. N.
  virtual int setStorageConstantsQD(const double* constants);
  virtual int setStorageConstantsQI(const double* constants);
  virtual void setDumpMode(int dump, int close, int repair, long maxFiles);
  // Per subbasin 1 .. N the glacier runoff of the step, which the snow model
  // writes on rank 0 and the end of the step adds to Qg; null when off.
  double* glacierRunoffTable();

  // --- per-cell numerics (lateral/surface_flow_*.cpp) -----------------------
  // grid[row][col] = mean of the valid neighbours inside the grid.
  virtual void fillFromNeighbours(long row, long col, Grid grid);
  virtual void computePlanCurvature();
  virtual void steepestDescent(long row, long col, double& slope, double& aspect, int& cellClass);
  virtual void computeFlowWeights(long row, long col, int& cellClass, long pass, double slope,
                                  double aspect);
  virtual void computeVelocities(long row, long col, long pass, long refreshPass, int cellClass);
  // The stable inner step [s] of this process's cells, 1e36 without flow.
  virtual double courantTimeStep();
  // In- and outflow volumes [m^3] of the cell over dt.
  virtual void cellInOutVolumes(long row, long col, double dt);
  // k_St [m^(1/3)/s] for velocity v, depth h, residue cover r and slope term s.
  virtual double stricklerCoefficient(double v, double h, double r, double s, long row, long col,
                                      int landuseCode, int cultivation);

  // --- sweeps (lateral/surfrout_sweeps.cpp, lateral/surfrout_head_solver.cpp)
  // Turns the handed-over direct flow into surface water.
  void runPreparationSweep();
  // Methods 1-5: slopes, weights and fluxes of every own cell.
  void runFlowSweep(long pass, long refreshPass);
  // Storage balance of every own cell after an inner step of dt seconds.
  void runHeadUpdateSweep(double dt);
  virtual void runConductanceSweep();
  // One red-black sweep over the own land cells; returns the largest head
  // change. Collective (halo exchange between the colours).
  virtual double runHeadIterationSweep(long iteration, double dt);
  // Face fluxes of the land cells, halo exchange, river-cell fluxes.
  // Collective.
  virtual void runFluxSweeps();

  // The last level of the velocity, fluxes and weights stacks.
  static constexpr int stackLevels = 9;

  // Registry indices, negative for grids that belong to others.
  enum GridSlot {
    velocitySlot,
    fluxesSlot,
    weightsSlot,
    headSlot,
    headOldSlot,
    roughnessXSlot,
    roughnessYSlot,
    manningSlot,
    curvatureSlot,
    qInSlot,
    qOutSlot,
    criticalShearSlot,
    siltingUpStorageSlot,
    slotCount
  };
  int getRegistryIndex(GridSlot slot) const { return registryIndex[slot]; }

protected:
  // A face of a method-6 cell towards a cardinal neighbour.
  struct Face {
    bool inside = false;
    double head = 0.0;  // the effective neighbour head H'
    double depth = 0.0; // the neighbour's depth that H' carries
    double conductance = 0.0;
  };
  struct CellFaces {
    Face n, e, s, w;
    double dx = 0.0, dy = 0.0;
  };

  // --- construction (lateral/surfrout_config.cpp) ---------------------------
  void readSection();
  // Ends the run with 10 at an iteration limit, tolerance, crop depth or
  // concentration factor outside its range.
  void refuseIterationSettings() const;
  void snapSubTimeSteps();
  void findInputGrids();
  void registerOwnGrids();
  // The first free registry entry; a full registry ends the run (code 12).
  int nextFreeEntry();
  Grid registerGridSlot(GridSlot slot, const std::string& name, const std::string& fileName,
                        long writeCode, double ownValue, double otherValue);
  Stack registerStackSlot(GridSlot slot, const std::string& name, const std::string& fileName,
                          long writeCode);
  Grid borrowOrRegister(GridSlot slot, const std::string& name, double ownValue, double otherValue);
  void fillManningCoefficients();
  void createStatistics();
  void releaseOwnGrids();
  void releaseTracerStorage();

  // --- time step and zones ----------------------------------------------------
  using ZoneRecords = std::vector<std::vector<RunoffRecords>>; // [t][s], zones 1 ..
  struct ModuleStatistic;
  double substepSeconds() const;
  double adaptedSubTimeStep(double stable) const;
  // The inner steps of a sub-step of T seconds, one after the other: the
  // first of `first` seconds, the others of `later`, the last one taking
  // what is left, so that they cover the sub-step exactly. Nothing is kept
  // per inner step: a sub-step may hold up to maxInnerSteps of them.
  class InnerSteps {
  public:
    InnerSteps(double substep, double first) : T(substep), next(first) {}
    bool done() const { return !(T - elapsed > 1e-9 * T); }
    // The length of the next inner step, which then counts as elapsed.
    double take() {
      const double dt = std::min(next, T - elapsed);
      elapsed += dt;
      return dt;
    }
    void setLater(double later) { next = later; }

  private:
    double T;
    double elapsed = 0.0;
    double next;
  };
  static constexpr double maxInnerSteps = 1e6;
  void routeInnerStep(long counter, long refreshPass, double dt);
  void exchangeHeadsAndFluxes();
  void sumOverProcesses(std::vector<ExactSum>& sums, const char* what);
  void collectSubstepRunoff();
  void sumZonesOnRoot();
  // The net inflow [m^3] of an inner step of dt over the borders of the
  // cell's subbasin.
  double borderExchange(long row, long col, double dt) const;
  double faceBorderInflow(long row, long col) const;
  size_t ownCellIndex(long r, long c) const {
    return static_cast<size_t>(r - header.firstRow) * static_cast<size_t>(header.ncols) +
           static_cast<size_t>(c - 1);
  }
  void sumBorderInflow();
  // The recession factor per step of a linear storage with constants[s] in
  // minutes; 0 without one.
  double recession(const double* constants, size_t s) const;
  void passStorage(ZoneRecords& zone, RunoffArrays& in, RunoffArrays& out, const double* constants,
                   size_t s, ModuleStatistic& statistic);
  static int flowTimeZone(double flowTime);
  // The water on the land from the grid of a former run, and the tracers of
  // it that the module keeps; without a grid the land starts dry or the
  // water without the tracer, with a warning. Collective.
  void readSurfaceWater();
  // Methods 1 to 4 start each velocity iteration from the velocities the
  // last one left; a warm start takes them from the stack a former run
  // wrote, or starts them anew with a warning. Collective.
  bool iteratesVelocities() const { return flowPathMethod >= 1 && flowPathMethod <= 4; }
  void readVelocities();
  // The own cells of grid from file, where a former run left it.
  void readLandGrid(const std::string& file, Grid grid, const std::string& what);
  void readStorageSection(FILE* file, const std::string& path);
  void writeStorageSection(bool append);
  void countZoneCells();
  void writeFlowTimeDistribution();
  void prefillPipeline();

  // --- helpers -------------------------------------------------------------
  bool inDomain(long r, long c) const {
    return r >= 1 && r <= header.nrows && c >= 1 && c <= header.ncols && zoneGrid[r] &&
           zoneGrid[r][c] != header.nodata;
  }
  bool isRiverCell(long r, long c) const {
    return riverWidthGrid[r][c] > 0.0 && riverDepthGrid[r][c] > 0.0;
  }
  // The land-use record of the cell's highest layer with a code; -1 when
  // every layer is -9999.
  int landuseCode(long r, long c) const;
  double cellDx(long r, long c) const {
    return cellSizeXGrid ? cellSizeXGrid[r][c] : header.cellsize;
  }
  double cellDy(long r, long c) const {
    return cellSizeYGrid ? cellSizeYGrid[r][c] : header.cellsize;
  }
  double waterDepth(long r, long c) const;
  bool neighbourCounts(long row, long col, long r, long c) const;
  CellFaces cellFaces(long row, long col) const;
  double transmissivity(long r, long c) const;
  void updateHead(long row, long col, long iteration, double dt, double& change);
  void reportNonFiniteHead(long row, long col, long iteration, double dt, double before,
                           double after, const CellFaces& f);
  void writeDumpFile(long row, long col, long iteration, double dt, double before, double after,
                     const CellFaces& f) const;

  int flowPathMethod = 0;
  bool useSiltingUpTracerStorage = false;
  Grid zoneGrid = nullptr;
  Grid regionsGrid = nullptr;
  Grid demGrid = nullptr;
  int nLanduseLayers = 1;
  std::vector<Grid> landuseGrids;            // 1 .. nLanduseLayers
  std::vector<Grid> vegetationCoverageGrids; // 1 .. nLanduseLayers
  Grid soilTypesGrid = nullptr;
  Grid surfStorSiltingUpGrid = nullptr;
  Grid directflowGrid = nullptr;
  Grid interflowGrid = nullptr;
  std::vector<Grid> concQDGrids, concQIGrids, concStorGrids; // 1 .. n
  Grid criticalShearStressGrid = nullptr;
  Grid riverDepthGrid = nullptr;
  Grid riverWidthGrid = nullptr;
  Grid riverLinksGrid = nullptr;
  Grid flowTimesGrid = nullptr;
  RunoffArrays* QBb = nullptr;
  RunoffArrays QIin, QIi, QDin, QDd, Qg;
  std::vector<double> glacierRunoff;
  std::vector<double> cellBorderInflow;     // per own-row cell, m^3 of the step so far
  std::vector<double> subbasinBorderInflow; // 0 .. N, m^3
  bool bordersFollowed = false;
  Stack velocityStack = nullptr;
  Stack fluxesStack = nullptr;
  Stack weightsStack = nullptr;
  Grid velocityGrid = nullptr; // companion grids of the stacks
  Grid fluxesGrid = nullptr;
  Grid weightsGrid = nullptr;
  Grid headGrid = nullptr;
  Grid headOldGrid = nullptr;
  Grid planCurvatureGrid = nullptr;
  Grid qInGrid = nullptr;
  Grid qOutGrid = nullptr;
  Grid roughnessXGrid = nullptr;
  Grid roughnessYGrid = nullptr;
  Grid manningCoeffGrid = nullptr;
  Grid cellSizeXGrid = nullptr;
  Grid cellSizeYGrid = nullptr;
  double subTimeStep = 0.0;
  int velocityWriteCode = 0;
  int fluxesWriteCode = 0;
  int registryIndex[slotCount] = {};
  int tracerStorageIndex[10] = {}; // own storage grid of tracer 1..9, -1 silting-up's
  int landTracerIndex[10] = {};    // the grid of concStorGrids[k], own or silting-up's
  std::vector<double> maxzeit;     // 0 .. N
  ZoneRecords zoneFZT_QD, zoneFZT_QI;
  const double* storageConstantQI = nullptr;
  const double* storageConstantQD = nullptr;

  enum StatisticKind { statQD, statQI, statQB, statQG, statStorage, statisticCount };
  struct ModuleStatistic {
    std::string fileName;
    int code = 0;
    std::vector<ZoneRecord> records;
    ZoneRecord* data = nullptr;
    std::unique_ptr<zonalstatistic> statistic;
  };
  ModuleStatistic statistics[statisticCount];
  std::string velocityFileName;
  std::string fluxesFileName;

  int maxIterANL = 0;
  int maxIterVelocity = 0;
  double maxErrorANL = 0.0;
  double maxErrorVelocity = 0.0;
  double minSubTimeStep = 0.0;
  double maxSubTimeStep = 0.0;
  double concentrationFactor = 1.0;
  double minFlowDepthCrops = 0.0;
  int readStorageSetting = 0;
  std::string storageFileName;

  bool dumpMode = false;
  bool closeAfterDump = false;
  bool repairAfterDump = false;
  long long maxDumpFiles = 0;
  std::atomic<long long> dumpCount{0};

  long heldFirst = 1; // rows of the module's grids: the strip and its halo
  long heldLast = 0;
  OwnCells cells;
  bool released = false;
};
