#pragma once

#include <string>
#include <vector>

#include "submodel/teilmodellklasse.h"
#include "tests/config/captured_log.h"
#include "tests/test_support.h"

// A sub-model with public access to what the base keeps for its modules.
class TestSubmodel : public teilmodellklasse {
public:
  TestSubmodel(const ModelContext& context, const std::string& name,
               bool runsInRoutingOnlyMode = false)
      : teilmodellklasse(context, name, runsInRoutingOnlyMode) {}

  using teilmodellklasse::closeControlFile;
  using teilmodellklasse::controlFile;
  using teilmodellklasse::currentDate;
  using teilmodellklasse::daylightStart;
  using teilmodellklasse::fday;
  using teilmodellklasse::floatingPointError;
  using teilmodellklasse::fnight;
  using teilmodellklasse::night;
  using teilmodellklasse::ownCells;
  using teilmodellklasse::stepsPerDay;
  using teilmodellklasse::timeStep;
  using teilmodellklasse::timeStepMinutes;
  using teilmodellklasse::zones;
};

// The model context of a small single-process grid, a control file and a
// captured log, in a test directory of their own. Grids the test registers
// are freed with the fixture.
struct SubmodelSetup {
  SubmodelSetup(const std::string& name, const std::string& controlText)
      : log(name), controlFile(log.directory + "/model.ctl.intern"), registry(gridRegistrySize) {
    writeFile(controlFile, controlText);
    context.diag = &log.diag;
    context.controlFileName = controlFile;
    context.registry = registry.data();
    context.header.ncols = 4;
    context.header.nrows = 3;
    context.header.cellsize = 100.0;
    context.header.firstRow = 1;
    context.header.lastRow = 3;
    context.startDate = ModelDate{0, 0, 1, 1, 2020};
    context.endDate = ModelDate{0, 23, 31, 12, 2020};
    context.outputInterval = 1;
  }
  ~SubmodelSetup() {
    for (Grid g : grids) free(g);
  }

  // A grid over every row with the given values, row by row, registered
  // under the name; "[zone_grid]" goes to entry 1.
  Grid addGrid(const std::string& name, const std::vector<double>& values) {
    memory_handling memory;
    const long nrows = context.header.nrows;
    const long ncols = context.header.ncols;
    Grid g = memory.matrix(1, nrows, 1, ncols, nrows);
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c) g[r][c] = values[(r - 1) * ncols + (c - 1)];
    registerTestGrid(registry, name, name + ".asc", g, 1, nrows);
    grids.push_back(g);
    return g;
  }
  void free(Grid g) {
    memory_handling memory;
    memory.free_matrix(g, 1, context.header.nrows, 1, context.header.ncols);
  }

  CapturedLog log;
  std::string controlFile;
  std::vector<GridRegistryEntry> registry;
  ModelContext context;
  std::vector<Grid> grids;
};

// A module section: the switch, the time step and one value of the module's
// own.
inline std::string moduleSection(const std::string& name, const std::string& flow,
                                 const std::string& minutes) {
  return "[" + name + "]\n" + flow + "  flow control parameter\n" + minutes +
         "  time interval in minutes\n42  a value of the module's own\n\n";
}
