#pragma once

#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/config/setup_model.h"
#include "tests/test_support.h"

// A small test driver for the operations the driver calls on the
// control-file reader in every time step, on a domain of 29 valid cells in 4
// rows of 8 columns with the zones 1, 2 and 3.
namespace time_step_run {

using CellValue = std::function<double(long, long)>;

const std::vector<std::string> zoneRows = {"1 1 2 -9999 2 2 2 2", "1 1 2 2 2 2 2 2",
                                           "-9999 3 3 3 3 3 3 -9999", "3 3 3 3 3 3 3 3"};
inline bool inZone(long r, long c) {
  return !((r == 1 && c == 4) || (r == 3 && (c == 1 || c == 8)));
}

// An ASCII grid of the domain: the value inside the zone grid, nodata outside
// unless outside is given.
inline std::string gridText(const CellValue& value, const CellValue& outside = {}) {
  std::vector<std::string> rows;
  for (long r = 1; r <= 4; ++r) {
    std::string row;
    for (long c = 1; c <= 8; ++c) {
      char cell[32];
      const double v = inZone(r, c) ? value(r, c) : outside ? outside(r, c) : -9999.0;
      std::snprintf(cell, sizeof cell, "%.10g", v);
      row += (c > 1 ? " " : "") + std::string(cell);
    }
    rows.push_back(row);
  }
  return asciiGrid(rows, 8);
}

inline CellValue constant(double v) {
  return [v](long, long) { return v; };
}

// The name of a time-stamped file of a grid file.
inline std::string stamped(const std::string& file, const ModelDate& d) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "_%04ld%02ld%02ld%02ld", d.year, d.month, d.day, d.hour);
  return file + stamp;
}

// The files of one run in a directory that every process shares: the zone
// grid, a flat elevation model, the control file with the given standard
// grids and further sections (an "[irrigation]" section among them takes
// the place of the one that turns irrigation off), and the given files.
inline std::string prepareRun(const std::string& name, const std::string& standardGrids,
                              const std::string& sections,
                              const std::vector<std::pair<std::string, std::string>>& files) {
  const std::string dir = std::filesystem::absolute(makeTestDirectory(name, true)).string();
  std::string common = setupSections();
  const std::string irrigationOff = "[irrigation]\n0  irrigation off\n";
  if (sections.find("[irrigation]") != std::string::npos)
    common.erase(common.find(irrigationOff), irrigationOff.size());
  if (worldRank() == 0) {
    writeFile(dir + "/MpiSpeedFactor.dat", "1\n");
    writeFile(dir + "/zone.asc", asciiGrid(zoneRows, 8));
    writeFile(dir + "/dem.asc", gridText(constant(500.0)));
    for (const auto& [file, text] : files) writeFile(dir + "/" + file, text);
    writeFile(dir + "/run.ctl", common +
                                    "[zone_grid]\nzone.asc  zones\n"
                                    "[elevation_model]\ndem.asc\n"
                                    "[standard_grids]\n" +
                                    standardGrids + "[variable_grids]\n0\n" +
                                    "[region_transition_distance]\n4  cells\n" + sections);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  return dir;
}

inline bool isLeapYear(long year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

inline ModelDate nextDate(ModelDate d, long hours) {
  static const long days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  d.hour += hours;
  while (d.hour >= 24) {
    d.hour -= 24;
    const long monthLength = d.month == 2 && isLeapYear(d.year) ? 29 : days[d.month - 1];
    if (++d.day > monthLength) {
      d.day = 1;
      if (++d.month > 12) {
        d.month = 1;
        ++d.year;
      }
    }
  }
  return d;
}

// count dates from first, hours apart.
inline std::vector<ModelDate> datesFrom(const ModelDate& first, int count, long hours) {
  std::vector<ModelDate> dates;
  ModelDate d = first;
  for (int i = 0; i < count; ++i, d = nextDate(d, hours)) dates.push_back(d);
  return dates;
}

// One time step outside routing-only mode, in the driver's order: the
// periodic grids and the land-use parameters before the sub-models, the
// output of the grids and the statistics after them.
inline void runTimeStep(defaultini& reader, const ModelDate& d, double stepMinutes) {
  reader.updatePeriodicStandardGrids(d.minute, d.hour, d.day, d.month, d.year, stepMinutes);
  reader.updateActualLanduseGrids(d.minute, d.hour, d.day, d.month, d.year, stepMinutes);
  reader.writeStandardGrids(d.minute, d.hour, d.day, d.month, d.year);
  reader.writeVariableGrids(d.minute, d.hour, d.day, d.month, d.year);
  reader.resetStandardGridStatistics();
  reader.addStandardGridStatistics();
  reader.storeStandardGridStatistics(d.minute, d.hour, d.day, d.month, d.year);
}

// Every cell inside the zone grid that this process must hold right: its
// own cells and its halo cells.
inline void expectHeldCells(SetupModel& model, Grid grid, const CellValue& expected,
                            const std::string& what) {
  ASSERT_NE(grid, nullptr) << what;
  Grid regions = model.grid("MPIRegions");
  Grid halo = model.grid("MPIHalo");
  const int rank = worldRank();
  for (long r = 1; r <= 4; ++r) {
    if (r < model.header.firstRow - 1 || r > model.header.lastRow + 1) continue;
    for (long c = 1; c <= 8; ++c) {
      const bool own = regions[r] && regions[r][c] == rank;
      const bool held = own || (halo[r] && halo[r][c] >= 0.0);
      if (!inZone(r, c) || !held) continue;
      EXPECT_EQ(grid[r][c], expected(r, c)) << what << " row " << r << " column " << c;
    }
  }
}

} // namespace time_step_run
