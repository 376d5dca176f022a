#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/tracer_ini_class.h"
#include "routing/routingclass.h"
#include "submodel/model_context.h"
#include "tests/config/captured_log.h"

// The ten channel parameters of a routing description and the table range.
struct TestChannel {
  double storageMain = 2.0; // h
  double storageFlood = 4.0;
  double widthMain = 20.0;
  double widthFlood = 200.0;
  double depthMain = 2.0;
  double manningMain = 30.0;
  double manningFlood = 15.0;
  double slope = 0.001;
  double length = 10000.0;
  double area = 500.0;
  double qMin = 1.0;
  double qMax = 1000.0;
  double intervals = 30.0;
};

// One channel of an element: its code (tributary subbasin or inflow), the
// further codes of a summed channel and its parameters.
struct ChannelUse {
  int code = 0;
  std::vector<int> members;
  TestChannel channel;
};

// What the routing module will own: the work arrays, the area table and the
// column map (subbasin code i is column i), and elements built on them and
// driven in the module's order.
class RoutingNetwork {
public:
  RoutingNetwork(const std::string& name, int subbasins, int inflows, int subIntervals,
                 double timeStep = 60.0, int tracers = 0);

  // Builds an element with tributary, summed and inflow channels, their
  // tables, and its area check. cellCount of its own column must be set.
  routingclass& addElement(int code, double area, const std::vector<ChannelUse>& tributaries,
                           const std::vector<ChannelUse>& summed = {},
                           const std::vector<ChannelUse>& inflowChannels = {},
                           double areaFactor = 1.0);
  // Flow arrays, channel states from the runoff given so far, and the
  // irrigation ledger, each element the outlet of its own subbasin.
  void start();
  // One step as the routing module runs it: the subbasin columns take the
  // runoff of the vertical model, the inflow columns keep theirs, and the
  // sub-intervals take the step values unless sub-interval runoff is given
  // for a column.
  void step(int month = 1);
  void setSubIntervalRunoff(int column, const std::vector<double>& values, int tracer = 0);

  // Runoff of the vertical model per subbasin column, mm per step.
  double& runoff(int column, int tracer = 0) { return source[tracer][column]; }
  double& stepValue(int column, int tracer = 0) { return stepRunoff[tracer][column]; }
  double** stepArray() { return stepRunoff; }
  double subValue(int column, int n, int tracer = 0) const { return subRunoff[tracer][n][column]; }
  double& cellCount(int column) { return areaRows[0][column]; }

  CapturedLog log;
  ModelContext context;
  std::vector<TracerRecord> tracerTable;
  int subbasins;
  int inflows;
  int subIntervals;
  double timeStep;
  std::vector<std::unique_ptr<routingclass>> elements;
  IrrigationLedger ledger;

private:
  int columns() const { return subbasins + inflows; }

  void takeSourceRunoff();

  std::vector<std::vector<double>> source;
  std::vector<std::vector<double>> stepStore;
  std::vector<double*> stepRows;
  double** stepRunoff = nullptr;
  std::vector<std::vector<std::vector<double>>> subStore;
  std::vector<std::vector<double*>> subRows;
  std::vector<double**> subTable;
  double*** subRunoff = nullptr;
  std::vector<std::vector<double*>> queueRows;
  std::vector<double**> queueTable;
  std::vector<std::vector<double>> areaRows;
  std::vector<double*> areaTable;
  std::vector<int> columnMap;
  // Sub-interval runoff given by a test for one step: [tracer][column].
  std::vector<std::vector<std::vector<double>>> givenSubRunoff;
};
