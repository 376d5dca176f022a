#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/time_series_file.h"
#include "routing/rule_table.h"

class DiagStream;
class RoutingDescriptionText;
struct TracerRecord;

// What the routing element hands its abstractions.
struct AbstractionSetting {
  DiagStream* diag = nullptr;
  const std::vector<TracerRecord>* tracers = nullptr; // records 1 .. tracerCount
  int tracerCount = 0;
  std::string outputDirectory;
  double area = 0.0;        // element area, km^2
  double areaDivisor = 1.0; // area / areaDivisor is the area of the conversions
  double timeStep = 60.0;   // minutes
  // Hours between the stamp of the data and the end of the step; its whole
  // hours move the week day of a timed rule.
  double hourOffset = 0.0;
  long bufferBytes = 2097152; // output rows kept in memory
};

// One abstraction of a routing element: water taken from its channel every
// step as a share of the flow above a minimum ("intern", "extern"), as a
// flow read from a table ("from_file"), or by a rule table
// ("intern_with_rule", "extern_with_rule"); "intern_with_rule_from_reservoir"
// draws from the element's reservoir, which evaluates the timed rule itself.
// "extern" modes write what they take to a table; "intern" modes feed an
// internal inflow of another element. Depths are mm per step over the
// element's area divided by its area divisor.
class AL_class {
public:
  enum Mode {
    unread = 0,
    intern = 3,
    externFlow = 4,
    fromFile = 5,
    internWithRule = 6,
    externWithRule = 7,
    internFromReservoir = 8
  };

  AL_class() = default;
  virtual ~AL_class();
  AL_class(const AL_class&) = delete;
  AL_class& operator=(const AL_class&) = delete;

  virtual void PrependDirectory(const std::string& directory, std::string& name) const;
  // Appends the buffered rows to the output table when force >= 1.
  virtual void FlushBuffer(int force);
  // One row of the output table: the date and the abstracted flow in m^3/s
  // with its tracer concentrations (tracerCount + 1 values).
  virtual void StoreStep(int year, int month, int day, int hour, int minute, const double* values);
  // The mode and its values from the description text at its position
  // (behind "AL" and the number); returns the mode. Unknown mode: 44.
  virtual int ReadParameters(int numberArg, RoutingDescriptionText& text, int year, int month,
                             int day, int hour, int minute);
  // The output table with its header lines, for the modes that write one;
  // created once every file the routing model reads is known. 37 when it
  // cannot be created.
  void CreateOutputTable();
  // "[abstraction_rule_abstraction_%d]" for the rule modes; missing: 34.
  virtual void ReadAbstractionRules(FILE* controlFile, const std::string& controlFileName);
  virtual void SeekSection(FILE* controlFile, const std::string& section);
  virtual void Init(const AbstractionSetting& setting);
  // This step's abstraction a (mm) from the available flow Q (mm) of which
  // `abstracted` (mm) is taken already; adds a to `abstracted`.
  // targetValues is the routing model's stepRunoff[0].
  virtual double Abstract(const double* targetValues, double& abstracted, double available,
                          int year, int month, int day, int hour, int minute);
  virtual double FlowToDepth(double q, double A, double dt) const { return q * 0.06 * dt / A; }
  virtual double DepthToFlow(double v, double A, double dt) const {
    return v * A * 16.6666667 / dt;
  }
  // Links the abstraction to the element its water feeds: the flag is that
  // element's zone index (>= 1), the target index the zone index whose flow
  // the rule's capacity limits, the area that of the receiving element.
  virtual void SetTargetCap(int flag, int targetIndexArg, double targetAreaArg);
  // The rule for the flow v (m^3/s), as a depth (mm).
  virtual double EvaluateRule(const double* targetValues, int year, int month, int day, int hour,
                              int minute, double v);
  // The rule for the value v within its week days and hours, in the rule's
  // unit; 0 outside them and before the first step.
  virtual double EvaluateTimedRule(const double* targetValues, int year, int month, int day,
                                   int hour, int minute, double v);

  // --- the element's and the reservoir's use -------------------------------------
  int getMode() const { return mode; }
  int getNumber() const { return number; }
  // Modes whose water feeds an internal inflow.
  bool isInternal() const {
    return mode == intern || mode == internWithRule || mode == internFromReservoir;
  }
  int getTargetFlag() const { return targetFlag; }
  // The area check of the element moved its area: the limits in mm keep
  // their flows.
  void rescaleArea(double zoneGridArea);
  double getMinimum() const { return minimum; }
  double getMaximum() const { return maximum; }
  double areaRatio() const { return area / areaDivisor; }
  // The flow of the step (m^3/s) and its concentrations, written by the
  // routing element or by the reservoir that the abstraction draws from.
  double* valueRow() { return values.data(); }
  // What a reservoir's sub-steps drew for the abstraction in this step, m^3.
  double& reservoirDraw() { return drawn; }
  std::size_t getBufferCapacity() const { return bufferCapacity; }
  const std::string& getOutputFileName() const { return outputFileName; }

private:
  bool writesTable() const {
    return mode == externFlow || mode == fromFile || mode == externWithRule;
  }
  void storeDate(int year, int month, int day, int hour, int minute);
  // The rule value r capped so that with the target's flow it stays within
  // the column's capacity.
  double capped(double r, int k, const double* targetValues) const;
  void readShareValues(RoutingDescriptionText& text);
  void openInputFile(const int* startDate);
  double inputFlow(int month);
  void writeHeader();

  DiagStream* diag = nullptr;
  bool minuteColumn = false;
  double hourOffset = 0.0;
  int tracerCount = 0;
  const std::vector<TracerRecord>* tracers = nullptr;
  std::vector<double> buffer; // rows 1 .. capacity of tracerCount + 6 values
  double fraction = 0.0;
  double minimum = 0.0; // mm per step
  double maximum = 0.0; // mm per step
  int mode = unread;
  std::size_t bufferCapacity = 0;
  std::size_t bufferedRows = 0;
  std::size_t rowLength = 0;
  long bufferBytes = 2097152;
  std::string outputFileName;
  std::string inputFileName;
  int date[5] = {};      // year, month, day, hour, minute of the last evaluation
  int inputDate[5] = {}; // of the input table's current record
  std::vector<double> values;
  int number = 0;
  RuleTable rules;
  double area = 0.0;
  double areaDivisor = 1.0;
  double timeStep = 60.0;
  std::unique_ptr<TimeSeriesFile> input;
  int inputColumn = 0;
  int targetFlag = -1;
  int targetIndex = 0;
  double targetArea = 0.0;
  std::string outputDirectory;
  double drawn = 0.0;
};

// The abstractions of a routing element, 1 .. n (entry 0 stays empty).
using AbstractionList = std::vector<std::unique_ptr<AL_class>>;
