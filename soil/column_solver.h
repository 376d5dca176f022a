#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "soil/column_dump.h"
#include "soil/column_numerics.h"
#include "soil/river_exchange.h"
#include "soil/snow_layers.h"
#include "soil/soil_heat.h"
#include "soil/solute_transport.h"

class landuse_class;

// How the solver splits a sub-step and when an iteration has converged.
struct ColumnStepSettings {
  int method = 2;              // 2 one water step, 3 as many as the wettest layer needs
  double minimumStep = 60.0;   // s, method 3
  double substepSeconds = 0.0; // the driver's sub-step
  double maxError = 1e-5;
  int maxIterations = 100;
};

// One land-use layer of a cell for one sub-step.
struct LanduseDemand {
  const landuse_class* use = nullptr; // null where the layer has no land use
  double demand = 0.0;                // potential transpiration (mm)
  double coverage = 0.0;              // vegetation coverage degree
  double rootDepth = 0.0;             // m
};

// The layered snow on the columns: snow type 1, its layer count and what
// "[LayeredSnowModel]" sets for the pack.
struct SnowColumnSettings {
  const soil_class* type = nullptr;
  int layers = 0; // L
  SnowLayerConstants constants;
  double drainageDensity = 0.0; // 1/m
  double liquidEffect = 0.0;    // dSEeffectiveness
};

// What the snow model leaves at the snow surface of a cell: its
// temperature (K) and energy balance (W/m^2).
struct SnowSurface {
  bool known = false;
  double kelvin = 0.0;
  double energyBalance = 0.0;
};

// The upper boundary temperature of a column under snow and the n-factor
// that goes with it.
struct SnowTopTemperature {
  double temperature = 0.0;
  double nFactor = 1.0;
  double energyBalance = 0.0; // as limited for a single layer
};

// From the snow surface, the air temperature and the top one or two snow
// layers (temperature in degrees C, ice and liquid in mm, thickness in m;
// a second layer with no water counts as absent): a cold surface without
// energy input gives its own temperature, at least air - 13; otherwise
// without input the top layer's temperature; with input (melt) the
// heat-capacity-weighted mean of the layers plus the warming over the
// layers, limited to [0, air + 13]. A single layer takes at most the
// energy that melts it within the step.
SnowTopTemperature snowTopTemperature(const SnowSurface& surface, double air, const double topT[2],
                                      const double ice[2], const double liquid[2], double thickness,
                                      double lambdaTop, double stepSeconds,
                                      const HeatModelSettings& heat, double iceCapacity,
                                      double waterCapacity);

// The river of a river cell in a sub-step, and the rate (m^3/s) its record
// still offers.
struct RiverOffer {
  RiverCell cell;
  double available = 0.0;
  int record = 0; // the subbasin record the cell draws from; 0 none
  // The part of the cell the column stands for: beside a glacier on part
  // of the cell only that part's soil exchanges water with the river.
  double share = 1.0;
};

// The heat of a column in one sub-step: the air temperature, the n-factor
// that makes it the surface temperature, and the other boundaries (their
// surface is the solver's).
struct HeatForcing {
  double airTemperature = 0.0;
  double nFactor = 1.0;
  HeatBoundary boundary;
  SnowSurface snowSurface; // with layered snow
  double modelStepSeconds = 0.0;
};

// What reaches a column in one sub-step (mm) and its baseflow parameters.
struct ColumnForcing {
  const LanduseDemand* uses = nullptr; // land-use layers 1 .. useCount
  int useCount = 0;
  double input = 0.0;
  double potentialEvaporation = 0.0;
  double maxBaseflow = 0.0; // Q0 of the sub-step, at the surface
  double recession = 0.0;   // c: baseflow falls as exp(c * table distance)
  // With the groundwater model the aquifer's first layer is the saturated
  // zone: what it lost (gained) over its last sub-step is drained from
  // (given to) the saturated zone, mm; no baseflow formula applies.
  bool aquifer = false;
  double aquiferExchange = 0.0;
  // Under a lake of channel routing the water the aquifer gives beyond what
  // the column takes is the lake's: it stays owed, and the lake takes it
  // after the aquifer's sub-step (instead of it running off).
  bool lakeAbove = false;
  // Without it, what the saturated zone owes for irrigation its subbasin's
  // baseflow could not pay (mm): drained with the baseflow, before it.
  double owedWater = 0.0;
  double maxPonding = 0.0;
  bool macropores = false; // the soil's macropores take part
  // A river cell's river, whose `available` the cell's take lowers; null
  // elsewhere.
  RiverOffer* river = nullptr;
  // Water lying on the surface from silting-up and surface routing; like
  // the pond it meets the transpiration demand before it infiltrates.
  double surfaceWater = 0.0;
  const HeatForcing* heat = nullptr; // with the heat model only
};

// The groundwater table of a column: "groundwater_distance",
// "groundwater_level" and "Theta_in_GWLEVEL".
struct TableState {
  double distance = 0.0;
  double level = 1.0;
  double theta = 0.0;
};

// Amounts of one sub-step (mm): what left the column and how.
struct ColumnBudget {
  double directflow = 0.0;
  double interflow = 0.0;
  double drainage = 0.0;
  double baseflow = 0.0;
  double toAquifer = 0.0;   // given to the aquifer, negative when received
  double aquiferOwed = 0.0; // what the saturated zone could not yet give (either debt)
  double lakeFromAquifer = 0.0; // the aquifer's gain a full column under a lake passed up
  double evaporation = 0.0;
  double recharge = 0.0; // water across the table, downward positive
  double percolation = 0.0;
  double capillaryRise = 0.0;
  double infiltrationExcess = 0.0;
  double infiltration = 0.0;
  double macropores = 0.0;
  double riverInfiltration = 0.0;
  double riverExfiltration = 0.0;
  double riverTaken = 0.0;   // m^3/s of the record over the sub-step
  double clamped = 0.0;      // water the bounds guard added
  double snowReleased = 0.0; // water the pack gave to the soil or the surface
  double deepestRoot = 0.0;  // m
  int waterSteps = 0;
  long heatSteps = 0;           // with the heat model
  bool heatStepsRaised = false; // by the stability of the explicit step
};

// Work done by a solver since it was made: water steps, Richards
// iterations and node-steps (one layer advanced by one water step).
struct SolverTally {
  long long waterSteps = 0;
  long long iterations = 0;
  long long nodeSteps = 0;
  long long heatSteps = 0;
  long long heatNodeSteps = 0;
  long long heatStepsRaised = 0; // sub-steps of cells whose count the stability raised
};

// Called after an iteration that has not converged within 100 passes.
class IterationReport {
public:
  virtual ~IterationReport() = default;
  virtual void report(int iterations, double error) = 0;
};

// Advances one soil column by one sub-step: root uptake, the Richards
// iteration, the groundwater table and the surface excess, water step by
// water step. The caller binds the column and fills z, theta0 and head; on
// return theta0, head and q hold the column's new state.
class ColumnSolver {
public:
  ColumnSolver(int maxLayers, int landuseLayers, int tracers = 0, int maxSnowLayers = 0);
  // With layered snow the caller fills `pack` before solving; null without.
  void setSnowModel(const SnowColumnSettings* settings);

  // With the heat model the columns carry temperatures; null without.
  void setHeatModel(const HeatModelSettings* settings);
  const HeatModelSettings* getHeatModel() const { return heatModel; }

  int waterStepCount(const ColumnStepSettings& settings, double input) const;
  void solve(const ColumnStepSettings& settings, const ColumnForcing& forcing, TableState& table,
             double& ponding, ColumnBudget& budget, IterationReport* report);
  // The water (mm) that a move of the table from one height to another
  // binds (rising, positive) or releases, over the drainable pore space of
  // the layers it crosses.
  double tableShiftWater(double oldHeight, double newHeight) const;
  // Height of a table at water content theta of layer g.
  double tableHeight(int g, double theta) const;

  SoilColumn column;
  // The temperatures of the column; the caller binds it with the column
  // and fills T, and on return T and energy hold the new state.
  HeatColumn heat;
  double airTemperature = 0.0;       // of the sub-step
  double surfaceTemperature = 0.0;   // air temperature times the n-factor
  double snowEnergyBalance = 0.0;    // the energy balance the top temperature used
  SnowPack pack;                     // layers 1 .. L, with layered snow
  double packRelease = 0.0;          // liquid water (mm) leaving the pack with its first update
  std::vector<LanduseDemand> uses;   // the caller's forcing, land-use layers 1 .. L
  std::vector<double> transpiration; // per land-use layer 1 .. L, mm of the sub-step
  SolverTally tally;
  // The cell's tracers, moved with its water; bound by the caller (none by
  // default) and decayed once per sub-step.
  ColumnSolutes solutes;
  // Dump mode: the cell being solved; its control is null outside dump mode.
  DumpCell dumpCell;
  // With layerDetail set, the sub-step's per-layer amounts (mm): soil
  // evaporation in layerEtr[0], root uptake of layer k in layerEtr[k], and
  // interflow of layer k in layerInterflow[k].
  bool layerDetail = false;
  std::vector<double> layerEtr;
  std::vector<double> layerInterflow;

private:
  void waterStep(const ColumnStepSettings& settings, const ColumnForcing& forcing, int step,
                 int steps, TableState& table, double& ponding, ColumnBudget& budget,
                 IterationReport* report);
  int iterate(const ColumnStepSettings& settings, double supplyRate, double dt, double& error,
              double& drainageRate);
  double moveTable(TableState& table, bool aquifer);
  // Downward positive: percolation, else capillary rise.
  void bookRecharge(ColumnBudget& budget, double recharge);
  // Fills the column from its bottom up with water the aquifer gave, mm;
  // returns what did not fit.
  double fillFromBelow(double water, TableState& table);
  // The river's cap for the water step, then what the cell took and gave.
  void offerRiver(RiverOffer* river, int steps);
  void bookRiver(RiverOffer* river, int steps, double F, int table, ColumnBudget& budget,
                 double& saturatedLoss);
  // Heat (soil/column_heat.cpp): the heat steps of the sub-step, coupled
  // to its water steps; the heat steps of one water step; the share of
  // the water that flows.
  int coupleHeatSteps(const ColumnStepSettings& settings, const ColumnForcing& forcing,
                      ColumnBudget& budget);
  void runHeatSteps(const ColumnForcing& forcing);
  void handWaterSources(double dt);
  void takeLiquidFraction();

  // Dump mode (soil/column_dump.cpp): the inputs of water step `step` of
  // `steps`, kept until its checks have run; the checks after the
  // iteration, which write the dump file, end the run or repair as the
  // settings ask, and return the baseflow amount (mm) left.
  std::size_t snapshotSize() const;
  void takeSnapshot(int step, int steps, double dt, double input, double ponding,
                    double potentialEvaporation, const TableState& table);
  double checkWaterStep(int step, double F, double baseflowAmount, ColumnBudget& budget);
  // The heat part of the snapshot, its check and repair, and the text file
  // of the heat profiles (soil/column_heat_dump.cpp).
  std::size_t heatSnapshotSize() const;
  void takeHeatSnapshot(SnapshotWriter& out);
  int checkHeat(bool repair);
  bool writeHeatText(const char* name);

  // Layered snow (soil/column_snow.cpp): the layers of the pack in use on
  // the column, the pack updated from the column, and the water it lets
  // go into soil layers 1 and 2, the rest onto the surface (mm).
  void bindPack();
  void updatePack(double* thetaNow);
  double releaseToSoil(double water, double* thetaNow);
  // Dump mode: the pack's part of the snapshot and its profiles in the
  // text file, at the check and at the start of the water step.
  std::size_t snowSnapshotSize() const;
  void takeSnowSnapshot(SnapshotWriter& out);
  bool writeSnowText(std::FILE* file) const;
  int snowGap = 0; // the layer above the first gap of the pack as loaded
  std::vector<double> snowStart;
  double snowSurfaceTemperature(const HeatForcing& given);

  std::vector<double> packStorage;
  const SnowColumnSettings* snowModel = nullptr;
  double snowSurplus = 0.0;           // released water the soil did not take in this water step
  PackWater packWater;                // what the pack exchanged in this water step
  double snowReleased = 0.0;          // water the pack let go in this water step
  std::vector<double> layerUptake;    // per land-use layer, per soil layer
  std::vector<double> demand;         // per land-use layer, left in the water step
  std::vector<double> baseflow;       // per soil layer (m/s)
  std::vector<double> macroporeWater; // per soil layer, mm of the water step
  std::size_t stride;
  int maxLayers;
  std::vector<unsigned char> snapshot;
  const HeatModelSettings* heatModel = nullptr;
  long heatStepsPerWaterStep = 0;
  double heatSeconds = 0.0;
  long heatStepCount = 0;
  double heatLower = 0.0; // temperature below the column at the end of the heat steps
  // Dump mode: theta and the heat profiles at the start of the water step.
  static constexpr int heatProfileCount = 7;
  std::vector<double> heatStart;
};
