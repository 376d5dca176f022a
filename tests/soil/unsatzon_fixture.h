#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config/soil_class.h"
#include "soil/unsatzonmodellklasse.h"
#include "tests/submodel/submodel_fixture.h"
#include "tests/test_decomposition.h"

// The unsaturated zone with public access to what it set up.
class TestUnsatzon : public unsatzonmodellklasse {
public:
  using unsatzonmodellklasse::addStepStatistics;
  using unsatzonmodellklasse::floatingPointError;
  using unsatzonmodellklasse::cellRecord;
  using unsatzonmodellklasse::reinfiltrationExchange;
  using unsatzonmodellklasse::directRecords;
  using unsatzonmodellklasse::interflowRecords;
  using unsatzonmodellklasse::channelDensity;
  using unsatzonmodellklasse::Qg;
  using unsatzonmodellklasse::QDout;
  using unsatzonmodellklasse::QIout;
  using unsatzonmodellklasse::statistics;
  using unsatzonmodellklasse::glacierZones;
  using unsatzonmodellklasse::kelsqlat;
  using unsatzonmodellklasse::readLayeredSnowModel;
  using unsatzonmodellklasse::maxBaseflow;
  using unsatzonmodellklasse::snowRunoffFraction;
  using unsatzonmodellklasse::subbasinCodes;
  using unsatzonmodellklasse::unsatzonmodellklasse;
};

// A silt loam of four layers of 0.25 m (theta_r 0.067, theta_s 0.45,
// alpha 2 1/m, n 1.41), with more keys of the soil table appended.
inline std::string siltLoam(int layers = 4, double thickness = 0.25,
                            const std::string& extra = "") {
  std::string block = "method = MultipleHorizons; layers = " + std::to_string(layers) + ";";
  const std::vector<std::pair<std::string, std::string>> keys = {
      {"thickness", std::to_string(thickness)},
      {"ksat", "1e-6"},
      {"theta_sat", "0.45"},
      {"theta_res", "0.067"},
      {"alpha", "2"},
      {"Par_n", "1.41"}};
  for (const auto& [key, value] : keys) {
    block += " " + key + " =";
    for (int k = 0; k < layers; ++k) block += " " + value;
    block += ";";
  }
  return block + " " + extra + "}";
}

// The lines of "[unsatzon_model]" after the flow control and the time step,
// one per entry 1 .. 87 (index 0 unused), each a value and a comment.
std::vector<std::string> unsatzonLines(const std::string& directory);
std::string unsatzonSection(const std::vector<std::string>& lines,
                            const std::string& stepMinutes = "60");

// "[heat_transfer]" switched on with the method and the constants of a
// mineral soil: the ground 10 degrees C at sea level and 6.5 K/km colder
// above, the freezing curve of Clausius-Clapeyron, heat steps of 60 s to an
// hour; the control point's temperatures in `temperatureFile`, the thaw
// depth statistics with the code given.
std::string heatSection(int method, const std::string& directory,
                        const std::string& temperatureFile = "temper.txt", int statisticCode = 0);

// A grid of 4 columns and 3 rows whose zone grid holds the subbasin codes
// 1 .. 8 (row 3: 8 8 and two cells outside), with every grid the
// unsaturated zone takes from others, one land-use layer, the silt loam as
// soil type 1, a plane at 100 m and a slope of 10 degrees.
struct UnsatzonSetup {
  UnsatzonSetup(const std::string& name, const std::string& extraSections = "",
                const std::vector<std::string>& soilBlocks = {siltLoam()});
  // Builds the module from the lines; errorCode receives its code.
  std::unique_ptr<TestUnsatzon> build(const std::vector<std::string>& lines, int& errorCode,
                                      const std::string& extraSections = "");
  std::unique_ptr<TestUnsatzon> build(const std::vector<std::string>& lines) {
    int code = 0;
    auto module = build(lines, code);
    if (code != 0) ADD_FAILURE() << "construction failed with code " << code;
    return module;
  }
  Grid grid(const std::string& name) const;
  Stack stack(const std::string& name) const;

  SubmodelSetup base;
  std::string directory; // the test's own, absolute
  std::vector<soil_class> soils;
  std::vector<std::string> lines; // the default lines
  std::string extra;
  std::string stepMinutes = "60";
};

// The driver's tracer set-up without tracers, which builds the module's
// flow-time distribution; returns its code.
inline int startRunoff(unsatzonmodellklasse& module) {
  std::vector<TracerRecord> none(1);
  int code = -1;
  module.initTracers(code, 0, none, nullptr, 0);
  return code;
}

// Grids every valid cell of which holds the value.
std::vector<double> uniform(double value);

// An ASCII grid on the fixture's 4 x 3 cells.
inline void writeAsciiGrid(const std::string& path, const std::vector<double>& values) {
  std::string text =
      "ncols 4\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 100\nnodata_value -9999\n";
  for (size_t k = 0; k < values.size(); ++k)
    text += std::to_string(values[k]) + ((k + 1) % 4 == 0 ? "\n" : " ");
  writeFile(path, text);
}

// The names of the dump files ("MPI_...") in a folder.
std::set<std::string> dumpFiles(const std::string& folder);
