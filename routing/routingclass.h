#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/modelobject.h"
#include "core/reinfiltration_record.h"
#include "core/time_series_file.h"
#include "routing/al_class.h"
#include "routing/routing_table.h"
#include "routing/sp_class.h"

struct ModelContext;
struct TracerRecord;

class RoutingDescriptionText;

// The water that crossed the boundary of a routing element in its last step,
// m^3. The element holds its channels and reservoirs; what it routes comes in
// from its own subbasin, the subbasins of its channels, the elements above
// and its inflows, and leaves at its outlet, to irrigation withdrawals, to
// the soil of river cells and to its abstractions.
struct ElementWaterBalance {
  double received = 0.0;       // runoff of the subbasins and outflow of the elements above
  double externalInflow = 0.0; // inflow channels fed from outside the model
  double internalInflow = 0.0; // inflow channels an abstraction of the model feeds
  // Irrigation withdrawals: what the fields drew, whether the channels paid
  // it in the step or owe it (IrrigationLedger).
  double withdrawn = 0.0;
  double toSoil = 0.0; // what the soil of river cells took from the channels
  double externalAbstraction = 0.0;
  double internalAbstraction = 0.0;
  double outflow = 0.0;
};

// The fields take their river water before the step's runoff reaches the
// channels; what the runoff and the water the channels held cannot pay in
// the step, the channels owe the fields. Shared by the routing elements:
// per subbasin column what is owed (mm over the subbasin, as the demand),
// and the element whose subbasin the column is (0: none), which draws the
// column's demand at its outlet; any other column is drawn by the channel
// that routes it.
struct IrrigationLedger {
  std::vector<double> owed;
  std::vector<int> outletElement;
};

// What the routing module knows of one routing element when it builds it.
struct RoutingElementLayout {
  int subbasins = 0;          // columns 1 .. subbasins; the inflow columns follow
  double timeStep = 60.0;     // minutes
  int subIntervals = 1;       // routing sub-intervals per time step
  int specDischargeFiles = 0; // 1: observed specific discharges replace the runoff
  double elementArea = 0.0;   // km^2, with the tributaries
  double areaFactor = 1.0;
  int subbasinCode = 0;
  int tributaries = 0;
  int summedTributaries = 0;
  int furtherAreaShares = 0;
  int inflows = 0;
  int abstractions = 0;
  // Row 0: entry 0 the domain area in km^2, entry i the share of column i in
  // it; row 1: the area factor of each column. The element writes its own
  // column in CheckBasinArea.
  double** areaTable = nullptr;
  const std::vector<int>* columnMap = nullptr; // subbasin code to column
  int reservoirs = 0;
  // Set: every reservoir is a lake on these cells (rank 0 alone), and
  // with readGrids takes its first state from its cells.
  int lake = 0;
  int readGrids = 0;
  LakeCells* lakeCells = nullptr;
};

// One routing element: the subbasin whose outlet collects the runoff of its
// own area and what its tributary, summed-tributary and inflow channels bring,
// each channel routed by translation through its sub-channels and by a linear
// storage of main channel and flood plain. Channels are numbered from 1:
// tributaries, then summed tributaries, then inflows; index 0 of per-channel
// arrays is the element's own subbasin. Runs on rank 0 only.
class routingclass : public modelobject {
public:
  // Never throws: errorCode is 0, the exit code of a failure, or 103.
  routingclass(int& errorCode, const ModelContext& context, const RoutingElementLayout& layout);
  ~routingclass() override;
  routingclass(const routingclass&) = delete;
  routingclass& operator=(const routingclass&) = delete;

  // --- set-up and teardown ------------------------------------------------------
  // Releases the queues, tables and inflow files and logs what it released.
  virtual void FreeMemory();
  void releaseModule() override { FreeMemory(); }
  // The irrigation module's records: field 1 (valueSum) the demand in mm,
  // field 3 (areaFraction) the subbasin's area value.
  virtual void SetIrrigationRecords(ZoneRecord* records);
  virtual void AttachRiverflowTable(ReinfiltrationRecord* table, int attachment);
  virtual void UpdateRiverflowTable();
  virtual int MaxStorageCount(int n) const;
  virtual int FindTableRow(int c, double q) const;
  virtual double MaxOfSubIntervals(const double* values) const;
  virtual double GetAbstractedTotal() const { return abstractedTotal; }
  virtual double tracerMass(double c, double v) const { return c * v; }
  virtual double mixConcentration(double c1, double c2, double w1, double w2) const;
  virtual double enrichConcentration(double c, double v, double e) const;
  virtual void ReadInflows(double** runoff, int year, int month, int day, int hour, int minute);
  // Every abstraction, then every reservoir, appends its buffered rows.
  virtual void FlushOutputs();
  // Reservoir k of the item number: its keys from the description text at
  // its position (left behind the reservoir's text), its lake and its table.
  virtual void SetSpeicherParams(FILE* controlFile, int item, RoutingDescriptionText& text,
                                 int subIntervalsArg);
  virtual void ReadReservoirRules(FILE* controlFile);
  // Abstraction j of the item number: behind "AL" the number of the inflow
  // it feeds, then its mode and values from the description text.
  virtual void SetAblaufModus(FILE* controlFile, int item, RoutingDescriptionText& text,
                              int subIntervalsArg, const ModelDate& start);
  virtual void ReadAbstractionRules(FILE* controlFile);
  virtual void SetLevelRegistry(LevelRegistry* registry);
  virtual void SetHydraulicConnectionMap(HydraulicConnectionMap* map);
  // The outflow of every reservoir before the first step, no more than it
  // holds; a hydraulic connection is checked here, when every reservoir of
  // the model is registered.
  virtual void InitReservoirOutflows(const ModelDate& start);
  // A lake that takes its first state from its cells, once they are
  // gathered: volume, cells and outflow anew.
  void restartLakesFromCells(const ModelDate& start);
  // Every lake's cells as its present volume fills them.
  void setLakeCellsFromVolumes();
  // Mode 4 reads the inflow from a table; valueColumn counts its value
  // columns from 0, after the date columns.
  virtual void SetInflow(int c, int code, int mode, double value, const std::string& fileName,
                         int startRow, int valueColumn, int year, int month, int day, int hour,
                         int minute);
  // Builds the table of channel c; the parameters follow the routing
  // description (storage constants in hours, lengths in m, area in km^2,
  // specific discharges in l/s/km^2).
  virtual void BuildRoutingTables(int c, int code, const std::vector<int>& subbasinCodes,
                                  double storageMain, double storageFlood, double widthMainArg,
                                  double widthFloodArg, double depthMainArg, double manningMainArg,
                                  double manningFloodArg, double slope, double length, double area,
                                  double qMinArg, double qMaxArg, double intervals,
                                  bool divideByAreaFactor);
  virtual void CheckBasinArea();
  // The tables of the reservoirs and abstractions with their header lines.
  void CreateOutputTables();
  virtual void WriteWQTable();
  virtual void SolveManningDepth(double flow, double width, double& depth, double& radius,
                                 double& velocity, int maxIterations, double manning,
                                 double sqrtSlopeArg, double tolerance) const;
  // One step; a month below 1 marks an initialisation pass, which skips
  // irrigation and withdrawals.
  virtual void Route(int year, int month, int day, int hour, int minute);
  // The routing module's arrays: stepRunoff [tracer][column], subRunoff
  // [tracer][sub-interval][column], routeQueue [tracer][column] (the element
  // allocates the queues of its columns), and the observed window (row 10 is
  // the current step) with the window column of every subbasin (0 = none).
  virtual void SetFlowArrays(double** stepRunoffArg, double*** subRunoffArg,
                             double*** routeQueueArg, const double* const* specDischargeArg,
                             const int* specColumnsArg);
  virtual void InitChannelStates();
  virtual void SetIrrigationArrays(double** maxIrrigation, double** maxIrrigationFromReservoirs);
  // Irrigation draws on the rivers only with a ledger.
  void SetIrrigationLedger(IrrigationLedger* ledgerArg) { ledger = ledgerArg; }
  // The element's block of the routing section of the state file; a block
  // that does not fit the element ends the run with 71 or 72.
  virtual void WriteState(FILE* file) const;
  virtual void ReadState(FILE* file, const std::string& path);
  virtual double FlowToDepth(double flow, double area, double step) const;
  virtual double DepthToFlow(double depth, double area, double step) const;
  virtual void CollectReservoirs(std::vector<SP_class*>& list);
  // The water balance of the last step (routing/element_water_balance.cpp).
  const ElementWaterBalance& stepBalance() const { return waterBalance; }
  // m^3 in the translation queues and linear storages of the channels.
  double channelVolume() const;
  // m^3 in the reservoirs and lakes.
  double reservoirVolume() const;
  // m^3 that the channels owe the fields of the columns the element draws.
  double irrigationOwedVolume() const;

  // --- accessors ------------------------------------------------------------------
  int channelCount() const { return tributaries + summedTributaries + inflows; }
  const RoutingTable& table(int c) const { return wqtab[c]; }
  double getElementArea() const { return elementArea; }
  double areaShare(int c) const { return areaShares[c]; }
  // Recession factors per time step of channel c.
  double mainRecession(int c) const { return storageConstMain[c]; }
  double floodRecession(int c) const { return storageConstFlood[c]; }
  int getSubbasinCode() const { return subbasinCode; }
  int reservoirCount() const { return reservoirs; }
  SP_class& reservoir(int k) const { return *reservoirList[static_cast<std::size_t>(k)]; }
  int inflowCount() const { return inflows; }
  int inflowNumber(int j) const { return inflowCode[j]; }
  int inflowModeOf(int j) const { return inflowMode[j]; }
  int abstractionCount() const { return abstractions; }
  AL_class& abstraction(int j) const { return *abstractionList[static_cast<std::size_t>(j)]; }
  // The number of the inflow that abstraction j feeds.
  int abstractionLink(int j) const { return abstractionLinks[static_cast<std::size_t>(j)]; }
  int firstTributaryCode() const { return tributaries > 0 ? channelCode[1] : 0; }

private:
  bool isInflowChannel(int c) const { return c > tributaries + summedTributaries; }
  // The runoff column that channel c routes.
  int channelColumn(int c) const { return channelColumns[c]; }
  int columnOfSubbasin(int code) const;
  double cellCount(int column) const { return areaTable[0][column]; }
  double columnAreaFactor(int column) const { return areaTable[1][column]; }
  // The observed specific discharge of a subbasin column, or false when none
  // applies.
  bool observedDischarge(int column, double& value) const;
  [[noreturn]] void channelFailure(int c, const std::string& what) const;
  void allocateChannelArrays();
  void fillTableRows(int c, bool divideByAreaFactor);
  void splitFloodPlain(int c, double& Qm, double& Qf, int k);
  void finishTable(int c);
  int findSubChannelCount(const RoutingTable& w) const;
  void writeTableFile(int c);
  void freeTables();

  // Steps of Route (routing/channel_routing.cpp).
  void drawIrrigationFromTributaries();
  // Takes amount (mm per step) from the runoff of column col: from each
  // sub-interval at its rate, then what the others lacked from what is left
  // in any. Returns what the runoff lacked, mm per step.
  double drawFromColumn(int col, double amount);
  // Gives the soil what the cells of the columns of channel c took, from
  // the water the channel holds.
  void giveToSoil(int c);
  // Pays what the columns of channel c still owe the fields from the water
  // the channel holds; m^3 paid.
  double payIrrigationFromChannel(int c);
  // Keeps the share keep of what channel c holds in its queue and storages.
  void keepInChannel(int c, double keep);
  // Whether the element draws the demand of column col from a channel.
  bool drawsFromChannel(int col) const {
    return col <= subbasins && ledger->outletElement[static_cast<std::size_t>(col)] == 0;
  }
  // m^3 per mm over the element's own subbasin, as its outlet draws it.
  double outletDrawFactor() const;
  void mixSummedChannel(int c);
  void takeChannelInput(int c, int col);
  void routeSubChannel(int c, int col, int s);
  void translate(int c, int col, int s, int base, int delay);
  void requeue(int col, int first, int from, int to);
  void retain(int c, int col, int s, int base);
  void addChannelToElement(int c);
  void finishElementOutflow();
  void irrigateAtOutlet();
  // The abstractions that take from the channel (routing/abstraction_element.cpp).
  void abstractFromChannel(int year, int month, int day, int hour, int minute);
  // Stores abstraction j's row of alFlow and feeds its internal inflow.
  void deliverAbstraction(int j, bool store, int year, int month, int day, int hour, int minute);
  // The last reservoir's water for irrigation in the step, m^3.
  double reservoirIrrigationVolume(int month) const;
  // Books volume (m^3) of the fields' draw on the last reservoir that it
  // could not give as owed by the element's outlet.
  void oweIrrigation(double volume);
  // The element's reservoirs in series, each taking what the one before it
  // released.
  void routeReservoirs(int year, int month, int day, int hour, int minute);
  double areaRatio() const { return elementArea / areaFactor; }
  // The own subbasin's part of the area ratio: a depth over the subbasin
  // times this is the same water as a depth over the ratio.
  double ownAreaShare() const { return areaShares[0]; }
  // Water balance: m^3 per mm of the element's depth and of channel c's
  // flow, the runoff the channels are about to take and their take.
  double elementVolumeFactor() const { return areaRatio() * 1000.0; }
  double channelVolumeFactor(int c) const;
  double summedAreaSum(int c) const;
  double columnsVolume() const;
  // m^3 per mm of the runoff of column col in channel c.
  double columnVolumeFactor(int c, int col) const;
  double channelInputVolume(int c) const;
  void writeReservoirState(FILE* f) const;

  // A column that a reservoir connects hydraulically is not routed.
  bool isConnected(int col) const;
  void fillRiverflowRecords(bool attach);
  // Into the records of every column a channel routes: its share of the
  // water the channel holds.
  void offerHeldWater();
  // What channel c holds, in the units of channelVolume.
  double channelContent(int c) const;
  void openInflowFile(int j, const std::string& fileName, int startRow, int valueColumn,
                      const int* startDate);
  double inflowFileValue(int j, int t) const;

  int tracerCount = 0;
  std::vector<TracerRecord>* tracerRecords = nullptr;
  ReinfiltrationRecord* riverflowTable = nullptr;
  int riverflowAttachment = 0;
  // Mixing of the summed channel in hand: index 0 its area weight, indices
  // 1 .. tracers the tracer sums; and the decay factor per tracer over the
  // delay of the sub-channel in hand.
  std::vector<double> mixSums;
  std::vector<double> decayFactor;
  // Scratch of requeue: the queued slots per tracer, and the tracer sums.
  std::vector<double> queueCopy;
  std::vector<double> queueMix;

  double elementArea = 0.0;
  double areaFactor = 1.0;
  int subbasins = 0;
  int subbasinCode = 0;
  int ownColumn = 0;
  int tributaries = 0;
  std::vector<int> channelCode;
  int summedTributaries = 0;
  std::vector<std::vector<int>> subbasinList; // further codes of summed channels
  int furtherAreaShares = 0;

  int inflows = 0;
  std::vector<int> inflowCode;
  std::vector<int> inflowMode;
  std::vector<std::unique_ptr<TimeSeriesFile>> inflowFile;
  std::vector<long> inflowValueIndex;           // first value column read of each inflow file
  std::vector<std::vector<double>> inflowValue; // [tracer/flow index][inflow]
  int inflowDate[5] = {};                       // year, month, day, hour, minute of the row

  double timeStep = 60.0;
  std::vector<double> storageConstFlood;
  std::vector<double> storageConstMain;
  std::vector<double> areaShares;
  std::vector<std::vector<double>> elementOut; // [tracer/flow index][sub-interval]
  std::vector<double> widthMain, widthFlood, manningMain, manningFlood, depthMain, sqrtSlope,
      channelLength, catchmentArea, qMin, qMax, tableIntervals, logStep;
  std::vector<int> channelColumns;
  std::vector<std::vector<int>> memberColumns; // listed subbasin columns of summed channels
  int subIntervals = 1;
  std::vector<RoutingTable> wqtab;

  int specDischargeFiles = 0;
  const double* const* specDischarge = nullptr;
  const int* specColumns = nullptr;
  double** areaTable = nullptr;
  const std::vector<int>* columnMap = nullptr;
  double** stepRunoff = nullptr;
  double*** subRunoff = nullptr;
  double*** routeQueue = nullptr;
  // Owner of the queues of this element's columns.
  std::vector<double> queueStorage;
  std::vector<int> queueColumns;
  std::vector<std::vector<double>> channelFlow; // [tracer/flow index][sub-interval]

  ZoneRecord* irrigationDemand = nullptr;
  double** maxirrig = nullptr;
  double** maxirrigFromReservoirs = nullptr;
  IrrigationLedger* ledger = nullptr;
  double abstractedTotal = 0.0;
  int abstractions = 0;
  std::vector<int> abstractionLinks;
  AbstractionList abstractionList; // 1 .. abstractions
  std::vector<double> alFlow;      // one abstraction's flow (m^3/s) and concentrations
  double availableWater = 0.0;     // mm
  double hourOffset = 0.0;         // min_to_int_end in hours
  LevelRegistry* levelRegistry = nullptr;
  HydraulicConnectionMap* connections = nullptr;

  int reservoirs = 0;
  int lake = 0;
  int readGrids = 0;
  std::vector<int> reservoirCodes;
  std::vector<std::unique_ptr<SP_class>> reservoirList; // 1 .. reservoirs
  ElementWaterBalance waterBalance;
};
