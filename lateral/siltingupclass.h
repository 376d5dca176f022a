#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/soil_class.h"
#include "core/parser.h"
#include "core/variable_list.h"
#include "lateral/silting_formulas.h"
#include "submodel/response_unit_copies.h"
#include "submodel/teilmodellklasse.h"

// The silting-up of the soil surface ("SiltingUpModel"): rain on bare,
// recently tilled soil lowers the infiltration capacity of the surface, and
// the water input above that capacity becomes direct runoff before the
// unsaturated zone takes the input.
class siltingupclass : public teilmodellklasse {
public:
  // Reads the section and registers the five own grids; errorCode is the
  // exit code of a failure, 0 on success.
  siltingupclass(const ModelContext& context, int& errorCode);
  ~siltingupclass() override;

  // One model step over the own cells; the water above the infiltration
  // capacity moves from the water input to "DirectRunoffSiltingUp".
  // Collective.
  virtual void step(long minute, long hour, long day, long month, long year);
  // Writes the buffered lines of the statistics. Collective.
  virtual void flushStatistics();
  // Chooses the water-input grid once: "snowcover_outflow" before the
  // layer-0 throughfall when interception runs first, else after it, and
  // "precipitation" last.
  virtual void selectWaterInput(int interceptionFirst);

  void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                   StatisticTableEntry* statisticTable, long tableSize) override;
  void freeTracers() override;
  // Frees the statistics and the own grids, which are not written.
  void releaseModule() override;

  int getSiltingMethod() const { return siltingMethod; }
  const SiltingParameters& getMethodTwoParameters() const { return methodTwoParameters; }
  // Per subbasin index 1 .. zone count.
  const std::vector<double>& getMinRainPause() const { return minRainPause; }
  const std::vector<std::string>& getSiltingExpressions() const { return siltingExpressions; }

private:
  // The five own grids, in the order of their registration and output.
  enum OwnGrid { disposition, rainPause, kineticEnergy, tillageTime, directRunoff, ownGridCount };
  struct GridOutput {
    std::string file;
    int writeCode = 0;
  };
  struct StatisticOutput {
    std::string file;
    int code = 0;
    std::vector<ZoneRecord> records;
    ZoneRecord* data = nullptr;
    std::unique_ptr<zonalstatistic> statistic;
  };
  // One thread's evaluator of the expressions, kept for the whole step.
  struct ThreadParser {
    VariableList variables;
    Parser parser{&variables};
    // The first failure of the thread: its exit code and message.
    int failure = 0;
    long failedRow = 0;
    long failedColumn = 0;
    std::string message;
  };
  // What the formula takes of a soil type.
  struct SoilValues {
    double grainIndex = 0.0; // d_g
    double sand100 = 0.0;    // 100 * sand, bounded below
  };
  // What one cell needs beyond the grids, fixed for the step.
  struct StepValues {
    long doy = 0;
    long previousYearLength = 365;
    long day = 0, month = 0, year = 0;
  };

  // lateral/siltingupclass.cpp
  void takeInputGrids();
  void takeSurfaceStorage();
  void readSection();
  void readMethodLine(std::string& firstStatisticName, int& firstStatisticCode);
  void checkRainPauses() const;
  void checkMethodTwoParameters() const;
  void readExpressions();
  void createStatistics();
  void createStatistic(StatisticOutput& s, const std::string& title);
  void registerOwnGrids(bool fromFiles);
  Grid zoneFilledGrid() const;
  void prepareSoils();
  [[noreturn]] void refuseGlaciers();
  // Frees what the module holds, without writing.
  void releaseOwn();

  // lateral/siltingupclass_step.cpp
  void computeCell(long r, long c, const StepValues& v, ThreadParser* p);
  bool evaluate(ThreadParser& p, std::size_t first, std::size_t last, long r, long c);
  void setVariables(VariableList& list, const soil_class& soil, const SoilValues& s,
                    double tillageDays, double intensity, double energy) const;
  void copyFromMasters(const OwnCells& cells);
  void addStatistics(const OwnCells& cells);
  void prepareParsers();
  void rethrowParserFailure();

  int siltingMethod = 0;
  int readGrids = 0;
  ResponseUnitCopies unitCopies;
  int interceptionFirst = 0;
  bool inputSelected = false;
  bool weightsLookedUp = false;
  bool hasSurfaceRoutingWeights = false;
  SiltingParameters methodTwoParameters = defaultSiltingParameters;
  std::vector<double> minRainPause;
  std::vector<std::string> siltingExpressions;
  std::size_t firstGroup = 0;         // expressions evaluated before the energy update
  std::vector<SoilValues> soilValues; // per record of the soil table

  std::vector<Grid> landuseGrids; // layers 1 .. n at 1 .. n
  std::vector<Grid> coverageGrids;
  Grid soilTypeGrid = nullptr;
  Grid surfaceStorageGrid = nullptr;
  Grid glacierGrid = nullptr; // codes of glaciers that keep their extent
  bool ownsSurfaceStorage = false;
  int surfaceStorageIndex = 0;
  Grid waterInputGrid = nullptr;
  std::vector<Grid> tracerInputGrids; // per tracer 1 .. K at 0 .. K-1

  GridOutput outputs[ownGridCount];
  Grid grids[ownGridCount] = {};
  int gridIndex[ownGridCount] = {};
  long heldFirst = 1;
  long heldLast = 0;

  StatisticOutput dispositionStatistic;
  StatisticOutput directRunoffStatistic;
  std::vector<std::unique_ptr<ThreadParser>> parsers;
};
