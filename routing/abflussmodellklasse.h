#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/reinfiltration_record.h"
#include "core/routing_statistic.h"
#include "core/time_series_file.h"
#include "routing/routing_topology.h"
#include "routing/routingclass.h"
#include "submodel/teilmodellklasse.h"

class RoutingDescriptionText;

// Channel routing ("[routing_model]"): one routing element per routing
// description, each routing its subbasin and its tributary, summed-tributary
// and inflow channels; the routed discharge of every subbasin goes to a
// statistic and is compared with observed discharge. Only rank 0 routes;
// the other processes keep the configured switch and take part in nothing
// but the collective calls of the driver.
//
// Columns are the zones of the sub-model base (rankZones): column i of the
// runoff arrays is zone index i; inflow n has the column zones + n.
class abflussmodellklasse : public teilmodellklasse {
public:
  // Never throws: errorCode is 0, the exit code of a failure, or 103.
  abflussmodellklasse(const ModelContext& context, int& errorCode);
  ~abflussmodellklasse() override;

  // --- set-up ------------------------------------------------------------------
  // Per tracer the concentration statistic and the decay factors per step and
  // per routing sub-interval (the latter written into the shared record).
  // Registers no grid. Rank 0 only.
  void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                   StatisticTableEntry* statisticTable, long tableSize) override;
  // Occurrences of the pattern, overlapping ones included.
  static int countOccurrences(const std::string& text, const std::string& pattern);

  // --- wiring (rank 0; nothing while inactive) ---------------------------------------
  // The runoff per tracer and column of the step, owned by its provider; in
  // routing-only mode a null source reads the runoff of a former run.
  virtual void SetRunoffSource(double** runoff);
  // Hands the work arrays to the elements, pairs every internal inflow with
  // the internal abstraction that feeds it (300 to 303), starts the channels
  // and fills them by routing the first runoff until it has flowed through.
  virtual void CheckInflowAbstractionLinks();
  virtual void setRiverflowTable(ReinfiltrationRecord* table);
  // Keeps the state-file name (without directory) for the teardown and reads
  // the routing section unless the read mode is 0, 2 or 4.
  virtual void ReadStorageContent(const std::string* fileName, int readMode);
  virtual const RoutingTopology* getRoutingTarget() const;
  virtual double** getAreaFactors();
  virtual double** getMaxIrrig();
  virtual double** getMaxIrrigFromReservoirs();
  // Irrigation's surface-water demand per subbasin (valueSum over
  // effectiveWeight the step's mean in mm, areaFraction the subbasin's
  // share of the area), handed to every element; null: no irrigation
  // (routing/routing_irrigation.cpp).
  virtual void setIrrigationDemand(ZoneRecord* records);
  // Returns the flow control.
  virtual int setDischargeUnit(int unit);
  // The value of "[routing_model]", kept on every process; the lake exchange
  // and routing-only mode need every process when it is above 0.
  int getConfiguredFlowControl() const { return configuredFlowControl; }

  // --- lakes (routing/lake_model.cpp) ------------------------------------------------
  // Every process: reads "[lake_model]" where the constructor did not, counts
  // the lake cells of each process and hands the owners their ponding.
  // Precipitation on lakes is "snowcover_outflow" before "throughfall0" when
  // interception runs first.
  virtual void InitLakeModel(int interceptionFirst);
  // Collective: rank 0 hands the lake cells' ponding and top tracer
  // concentrations to their owners.
  void scatterLakePonding();
  // Collective, after the state file: unless readMode is 0, 2 or 4, every
  // lake's cells hold what its stored volume gives.
  void restoreLakeCells(int readMode);
  // Appends every reservoir, elements and reservoirs in order.
  void collectReservoirs(std::vector<SP_class*>& list);
  int getLakeModel() const { return lakeModel; }
  const std::vector<long>& getLakeCellsPerRank() const { return lakeCellsPerRank; }

  // --- time step -----------------------------------------------------------------
  // Called on every process; only rank 0 routes.
  virtual void RouteTimeStep(long minute, long hour, long day, long month, long year);
  virtual void flushOutputs();

  // --- routing-only mode (routing/routing_only_mode.cpp) ---------------------------
  virtual void InitRoutingMode();
  // Collective: rank 0 reads, every process gets the date and the end flag.
  virtual void getRoutingModeDate(long& minute, long& hour, long& day, long& month, long& year);
  virtual bool isRoutingModeEnd();
  virtual void nextRoutingRecord();
  // Why the start of the period is not in the runoff file, from its first
  // count (0 to 2) dates.
  std::string startNotFoundReason(const int (*dates)[5], int count) const;
  virtual void freeRoutingModeName();

  // --- state file and teardown (routing/routing_state_file.cpp) ----------------------
  virtual void WriteStorageContent();
  // The state file's name before the output directory: the unsaturated
  // zone's, or "storage.ftz" without it.
  std::string stateFileToWrite() const {
    return storageFileName.empty() ? "storage.ftz" : storageFileName;
  }
  // A value of the state file that does not fit this run's network: logs and
  // throws 72.
  [[noreturn]] static void StorageValueMismatch(DiagStream& diag, const std::string& what,
                                                long controlValue, long storedValue);
  // Writes the state file when flagged, the efficiency criteria, and frees
  // the network; the module base last.
  void releaseModule() override;

  // --- accessors ---------------------------------------------------------------------
  int getElementCount() const {
    return elements.empty() ? 0 : static_cast<int>(elements.size()) - 1;
  }
  const routingclass& getElement(int d) const { return *elements[static_cast<size_t>(d)]; }
  int getSubbasinCount() const { return subbasins; }
  int getMaxStorageCount() const { return maxStorageCount; }
  int getPrecOnLakesIndex() const { return precOnLakesIndex; }
  double getStepRunoff(int column, int tracer = 0) const { return stepRunoff[tracer][column]; }

private:
  // --- "[routing_model]" (routing/routing_model_section.cpp) ------------------------
  void readHeaderLines();
  void readNameAndCode(const std::string& description, std::string& name, int& code);
  // Reads one line of the section into `line`; false at the end of the file.
  bool readSectionLine(std::string& line, bool description);
  static bool holdsKeyword(const std::string& line);
  void countDescriptions();
  void logCounts() const;
  void ReadLakeModelSection(const std::string& section);
  void registerPrecOnLakes();
  void freePrecOnLakes();
  void readDescriptions();
  void buildElement(int d, RoutingDescriptionText& text);
  void readTributary(int d, int j, RoutingDescriptionText& text, routingclass& element);
  void readSummedTributary(int d, int j, RoutingDescriptionText& text, routingclass& element);
  void readInflow(int j, RoutingDescriptionText& text, routingclass& element);
  int checkedTributaryColumn(int code, int tgCode, int j, bool summed);
  void addTributary(int code, int column, int tgColumn, int d, const std::string& place);
  static std::string descriptionPlace(int d, int tg, const std::string& element);
  void checkDescriptionOrder();
  void checkForCycles() const;
  void checkConnectionTargets() const;
  // The pairing of internal inflows and internal abstractions
  // (routing/abstraction_links.cpp).
  void linkInternalAbstractions();
  [[noreturn]] void linkFailure(int code, const std::string& text) const;
  void finishElements();
  void createStatistic();
  void refuseStatisticWithoutColumns();
  void openObservedFile();
  void fillObservedWindow();

  // --- the step (routing/routing_time_step.cpp) ---------------------------------------
  void allocateWorkArrays();
  double simulatedDischarge(int i) const;
  void convertObservedForRouting();
  void compareWithObserved();
  void advanceObservedFile(long day, long month, long year, long hour, bool compared);
  void storeStatistics(long minute, long hour, long day, long month, long year);
  // Irrigation (routing/routing_irrigation.cpp): the demand that the
  // elements draw, and what the water drawn upstream leaves for the
  // subbasins below.
  void prepareIrrigationDemand();
  void passIrrigationDown();
  // What a subbasin's channels owe its fields lowers their next offer.
  void offerLessOwed();
  void writeIrrigationSupply(FILE* f) const;
  void readIrrigationSupply(FILE* file, const std::string& path);
  void writeIrrigationOwed(FILE* f) const;
  void readIrrigationOwed(FILE* file, const std::string& path);
  void skipOwedRiverWater(FILE* file, const std::string& path);

  // Opens a dated table (mode 0, 1 MB blocks); returns its state.
  int openTable(TimeSeriesFile& file, const std::string& name);
  // Takes the date of the file's current record into date (year, month,
  // day, hour, minute), years below 1000 as 19xx.
  static void readRecordDate(const TimeSeriesFile& file, int* date);

  // --- routing-only mode ---------------------------------------------------------------
  void readRunoffRecord();

  // --- lakes ------------------------------------------------------------------------------
  // Registry index of a lake grid (0 when absent and not required).
  int lakeGridIndex(const std::string& name, bool required);
  Grid wholeGrid(const std::string& name);
  void findLakeGrids();
  void listLakeCells();
  void countLakeCells();
  // Rank 0: a WARNING for each code of "lake_codes" that no lake names.
  void warnLakeCodesWithoutLake();
  void gatherLakeCells(int index, std::vector<double>& values);
  // Collective: the top concentration of every tracer at the lake cells.
  void gatherLakeTracers();
  void gatherLakeGrids();
  void checkReservoirNumber(int number, int d);

  int configuredFlowControl = 0;
  bool specificDischarges = false; // flow control 2
  int subbasins = 0;               // N: the zones
  int tracerCount = 0;             // K
  double qMin = 0.0;               // table range, l/s/km^2
  double qMax = 0.0;
  double tableIntervals = 0.0;
  int subIntervals = 1; // S
  std::string statisticFileName;
  int qstatCode = 0;
  std::string observedFileName;
  std::vector<int> observedColumn; // [column] 1-based column of the observed table, 0 none
  int columnDescriptors = 0;
  int criteriaStartOffset = 0;
  int criteriaStepCount = 0;

  // Counts of the first reading: descriptions and keyword occurrences.
  int descriptions = 0;
  int countOL = 0;
  int countSUMTRIB = 0;
  int countAmpersand = 0;
  int countZL = 0;
  int countAL = 0;
  int countSP = 0;
  std::vector<std::string> descriptionTexts;

  // Row 0: entry 0 the domain area in km^2, entry i the area share of column
  // i (the whole upstream share once its element checked its area); row 1 the
  // area factors.
  std::vector<std::vector<double>> areaRows;
  std::vector<double*> abfrel;
  RoutingTopology topology;
  int tributaryCount = 0;
  // (tributary column, description naming it), for the order check.
  std::vector<std::pair<int, int>> tributaryUses;
  std::vector<std::unique_ptr<routingclass>> elements; // 1 .. D
  int maxStorageCount = 0;
  LevelRegistry levelRegistry;
  HydraulicConnectionMap connections;

  // Routed discharge and the comparison with observed discharge.
  std::unique_ptr<routstatistic> routedStatistic;
  std::vector<ZoneRecord> routedRecords;
  ZoneRecord* routedRecordData = nullptr;
  long observedEntry = 0;
  int dischargeUnit = 1;
  std::vector<std::vector<ComparisonRecord>> linearCriteria;      // [shift row][column]
  std::vector<std::vector<ComparisonRecord>> logarithmicCriteria; // [shift row][column]

  // Work arrays: stepRunoff [tracer][column 0 .. N + L + A + 2], subRunoff
  // [tracer][sub-interval][column], routeQueue [tracer][column] (the elements
  // own the queues).
  std::vector<std::vector<double>> stepStore;
  std::vector<double*> stepRows;
  double** stepRunoff = nullptr;
  std::vector<std::vector<std::vector<double>>> subStore;
  std::vector<std::vector<double*>> subRows;
  std::vector<double**> subTable;
  std::vector<std::vector<double*>> queueRows;
  std::vector<double**> queueTable;
  std::vector<std::vector<double>> irrigationStore;
  std::vector<double*> maxirrig;
  std::vector<double*> maxirrigFromReservoirs;
  IrrigationLedger irrigationLedger;
  double** runoffSource = nullptr;
  ReinfiltrationRecord* riverflowTable = nullptr;
  ZoneRecord* irrigationDemand = nullptr;

  // The observed window: row k holds the observation k - 10 steps after the
  // current step; rows rotate by their pointers.
  static constexpr int windowRows = 21;
  static constexpr int shiftZeroRow = 10;
  // Rows at shifts 0 .. +10 that hold no record; with all 11 there is
  // nothing to compare.
  static constexpr int noObservation = 11;
  std::unique_ptr<TimeSeriesFile> observedFile;
  bool observedOpened = false;
  long observedColumns = 0; // K of the file
  int observedEndCount = noObservation;
  std::vector<std::vector<double>> windowStore;
  std::vector<double*> window;
  // The shift-0 observations in mm per step, which flow control 2 routes.
  std::vector<double> routedObservation;
  std::vector<const double*> routedObservationRows;
  int observedDate[5] = {}; // year, month, day, hour, minute of the observed record last read

  Grid precOnLakes = nullptr;
  int precOnLakesIndex = 0;
  long precOnLakesFirstRow = 1;
  long precOnLakesLastRow = 0;
  int lakeModel = 0;
  int readGrids = 0;
  // The soil's initialization method: 2 sank the lake cells by their
  // largest ponding depth into the elevation model.
  int lakeInitMethod = 0;
  int lakeCodesIndex = 0;
  int pondingIndex = 0;
  int transpirationIndex = 0;
  int bottomFluxIndex = 0;
  int baseflowIndex = 0;
  int precipitationSource = 0;
  std::vector<int> tracerStacks;
  LakeCells lakeCells;
  std::vector<long> lakeCellsPerRank;
  std::map<int, int> reservoirDescriptions; // reservoir number to its description
  // Where each tributary column and each inflow number is named, so that a
  // second naming, which would route the same water twice, names both.
  std::map<int, std::string> tributaryPlaces;
  std::map<int, std::string> inflowPlaces;

  // Routing-only mode.
  std::vector<std::vector<double>> ownRunoff;
  std::vector<double*> ownRunoffRows;
  std::string routingModeFileName;
  std::unique_ptr<TimeSeriesFile> routingModeFile;
  int routingModeEndReached = 0;
  // The date of the runoff record to route, apart from the observed file's.
  int routingModeDate[5] = {};
  char dayText[48] = {};
  long dayTextDay = -1;

  std::string storageFileName; // without directory; empty: none stored
};
