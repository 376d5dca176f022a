#pragma once

#include <mpi.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/config/setup_model.h"
#include "tests/test_support.h"

// A set-up with external coupling on the domain of these tests: 29 valid
// cells of zones 1, 2 and 3 in 4 rows of 8 columns.
namespace coupling_run {

inline bool inZone(long r, long c) {
  return !((r == 1 && c == 4) || (r == 3 && (c == 1 || c == 8)));
}
inline long zoneOf(long r, long c) { return r < 3 ? (c < 3 ? 1 : 2) : 3; }

// An ASCII grid file of the domain, nodata outside the zone grid, in the
// layout of the grid writer.
inline std::string gridText(const std::function<double(long, long)>& value) {
  std::string text = "ncols\t8\nnrows\t4\nxllcorner\t1000\nyllcorner\t2000\ncellsize\t100\n"
                     "nodata_value\t-9999\n";
  for (long r = 1; r <= 4; ++r) {
    for (long c = 1; c <= 8; ++c) {
      char cell[32];
      std::snprintf(cell, sizeof cell, "%g", inZone(r, c) ? value(r, c) : -9999.0);
      text += (c > 1 ? "\t" : "") + std::string(cell);
    }
    text += "\n";
  }
  return text;
}

// Reads three external grids (moved, deleted, kept) and writes "flux" with
// every write code and the statistic "runoff total" with every code.
inline std::string couplingSection(char gridMode, const std::string& readGrids = "") {
  return std::string("[ExternalCoupling]\n1  coupling on\nsem_ext.txt  semaphore\n") +
         "50  wait interval\n" + gridMode + "  grid interval\n60  external time step\n" +
         (readGrids.empty() ? "3  grids to read\n"
                              "ext_move.asc gw_level 0 1\n"
                              "ext_drop.asc GWTableExtern 2 0\n"
                              "ext_keep.asc gw_kept 0 2  free text\n"
                            : readGrids) +
         "10  grids to write\n"
         "out/sum.asc flux Sum\nout/mean.asc flux Mean\nout/total.asc flux SumTotal\n"
         "out/dmy.asc flux SumTotal_DMY\nout/d.asc flux SumTotal_D\nout/m.asc flux SumTotal_M\n"
         "out/y.asc flux SumTotal_Y\nout/dm.asc flux SumTotal_DM\nout/my.asc flux SumTotal_MY\n"
         "out/now.asc flux Current\n"
         "4  statistics\n"
         "out/stat_sum.txt runoff_total Sum\nout/stat_mean.txt runoff_total Mean\n"
         "out/stat_total.txt runoff_total SumTotal\nout/stat_now.txt runoff_total Now\n"
         "sem_model.txt  semaphore for the external program\nContinue  its content\n";
}

// The files of one set-up in a directory that every process shares, the set-up
// run there; the directory stays the working directory.
struct CouplingRun {
  CouplingRun(const std::string& name, const std::string& section)
      : dir(std::filesystem::absolute(makeTestDirectory("coupling_" + name, true)).string()) {
    if (worldRank() == 0) {
      writeFile(dir + "/MpiSpeedFactor.dat", "1\n");
      writeFile(dir + "/zone.asc",
                gridText([](long r, long c) { return static_cast<double>(zoneOf(r, c)); }));
      writeFile(dir + "/dem.asc", gridText([](long r, long c) { return 100.0 * r + c; }));
      writeFile(dir + "/run.ctl", setupSections() +
                                      "[zone_grid]\nzone.asc\n[elevation_model]\ndem.asc\n"
                                      "[standard_grids]\n3\n"
                                      "flux.asc flux fillcode = 0 readcode = 0\n"
                                      "gw.asc gw_level fillcode = 0 readcode = 0\n"
                                      "kept.asc gw_kept fillcode = 0 readcode = 0\n"
                                      "[variable_grids]\n0\n" +
                                      laterSetupSections() + section);
      std::filesystem::create_directories(dir + "/out");
    }
    MPI_Barrier(MPI_COMM_WORLD);
    here = std::make_unique<WorkingDirectory>(dir);
    model = std::make_unique<SetupModel>(dir, dir + "/run.ctl");
    exitCode = model->runSetup();
  }

  std::string dir;
  std::unique_ptr<WorkingDirectory> here;
  std::unique_ptr<SetupModel> model;
  int exitCode = 0;
};

} // namespace coupling_run
