// The section "[SurfaceRoutingModel]" of the state file: the flow-time
// pipeline and the two linear storages of every subbasin, for water and
// every tracer. Each process writes and reads its own file (the unsaturated
// zone's name for it), holding its own cells' part of the pipeline. The
// water still on the land goes into a grid of the catchment beside it.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/diag_stream.h"
#include "core/run_files.h"
#include "core/state_numbers.h"
#include "lateral/surfaceroutingclass.h"

namespace {

constexpr int mismatchCode = 71;
constexpr int stackLevelsCode = 13;
// The unsaturated zone takes this water up again in the next step; written
// like every grid of the run, so that it does not depend on the processes.
const char* const surfaceWaterFile = "SurfStorSiltingUp";
// The velocities towards the eight neighbours, from which the next step's
// velocity iteration of methods 1 to 4 starts where water still stands.
const char* const velocityFile = "SurfaceRoutingVelocity_End";
constexpr int firstDirection = 1;
constexpr int lastDirection = 8;
const char* const notInitialised =
    ". This means that the actual model run will not initialize the flow travel time zones for "
    "direct runoff and interflow, as it was before version 9.08.06.";

void skipLine(FILE* file) {
  for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file)) {
  }
}

} // namespace

void surfaceroutingclass::storageMismatch(const std::string& description, double control,
                                          double stored) {
  *diag << "FATAL: error in storage file content reading " << description
        << ":\nvalue in actual control is:   " << control
        << "\nbut value in storage file is: " << stored << "\nHorva throws..."
        << "[end-entry]";
  throw mismatchCode;
}

void surfaceroutingclass::readStorage(const std::string* name, int setting) {
  if (flowControl == 0) return;
  if (name) storageFileName = *name;
  std::string water = surfaceWaterFile;
  prependDirectory(outputDirectory, water);
  if (name)
    noteOutputFile(water, "the water on the land of [SurfaceRoutingModel] beside its state file");
  if (name && iteratesVelocities()) {
    std::string velocities = velocityFile;
    prependDirectory(outputDirectory, velocities);
    noteOutputFile(velocities, "the velocities of the water on the land of [SurfaceRoutingModel]");
  }
  if (!name || setting == 0 || setting == 2 || setting == 4) return;
  // Before the state file, which a process may lack: the reads are
  // collective.
  readSurfaceWater();
  readVelocities();
  std::string path = storageFileName;
  prependDirectory(inputDirectory, path);
  noteInputFile(path, "the state file that [SurfaceRoutingModel] starts from");
  FILE* file = std::fopen(path.c_str(), "r");
  if (!file) {
    *diag << "WARNING: error opening storage content file " << path << notInitialised
          << "[end-entry]";
    return;
  }
  std::string line;
  bool found = false;
  for (char buffer[2401]; !found && std::fgets(buffer, sizeof buffer, file);)
    found = std::strstr(buffer, "SurfaceRoutingModel") != nullptr;
  if (!found) {
    std::fclose(file);
    *diag << "WARNING: error locking for the section [SurfaceRoutingModel] in " << path
          << notInitialised << "[end-entry]";
    return;
  }
  try {
    readStorageSection(file, path);
  } catch (int) {
    std::fclose(file);
    throw;
  }
  std::fclose(file);
}

void surfaceroutingclass::readSurfaceWater() {
  readLandGrid(surfaceWaterFile, surfStorSiltingUpGrid, "the water that stood on the land");
  // The tracers of that water, in the module's own grid or in silting-up's.
  for (int k = 1; k < static_cast<int>(concStorGrids.size()); ++k)
    readLandGrid(registry[landTracerIndex[k]].fileName, concStorGrids[k],
                 "the concentration of tracer " + std::to_string(k) + " in that water");
}

void surfaceroutingclass::readVelocities() {
  if (!iteratesVelocities()) return;
  if (!initialStateFileExists(velocityFile)) {
    *diag << "WARNING: no stack " << velocityFile
          << " of a former run in the directory of the initial states: the velocities of the "
             "water that stood on the land start anew, and the warm start routes it a little "
             "otherwise than a run through"
          << "[end-entry]";
    return;
  }
  Stack read = nullptr;
  const int lastLevel = readStack(velocityFile, read, false);
  if (lastLevel != stackLevels) {
    free_three_d_matrix(read, header.firstRow, header.lastRow);
    *diag << "FATAL: wrong number of levels in stack " << velocityFile << " (there are "
          << lastLevel << " level, it must be " << stackLevels
          << "); start from the files of a run of the same version"
          << "[end-entry]";
    throw stackLevelsCode;
  }
  cells.forEachInOrder([&](long r, long c) {
    std::copy(read[r][c] + firstDirection, read[r][c] + lastDirection + 1,
              velocityStack[r][c] + firstDirection);
  });
  free_three_d_matrix(read, header.firstRow, header.lastRow);
}

void surfaceroutingclass::readLandGrid(const std::string& file, Grid grid,
                                       const std::string& what) {
  if (!initialStateFileExists(file)) {
    *diag << "WARNING: no grid " << file
          << " of a former run in the directory of the initial states; " << what
          << " at its end is not there"
          << "[end-entry]";
    return;
  }
  Grid read = matrix(heldFirst, heldLast, 1, header.ncols, header.nrows);
  readGrid(file, read, 0, false, false, false, 0, false, true, 0.0, Resampling::onModelGrid);
  cells.forEachInOrder([&](long r, long c) { grid[r][c] = read[r][c]; });
  free_matrix(read, heldFirst, heldLast, 1, header.ncols);
}

void surfaceroutingclass::readStorageSection(FILE* file, const std::string& path) {
  const auto integer = [&](double control, const char* description) {
    double value = 0.0;
    if (!nextStateNumber(file, *diag, path, description, true, value) || value != control)
      storageMismatch(description, control, value);
  };
  const auto number = [&](const std::string& what, size_t tracer) {
    double value = 0.0;
    const long at = std::ftell(file);
    if (!nextStateNumber(file, *diag, path, what, false, value))
      storageMismatch("a stored value", 1.0, 0.0);
    requireStoredRunoff(
        *diag, path, [&] { return lineNumberAt(file, at); }, what, static_cast<int>(tracer), value);
    skipLine(file);
    return value;
  };
  const size_t N = static_cast<size_t>(zones.zoneCount);
  const size_t n = Qg.size() - 1;
  integer(static_cast<double>(N), "number of subbasins");
  skipLine(file);
  integer(static_cast<double>(n), "number of tracers");
  skipLine(file);
  for (size_t t = 0; t <= n; ++t) {
    integer(static_cast<double>(t), "actual tracers(0=runoff)");
    skipLine(file);
    for (size_t s = 1; s <= N; ++s) {
      integer(static_cast<double>(s), "actual zone");
      integer(std::floor(maxzeit[s]), "maxzeit of actual subbasin");
      skipLine(file);
      const std::string zone = " of zone " + std::to_string(s);
      for (size_t z = 1; z < zoneFZT_QD[t][s].size(); ++z)
        for (auto* records : {&zoneFZT_QD, &zoneFZT_QI}) {
          ZoneRecord& r = (*records)[t][s][z];
          int fields = 0;
          const long at = std::ftell(file);
          for (double* field :
               {&r.weightSum, &r.valueSum, &r.code, &r.areaFraction, &r.effectiveWeight}) {
            if (!nextStateNumber(file, *diag, path, "a flow-time record" + zone, false, *field))
              break;
            ++fields;
          }
          if (fields != 5)
            storageMismatch(records == &zoneFZT_QD ? "number of fields for zonal statistics QD"
                                                   : "number of fields for zonal statistics QI",
                            5, fields);
          requireFlowTimeRecord(
              *diag, path, [&] { return lineNumberAt(file, at); }, r, static_cast<long>(s));
          skipLine(file);
        }
      QDd[t][s] = number("the direct runoff storage" + zone, t);
      QIi[t][s] = number("the interflow storage" + zone, t);
    }
  }
}

void surfaceroutingclass::writeStorageSection(bool append) {
  // Collective, so before a process may give up on its own file; the
  // writer puts the output directory in front.
  writeOutputFile(std::abs(registryIndex[siltingUpStorageSlot]), surfStorSiltingUpGrid, false,
                  surfaceWaterFile);
  if (iteratesVelocities()) writeRegisteredStack(registryIndex[velocitySlot], velocityFile);
  std::string path = storageFileName;
  prependDirectory(outputDirectory, path);
  FILE* file = std::fopen(path.c_str(), append ? "a" : "w");
  if (!file) {
    *diag << "WARNING: couldn't open file \"" << path
          << "\" \n(model version doesn't support this feature or write access error)"
          << "[end-entry]";
    return;
  }
  const size_t N = static_cast<size_t>(zones.zoneCount);
  const size_t n = Qg.size() - 1;
  // 17 digits, so that a warm start goes on exactly.
  std::fprintf(file, "[SurfaceRoutingModel]\n%zu (number of subasins)\n%zu (number of tracers)\n",
               N, n);
  for (size_t t = 0; t <= n; ++t) {
    std::fprintf(file, "%zu (0=runoff, 1...9 = tracers)\n", t);
    for (size_t s = 1; s <= N; ++s) {
      std::fprintf(file, "%zu %d (zone %zu and maxzeit)\n", s,
                   static_cast<int>(std::floor(maxzeit[s])), s);
      for (size_t z = 1; z < zoneFZT_QD[t][s].size(); ++z)
        for (auto* records : {&zoneFZT_QD, &zoneFZT_QI}) {
          const ZoneRecord& r = (*records)[t][s][z];
          std::fprintf(file, "%.17g %.17g %.17g %.17g %.17g (%s.n/.sx/.zonenwert/.rel/.RelCellSum)\n",
                       r.weightSum, r.valueSum, r.code, r.areaFraction, r.effectiveWeight,
                       records == &zoneFZT_QD ? "zoneFZT_QD" : "zoneFZT_QI");
        }
      std::fprintf(file, "%.17g (QDd[%zu][%zu])\n", QDd[t][s], t, s);
      std::fprintf(file, "%.17g (QIi[%zu][%zu])\n", QIi[t][s], t, s);
    }
  }
  std::fputs("\n", file);
  const bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed)
    *diag << "WARNING: error writing " << path << " (" << std::strerror(errno)
          << "): the surface routing state in it is incomplete and cannot start a later run"
          << "[end-entry]";
}
