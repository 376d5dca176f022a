#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "driver/modell_application.h"
#include "tests/test_support.h"

// A tiny catchment for runs of the whole model: 4 x 3 cells of 100 m with
// two zones, one temperature station whose value at step k (from 0) is
// 10 + k, and a control file of the set-up sections, the interpolator and
// whatever a test adds. Hourly steps from 2020-01-01 00:00.
struct TinyCatchment {
  // Whole hours from the start; the station file covers them.
  long lastHour = 5;
  // min_to_int_end of "[output_interval]", minutes.
  int minToIntEnd = 0;
  // Lines of "[output_interval]" after its four values.
  std::string outputKeys = "WriteAsciiGrids = 1\n";
  // The key = value lines of "[standard_grids]" and their count.
  int standardGridCount = 1;
  std::string standardGrids = "wetness.asc wetness fillcode = 0 readcode = 0 defaultValue = 5 "
                              "writecode = 1\n";
  // With a second station at the other end of the grid, whose value at
  // step k is 20 - k, the temperature varies from cell to cell.
  bool secondStation = false;
  // Interpolator output: file name and write code.
  std::string temperatureOutput = "temperature.asc 0";
  std::string meteoSections = "[meteo_data_count]\n1\n[meteo_names]\ntemperature\n";
  std::string extraSections;

  // Writes the grids, the station file, the speed file and "run.ctl" into
  // the directory.
  void write(const std::string& dir) const;
  // The date of step k.
  static ModelDate hourOf(long k);
  std::string controlText() const;
};

// Runs the model of dir + "/run.ctl" in that directory as main does:
// init, run, ClearMemory. Returns -1 after a run that ended normally, else
// the exit code it threw.
int runModel(ModellApplication& model, const std::string& dir);

// A log stream that keeps what it shows on the console, with its
// diagnostics file in the directory.
struct RunLog {
  explicit RunLog(const std::string& dir)
      : diag(std::make_unique<DiagStream>(dir + "/diag.xml", 4, &console, &errors)) {}
  std::string text() const { return console.str(); }
  bool has(const std::string& piece) const { return text().find(piece) != std::string::npos; }
  std::ostringstream console;
  std::ostringstream errors;
  std::unique_ptr<DiagStream> diag;
};

// Works in another directory for its lifetime.
class InDirectory {
public:
  explicit InDirectory(const std::string& dir) : former(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDirectory() { std::filesystem::current_path(former); }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

private:
  std::filesystem::path former;
};
