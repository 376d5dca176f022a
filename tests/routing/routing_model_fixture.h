#pragma once

#include <memory>
#include <string>
#include <vector>

#include "routing/abflussmodellklasse.h"
#include "tests/submodel/submodel_fixture.h"

// One channel of a routing description: "OL 1" etc. with its ten values,
// here without delay and flood plain: a channel 1 m long and 100 m deep.
std::string channelText(const std::string& element, double storageHours,
                        double catchmentArea = 0.03);

// A routing model on a grid of 4 x 3 cells of 100 m whose zones 1 .. 4 hold
// three cells (0.03 km^2) each, hourly from 2001-01-01 00:00, its control
// file and its runoff arrays, in a test directory of its own.
struct RoutingModelSetup {
  explicit RoutingModelSetup(const std::string& name, int tracers = 0);

  // The control file: "[routing_model]" with the header values and the
  // description lines, "[output_interval]" with the unit and
  // "[unsatzon_model]" naming the former run's runoff file.
  void writeControlFile(const std::string& descriptions);
  // Builds the module; returns its error code.
  int build();
  // Wires the module as the driver does (the test's runoff arrays outside
  // routing-only mode).
  void wire(const std::string* storageFile = nullptr, int readMode = 0);
  // The step of hour k from the start.
  void step(long k);
  ModelDate hourOf(long k) const;
  // A file in the test directory.
  std::string path(const std::string& name) const { return log.directory + "/" + name; }
  // Lines of the routed-discharge statistic after its three header lines.
  std::vector<std::string> statisticLines() const;

  SubmodelSetup base;
  CapturedLog& log;
  ModelContext& context;
  int flowControl = 1;
  std::string header = "1 1 1 1"; // qmin qmax intervals sub-intervals
  std::string observedFile = "none.txt";
  std::string columnDescriptors = "0";
  int criteriaOffset = 0;
  int unit = 1;
  int statisticCode = 2001;
  std::string runoffFile = "qg.stat";
  std::string extraSections;
  std::vector<StatisticTableEntry> statistics;
  std::vector<TracerRecord> tracerTable;
  std::vector<std::vector<double>> runoff; // [tracer][column 1 .. 4], mm per step
  std::vector<double*> runoffRows;
  std::unique_ptr<abflussmodellklasse> model;
};

// The text of a statistics table of total runoff per subbasin as the
// unsaturated zone writes it: one line per hour from 2001-01-01 00:00.
std::string runoffTable(const std::vector<std::vector<double>>& hours, int firstHour = 0);

// The values of every row of a result table after its three header lines.
std::vector<std::vector<double>> tableRows(const std::string& path);
