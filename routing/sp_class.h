#pragma once

#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/earth_bounds.h"
#include "core/grid_types.h"
#include "routing/al_class.h"
#include "routing/rule_table.h"

class DiagStream;
struct TracerRecord;

// Level, change of volume (m^3/s) and wet area of one reservoir, shared by
// the reservoirs of one routing model; each entry refers to its reservoir's
// own fields.
struct ReservoirLevel {
  const double* level = nullptr;
  const double* volumeChange = nullptr;
  const double* area = nullptr;
};
using LevelRegistry = std::map<int, ReservoirLevel>;
// Column to hydraulic-connection flag: a channel whose column maps to true is
// not routed.
using HydraulicConnectionMap = std::map<int, bool>;

// The cells of the lakes on rank 0: every cell of "lake_codes" in row-major
// order with its owner, and the values of the lake grids there, which the
// owners send each step. The set-up values come from the grids rank 0 holds
// whole while the modules are built.
struct LakeCells {
  std::vector<PackedCell> cells;
  std::vector<double> codes;         // "lake_codes"
  std::vector<double> maxPonding;    // "max_ponding_storage", mm
  std::vector<double> zones;         // "zonegrid_soilmodel"
  std::vector<double> elevation;     // the elevation model, m a.s.l.
  // Initialization method 2 of [lake_model]: the elevation model held the
  // lakes' surfaces and the set-up sank each cell by its largest ponding.
  bool sunk = false;
  std::vector<double> ponding;       // "ponding_storage", mm
  std::vector<double> transpiration; // "real_transpiration0", mm per step
  std::vector<double> bottomFlux;    // "q_downext", m/s
  std::vector<double> baseflow;      // "baseflow", m/s
  std::vector<double> precipitation; // "PrecOnLakes", mm per step
  // "q_downext" and "baseflow" are both registered: the lakes exchange water
  // with the soil below them.
  bool groundwater = false;
  // [1..n] level 0 (the top) of "concstor_tracer_%d_unsatzon_model": the
  // soil's rows may lie on other processes, so the values travel packed.
  std::vector<std::vector<double>> tracers;
};

// What the routing element hands its reservoirs.
struct ReservoirSetting {
  DiagStream* diag = nullptr;
  const std::vector<TracerRecord>* tracers = nullptr; // records 1 .. tracerCount
  int tracerCount = 0;
  int subbasin = 0;                            // code of the element's subbasin
  const std::vector<int>* zoneIndex = nullptr; // subbasin code to column
  int lake = 0;
  LakeCells* lakeCells = nullptr;
  std::string inputDirectory;
  std::string outputDirectory;
  int timeStep = 60; // minutes
  double x0 = 0.0;
  double y0 = 0.0;
  double cellSize = 0.0;
  double nodata = -9999.0;
  double hourShift = 1.0; // the model's time step in hours
};

// The largest volume of a reservoir or lake (m3), "V0" and what a warm
// start reads back alike.
constexpr double largestReservoirVolume = largestLakeVolume;

// One reservoir or lake of a routing element: its volume, tracer
// concentrations and balance, its outflow by a rule table or through a
// channel to another reservoir, and its output table. A lake lies on the
// cells of "lake_codes" that hold its number; its level is spread over them
// as ponding water.
class SP_class {
public:
  // Balance terms: each in m^3, mm over the wet area and m^3/s.
  enum Term { Qin, Qout, Irrig, QGW, ETR, PREC, dV, Abstr, Err, termCount };
  struct TermValues {
    double m3 = 0.0;
    double mm = 0.0;
    double m3s = 0.0;
  };

  SP_class();
  virtual ~SP_class();
  SP_class(const SP_class&) = delete;
  SP_class& operator=(const SP_class&) = delete;

  // --- set-up (routing/sp_class.cpp) ----------------------------------------------
  virtual void PrependDirectory(const std::string& directory, std::string& name) const;
  // Takes the reservoir's keys from its own text of the routing description
  // (from behind "SP" and its number up to the next "SP"): "file", "V0",
  // "C0" (nine concentrations), "dTmin" and "UseRunningAvg". Missing: 35.
  virtual void ReadParameters(FILE* controlFile, int number, const std::string& ownText);
  // "[abstraction_rule_reservoir_%d]": the rule table, or a hydraulic
  // connection.
  virtual void ReadAbstractionRules(FILE* controlFile, const std::string& controlFileName);
  virtual void SeekSection(FILE* controlFile, const std::string& section);
  virtual void Init(const ReservoirSetting& setting);
  virtual void RegisterLevel(LevelRegistry& registry);
  virtual void RegisterHydraulicConnection(HydraulicConnectionMap& map, int column);
  // A connection needs a lake at this end and a registered reservoir at the
  // other: else 29.
  void checkHydraulicConnection() const;

  // --- lakes (routing/lake.cpp) ------------------------------------------------------
  // Finds the lake's cells, checks them (213, 224) and writes the
  // waterlevel-volume table (225).
  virtual void InitLake();
  virtual double LevelFromVolume(double V) const;
  virtual double VolumeFromLevel(double W) const;
  virtual int LakeStateFromCells(std::vector<double>& out) const;
  virtual int SetLakeCells(double V);
  virtual void InitLakeStateFromCells();

  // --- step (routing/reservoir_balance.cpp, routing/reservoir_outflow.cpp) ---------
  // Outflow of one step in m^3/s, the mean over sub-steps of dTmin seconds.
  // The abstractions of the list that draw from a reservoir take their
  // timed rule's rate in every sub-step, and get their mean flow (m^3/s) in
  // their value row; targetValues (stepRunoff[0]) holds their targets.
  virtual double ComputeOutflow(double inflow, double stepMinutes, int year, int month, int day,
                                int hour, int minute, AbstractionList* withdrawals = nullptr,
                                const double* targetValues = nullptr);
  // One step: the withdrawals I and B0 (m^3), the inflow (m^3/s) with the
  // tracer concentrations of stepRunoff at the element's column, and the
  // withdrawals by rule of the list.
  virtual void Balance(double stepMinutes, double irrigation, double abstraction,
                       double** stepRunoff, double inflow, int year, int month, int day, int hour,
                       int minute, AbstractionList* withdrawals = nullptr);
  virtual double MixConcentration(double a, double b, double volumeA, double volumeB) const;

  // --- output table (routing/reservoir_output.cpp) ------------------------------------
  virtual void WriteOutputHeader();
  virtual void StoreOutputRow(int year, int month, int day, int hour, int minute);
  virtual void FlushOutput(int flag);

  // --- state ---------------------------------------------------------------------------
  int getNumber() const { return number; }
  bool isLake() const { return lake != 0; }
  double getVolume() const { return state[0]; }
  void setVolume(double V) { state[0] = V; }
  double getConcentration(int k) const { return state[static_cast<std::size_t>(k)]; }
  // Concentrations 1 .. n from the list, as far as it reaches.
  void setConcentrations(const std::vector<double>& values);
  double getOutflow() const { return outflow; }
  void setOutflow(double q) { outflow = q; }
  double getLevel() const { return level; }
  double getV0() const { return initialVolume; }
  const TermValues& term(Term t) const { return terms[t]; }
  double getArea() const { return area; }
  int getUseRunningAvg() const { return useRunningAvg; }
  // Steps of the running mean at this step length, at least 1.
  std::size_t runningSteps(double stepMinutes) const;
  const std::deque<double>& getVolumeHistory() const { return volumeHistory; }
  // Replaces the history, keeping the newest entries that this run uses.
  void setVolumeHistory(const std::vector<double>& volumes, double stepMinutes);
  const RuleTable& getRuleTable() const { return rules; }
  bool hasHydraulicConnection() const { return connection; }
  int getTargetReservoir() const { return channel.targetReservoir; }
  int getLevelTableRows() const { return static_cast<int>(levelTable.size()); }
  double levelTableLevel(int j) const { return levelTable[static_cast<std::size_t>(j)]; }
  double levelTableVolume(int j) const { return volumeTable[static_cast<std::size_t>(j)]; }
  const std::string& getOutputFileName() const { return outputFileName; }
  std::size_t getOutputCapacity() const { return outputCapacity; }
  std::size_t getOutputRowCount() const { return outputRows; }
  double getDTmin() const { return dTmin; }

private:
  [[noreturn]] void lakeFailure(int code, const std::string& text) const;
  // 213 for a cell whose level differs from the first cell's, naming both.
  [[noreturn]] void unevenLakeTop(std::size_t cell, double alt, std::size_t first,
                                  double reference) const;
  double ruleOutflow(double inflow, double stepMinutes, int month, AbstractionList* withdrawals,
                     const double* targetValues);
  double connectionOutflow(double inflow, double stepMinutes, AbstractionList* withdrawals,
                           const double* targetValues);
  // One sub-step's withdrawals from the volume V: each abstraction takes its
  // rate for the reference volume (`mean` when given, else V), no more than
  // leaves `reserve` times the reference in the reservoir.
  void drawSubStep(AbstractionList* withdrawals, const double* targetValues, double& V,
                   const double* mean, double reserve) const;
  void bookLakeCells(double stepSeconds);
  int weekDay() const;
  double cellArea() const { return cellSize * cellSize; }
  double topConcentration(int k, std::size_t cell) const;
  // The volume the lake's cells hold at level W, added as LakeStateFromCells
  // adds it back from their ponding.
  double cellVolumeAt(double W) const;

  double hourShift = 0.0;
  bool writeMinutes = false;
  int timeStep = 60;
  DiagStream* diag = nullptr;
  const std::vector<int>* zoneIndex = nullptr;
  double x0 = 0.0;
  double y0 = 0.0;
  double cellSize = 0.0;
  double nodata = -9999.0;
  int lake = 0;
  int date[5] = {}; // year, month, day, hour, minute
  int tracerCount = 0;
  const std::vector<TracerRecord>* tracers = nullptr;
  std::vector<double> decayFactor; // per step, 1 for a stable tracer
  double largestIndex = 0.0;
  std::vector<double> state;         // [0] V in m^3, [1..n] concentrations
  std::vector<double> previousState; // state before the last balance of a lake
  std::vector<double> cellState;     // volume and concentrations of the lake cells
  double outflow = 0.0;
  std::deque<double> volumeHistory;
  RuleTable rules;
  TermValues terms[termCount];
  double area = 0.0; // wet area of a lake, m^2
  double dTmin = 60.0;
  int useRunningAvg = 0;
  double initialVolume = 0.0;

  std::vector<double> outputBuffer; // rows 1 .. capacity of rowLength values
  std::size_t outputCapacity = 0;
  std::size_t outputRows = 0;
  std::size_t outputColumns = 0;
  std::size_t rowLength = 0;
  std::string outputFileName;

  LakeCells* lakeCells = nullptr;
  std::vector<double> levelTable;    // rows 0 .. R, falling
  std::vector<double> volumeTable;   // rows 0 .. R
  std::vector<std::size_t> ownCells; // the lake's cells in the list, in row-major order
  int number = 0;
  int subbasin = 0;
  std::string inputDirectory;
  std::string outputDirectory;

  HydraulicConnectionBlock channel;
  bool connection = false;
  double targetLevel = 0.0;
  double level = 0.0;
  LevelRegistry* levelRegistry = nullptr;
  HydraulicConnectionMap* connectionMap = nullptr;
};
