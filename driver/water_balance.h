#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/water_balance_terms.h"
#include "submodel/response_unit_copies.h"
#include "submodel/teilmodellklasse.h"

class soil_class;

// A term that a module keeps per subbasin rather than per cell: on rank 0,
// values fills one value per zone index (1 .. zones; entry 0 unused), in m^3
// or, with inMillimetres, in mm over the zone. A storage whose module gives
// its change over the step (stepChange) is booked as it is: a level summed
// since the start of the run would round its changes differently on a warm
// start.
struct ZoneBalanceTerm {
  BalanceTerm term;
  std::function<void(std::vector<double>&)> values;
  bool inMillimetres = false;
  bool stepChange = false;
};

// The water balance of the catchment and of every subbasin, step by step:
// one statistics file per term (mean mm over the zone, inputs and outputs
// per step, storages as their change over the step) and one of the
// residual, inputs - outputs - change of storage. Reads the other modules'
// grids by name; a term none of whose grids exists is left out.
class waterbalanceclass : public teilmodellklasse {
public:
  waterbalanceclass(const ModelContext& context, int& errorCode);
  ~waterbalanceclass() override;

  // Adds the terms of a subbasin's runoff concentration and channels, before
  // the first step, in place of the cell terms labelled `replaced`: the
  // balance then follows that water on to the outlet.
  void addZoneTerms(std::vector<ZoneBalanceTerm> added, const std::vector<std::string>& replaced);
  // Adds a term of the cells' grids, before the first step.
  void addCellTerm(const BalanceTerm& term);
  // A glacier model's own pack takes the weather of the glacier's share of
  // a cell, also on a lake's cells.
  void setGlacierTakesWater(bool takes) { glacierTakesWater = takes; }
  // Notes the files of the terms added so far with the run's outputs, so
  // that the check before the first step covers them (they are created at
  // the first step).
  void noteStatisticFiles() const;
  // Takes the storages at the start of a step. Collective.
  void startStep();
  // Takes the terms that silting-up would change, before it runs.
  void takeGroundInputs();
  // Adds the sub-step of the terms that the sub-steps overwrite; count is
  // the number of sub-steps in the step.
  void addSubstep(unsigned count);
  // Adds the step of every term to its statistic. Collective.
  void step(long minute, long hour, long day, long month, long year);
  void flushStatistics();
  void releaseModule() override;

private:
  struct ActiveTerm {
    BalanceTerm term;
    std::vector<Grid> grids;
    std::vector<Grid> lessGrids;
    Stack theta = nullptr;
    std::vector<std::pair<Stack, long>> stacks; // with their level counts
    std::vector<double> start;                  // storage at the step's start, per own-row cell
    std::vector<double> sum; // sub-steps so far, or the value before silting-up, per own-row cell
    std::vector<ZoneRecord> records;
    ZoneRecord* data = nullptr;
    std::unique_ptr<zonalstatistic> statistic;
    std::string file;
  };

  struct ActiveZoneTerm {
    ZoneBalanceTerm source;
    std::vector<double> start; // storage at the step's start, per zone, mm
    std::vector<ZoneRecord> records;
    ZoneRecord* data = nullptr;
    std::unique_ptr<zonalstatistic> statistic;
    std::string file;
  };

  void findTerms();
  std::vector<Grid> gridsOf(const std::string& name);
  void createStatistics();
  // The terms of the files with their labels: every term's, then those of
  // the glaciers' extent and the response units where the run has them, the
  // residual last.
  std::vector<std::pair<BalanceTerm, std::string>> statisticTerms() const;
  static std::string statisticTitle(const BalanceTerm& term, const std::string& label);
  bool booksGlacierExtent() const;
  void createStatistic(const BalanceTerm& term, std::vector<ZoneRecord>& records, ZoneRecord*& data,
                       std::unique_ptr<zonalstatistic>& statistic, std::string& file,
                       const std::string& label);
  // Every zone term's values in mm over its zone, rank 0's on every process.
  std::vector<double> zoneValues();
  double cellValue(const ActiveTerm& t, long r, long c, double glacier) const;
  // A term's value of the step at a cell, as its statistic books it (a
  // storage's change); before and after are the glacier grid's values.
  double stepValue(const ActiveTerm& t, long r, long c, double before, double after) const;
  // What the response units' copies give each cell beyond its own water.
  void startUnitCopies(const OwnCells& cells);
  void stepUnitCopies(const OwnCells& cells);
  double unitWater(long r, long c) const;
  // The share of a cell a term takes by the glacier grid's value.
  double glacierWeight(glacierPart part, double glacier) const;
  double glacierNow(long r, long c) const;
  std::size_t cellIndex(long r, long c) const;

  std::string filePrefix;
  int statisticCode = 0;
  Grid soilTypes = nullptr;
  Grid irrigationCodes = nullptr;
  Grid glacierCells = nullptr;
  bool dynamicGlaciers = false;
  // The glaciers have a pack of their own ("Precipitation_onGlacier"): on a
  // cell wholly under one the pack beside it stands for no area.
  bool glacierKeepsPack = false;
  bool glacierTakesWater = false;
  // The glacier grid's values at the start of the step, per own-row cell,
  // while the balance books the change of the glacier's extent.
  std::vector<double> glacierStart;
  Grid lakeCodes = nullptr;
  const std::vector<soil_class>* soilTable = nullptr;
  double substepSeconds = 0.0;
  std::vector<ActiveTerm> terms;
  std::vector<ActiveZoneTerm> zoneTerms;
  ActiveTerm residual;
  ActiveTerm extent; // "glacier_extent", with dynamic glaciers
  inline static const BalanceTerm glacierExtentTerm{
      "snow", "glacier_extent", BalanceKind::input, {}};
  inline static const BalanceTerm responseUnitsTerm{
      "spinup", "response_units", BalanceKind::input, {}};
  bool statisticsCreated = false;
  // With spin-up response units a cell that copies its unit's master cell
  // takes the water that the master's own terms (weather, canopy) gave it
  // instead of its own, and at the first step the master's storages: the
  // copies' statistic "response_units". The grids hold every cell's own
  // sums and, after the copy, its master's.
  ActiveTerm unitTerm;
  ResponseUnitCopies unitCopies;
  Grid ownWater = nullptr;      // the own terms' water of the step
  Grid copiedStorage = nullptr; // the copied storages at the step's start
  std::vector<double> ownWaterOfCell, copiedStorageOfCell; // per own-row cell
  bool unitsCopiedOnce = false;
};
