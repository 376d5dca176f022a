#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/exact_sum.h"
#include "core/reinfiltration_record.h"
#include "core/thread_blocks.h"
#include "routing/routing_topology.h"
#include "submodel/teilmodellklasse.h"

// Irrigation from the section "[irrigation]", one entry a line, each
// followed by free text:
//
//   1              flow control parameter (0 off), also the set-up's
//                  switch of the irrigation table
//   60             time interval in minutes
//   gw.stat 2001   statistics file and code of the water from groundwater
//   sw.stat 2001   statistics file and code of the water from surface water
//
// Every step each cell of "irrigation_codes" (an index of the irrigation
// table, 0 none) gets its amount in "irrigation_amounts": by its record's
// schedule, or by demand once the top soil dries below "SBLOW_grid"
// (method 3) or "ETR2ETP" falls below the record's threshold (method 4),
// until "SB_1_grid" reaches "SBHIGH_grid". Groundwater gives at most
// "Max_Pumping"; surface water what channel routing and its reservoirs
// offered in the step before, shared among the subbasin's cells alike. The
// water falls on the cell as "precipitation".
//
// The processes compute their own cells. The subbasins' sums of demand meet
// on rank 0, where routing runs and the supply is shared out, and every
// process gets back the share of the demand that each subbasin receives, so
// that the results do not depend on the number of processes.
class irrigationclass : public teilmodellklasse {
public:
  // Never throws: errorCode is 0, the exit code of a failure, or 103.
  irrigationclass(const ModelContext& context, int& errorCode);
  ~irrigationclass() override;

  // --- set-up (routing/irrigationclass.cpp) ---------------------------------------
  // The base's tracers, then the concentration of the water that falls:
  // "concflux_tracer_<k>_input" (33 when absent).
  void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                   StatisticTableEntry* statisticTable, long tableSize) override;
  void freeTracers() override;
  // The unsaturated zone's runoff per tracer and subbasin; kept as handed
  // over, the step does not use it.
  virtual void SetGroundwaterRunoff(std::vector<std::vector<double>>* runoff);
  // The land of a lake's cells stands for the whole cell, also where a
  // glacier covers part of one: channel routing keeps the lakes' water there
  // and no glacier model's pack takes the weather of the glacier's share.
  void setLakeCellsWhole(bool whole) { lakeCellsWhole = whole; }
  // The surface-water demand of the last step per subbasin 0 .. zones:
  // valueSum the amounts in mm weighted by the cells' areas, effectiveWeight
  // (and weightSum) those weights, areaFraction the subbasin's share of the
  // area. Channel routing takes it (and turns valueSum into the mean less
  // the reservoirs' share). Null when the module is off.
  virtual ZoneRecord* GetSurfaceDemand();
  // The riverflow record of every subbasin column, whose discharge the
  // water taken lowers; none is allowed.
  virtual void SetStorageRecords(ReinfiltrationRecord* records);
  // Channel routing's [tracer][subbasin] tables of the water irrigation may
  // take from the rivers and from the reservoirs, in mm over the subbasin
  // (entry [0]) and its concentrations. Rank 0, which shares the supply out,
  // requires both (60); the other processes take none.
  virtual void SetMaxIrrigation(double** maxIrrigation, double** maxIrrigationFromReservoirs);
  // The tributary list and the downstream table along which the water taken
  // upstream leaves less below; required on rank 0 (60).
  virtual void SetRoutingTarget(const RoutingTopology* topology);
  // Channel routing's area table; required on rank 0 (60).
  virtual void SetRoutingElements(double** areaFactors);
  // The unsaturated zone's tracer storages "concstor_tracer_<k>_unsatzon_model",
  // whose grid (the top soil layer's concentration) groundwater irrigation
  // carries; none where absent.
  virtual void FindTracerStorageGrids();

  // --- the step (routing/irrigation_step.cpp) -------------------------------------
  // Collective.
  virtual void Step(long minute, long hour, long day, long month, long year);
  // Appends the buffered lines of both statistics and of every tracer's.
  virtual void Flush();
  // Writes and frees the statistics, then the base's teardown.
  void releaseModule() override;

private:
  // What a cell's code makes of it for the statistics.
  enum CellKind {
    withoutIrrigation, // code 0 or a method below 1: 0 in both statistics
    fromGroundwater,
    fromSurfaceWater,
    otherOrigin // counts in neither statistic
  };
  struct Series {
    std::vector<ZoneRecord> records;
    ZoneRecord* data = nullptr;
    std::unique_ptr<zonalstatistic> statistic;
    std::string file;
    int code = 0;
  };

  // --- set-up ---------------------------------------------------------------------
  void takeGrids();
  void createStatistic(Series& s, const std::string& title);
  [[noreturn]] void routingMissing(const char* firstLine, const char* array,
                                   const char* what) const;

  // --- the step -------------------------------------------------------------------
  // The record of a cell's code, null for 0 and codes outside the table.
  const IrrigationRecord* recordOf(long r, long c) const;
  CellKind kindOf(const IrrigationRecord* record) const;
  double cellWeight(long r, long c) const;
  // The part of a cell its field takes water for: beside a glacier over
  // part of it.
  double fieldShare(long r, long c) const;
  // A cell wholly under a glacier with a pack of its own, which has no field.
  bool underOwnPack(long r, long c) const;
  // The amount of a cell before the supply is known.
  double demand(long r, long c, long month, long day) const;
  double demandByMoisture(long r, long c, const IrrigationRecord& record) const;
  // Rank 0 gets each subbasin's surface-water demand and its weight.
  void sumSurfaceDemand();
  // Rank 0: the reservoirs' share, the water taken from the rivers along
  // the topology and the share of the demand each subbasin receives.
  void shareSupply();
  void takeFromRivers(const std::vector<double>& mean, const std::vector<double>& fromReservoir);
  // Lowers the riverflow record of a column by a volume in mm km^2.
  void lowerRiverflow(int column, double volume);
  // Every process gets the shares and the concentrations of the river water.
  void broadcastSupply();
  void deliver(long r, long c);
  void addStatistics();
  void storeSteps(long minute, long hour, long day, long month, long year);

  Grid precipitation = nullptr;
  Grid codes = nullptr;
  Grid maxPumping = nullptr;
  Grid amounts = nullptr; // "irrigation_amounts"
  Grid topMoisture = nullptr;  // "SB_1_grid"
  Grid lowMoisture = nullptr;  // "SBLOW_grid"
  Grid highMoisture = nullptr; // "SBHIGH_grid"
  Grid etrEtp = nullptr;       // "ETR2ETP"
  Grid rootDepth = nullptr;    // "root_depth1", m
  Grid glacier = nullptr;      // the glaciers' share of each cell, if any
  Grid lakeCodes = nullptr;
  // The glaciers' share of a cell has a pack of its own.
  bool glacierKeepsPack = false;
  bool lakeCellsWhole = false;
  const IrrigationTable* table = nullptr;
  long tableSize = 0;
  OwnCells cells;
  double domainArea = 0.0; // km^2 of the zones

  Series groundwater;
  Series surface;
  std::vector<ZoneRecord> surfaceDemand;
  // Per subbasin: the surface-water amounts weighted by area and the
  // weights, in pairs.
  std::vector<ExactSum> demandSums;
  ThreadBlocks<ExactSum> threadDemandSums;
  // Rank 0's answer, rows of zones + 1: row 0 the share of the demand that
  // each subbasin receives (entry 0 is 1 when any gets less than all), row
  // k the concentration of tracer k in its river water.
  std::vector<double> supply;
  bool shortage = false;

  std::vector<std::vector<double>>* groundwaterRunoff = nullptr;
  ReinfiltrationRecord* riverflow = nullptr;
  double** maxirrig = nullptr;
  double** maxirrigFromReservoirs = nullptr;
  const RoutingTopology* routingTarget = nullptr;
  double** abfrel = nullptr;

  std::vector<Grid> tracerInput;   // per tracer 0 .. K-1
  std::vector<Grid> tracerStorage; // per tracer; null where the soil keeps none
};
