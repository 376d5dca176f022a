#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "snow/schneemodellklasse.h"
#include "tests/vertical/two_by_two_model.h"

// The module with its state tables and settings in view.
class TestSnow : public schneemodellklasse {
public:
  using schneemodellklasse::factors;
  using schneemodellklasse::qFirnEls;
  using schneemodellklasse::qIceEls;
  using schneemodellklasse::qSnowEls;
  using schneemodellklasse::schneemodellklasse;
  using schneemodellklasse::t0r;
};

// The lines of "[snow_model]"; statistics off unless a code is given.
struct SnowSection {
  int method = 1;
  int minutes = 60;
  double transzone = 1.0, t0r = 0.0, t0 = 0.0, cwh = 0.1, crfr = 0.5;
  std::string ddf = "4", c0 = "2", c1 = "0.5";
  double rmfMin = 1.0, rmfMax = 3.0;
  std::string statistics = "0";
  std::string readGrid = "0";
  std::string inputWriteCode = "0"; // of the slides' input mass grid
  // Lines 59 to 65 of the extended methods, one string each.
  std::vector<std::string> extended = {"55", "1", "30", "0.01", "1", "1", "1"};
  bool emptyExtendedLine = false;

  std::string text() const {
    auto n = [](double v) { return std::to_string(v); };
    std::string s = "[snow_model]\n1\n" + std::to_string(minutes) + "\n" + std::to_string(method) +
                    " method\n" + n(transzone) + " transzone\n" + n(t0r) + " T0R\n" + n(t0) +
                    " T0\n" + n(cwh) + " CWH\n" + n(crfr) + " CRFR\n" + ddf + "\n" + c0 + "\n" +
                    c1 + "\n0.01 z0\n" + n(rmfMin) + "\n" + n(rmfMax) + "\n0.4\n0.9\n";
    auto grid = [&](const std::string& name) { s += name + ".asc\n0\n"; };
    auto statistic = [&](const std::string& name) { s += name + ".stat " + statistics + "\n"; };
    for (const char* name : {"rain", "snow", "days", "age"}) {
      grid(name);
      statistic(name);
    }
    statistic("albedo");
    for (const char* name : {"outflow", "melt"}) {
      grid(name);
      statistic(name);
    }
    grid("solid");
    grid("liquid");
    statistic("total");
    grid("total");
    s += readGrid + " readgrid\n";
    if (method < 5) return s;
    if (emptyExtendedLine) return s + "\n";
    s += "snowtemp.asc\n0\n";
    statistic("snowtemp");
    for (const char* name : {"surftemp", "input", "mobile", "deposition"}) {
      if (std::string(name) == "input")
        s += "input.asc\n" + inputWriteCode + "\n";
      else
        grid(name);
      statistic(name);
    }
    for (const std::string& line : extended) s += line + "\n";
    return s;
  }
};

// A 2 x 2 grid on one process, cell (1, 1) outside the zone grid, one
// zone; calm saturated air at 0 degrees C without rain, sun or cloud; flat
// ground at 500 m; every input of every method registered.
struct SnowModel : TwoByTwoModel {
  explicit SnowModel(const std::string& name, const SnowSection& section,
                     const std::string& extra = "")
      : TwoByTwoModel(name, section.text() + extra) {
    addOneZone(500.0);
    const std::pair<const char*, double> inputs[] = {{"albedo", 0.5},
                                                     {"landuse1", -9999.0},
                                                     {"precipitation", 0.0},
                                                     {"temperature", 0.0},
                                                     {"temperature_night", 0.0},
                                                     {"wind_speed", 0.0},
                                                     {"air_humidity", 1.0},
                                                     {"AspectCorrectedGlobalRadiation", 0.0},
                                                     {"cloudiness", 0.0},
                                                     {"vapor_pressure", 6.11},
                                                     {"snow_evaporation", 0.0},
                                                     {"slope_angle", 10.0},
                                                     {"deposition_index", 0.0},
                                                     {"slidefraction1", 0.25},
                                                     {"slidefraction2", 0.25},
                                                     {"slidefraction3", 0.25},
                                                     {"slidefraction4", 0.25}};
    for (const auto& [grid, value] : inputs) add(grid, value);
  }

  double& at(const std::string& name) const { return grid(name)[2][2]; }
  // Builds the module and binds its inputs; code holds the failure.
  void build(bool expectSuccess = true) {
    module = constructSubmodel<TestSnow>(code, s.context);
    if (expectSuccess) {
      ASSERT_EQ(code, 0) << s.log.console.str();
      module->setInterceptionFirst(false);
    }
  }
  void step(long day = 1, long month = 2, long hour = 0) {
    module->computeSnowStep(0, hour, day, month, 2021);
  }

  int code = -1;
  std::unique_ptr<TestSnow> module;
};
