// Dump files of cells whose layered snow is inconsistent: solid water
// above an empty layer, or liquid water in a layer without solid.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "snow/schneemodellklasse.h"

namespace {

constexpr int closeAfterDumpCode = 199;

} // namespace

// Serial, after the cell loop, in row order: the files and the messages
// come out in the same order on every thread count.
void schneemodellklasse::checkDumps() {
  if (!dumpMode || !layeredSnow || layerSettings.layers < 2) return;
  bool stop = false;
  masterCells.forEachInOrder([&](long r, long c) {
    if (stop) return;
    const int solid = inconsistentLevel(r, c, false);
    const int liquid = inconsistentLevel(r, c, true);
    if (solid == 0 && liquid == 0) return;
    if (maxDumpFiles == 0 || dumpFileCount < maxDumpFiles) writeDump(r, c, solid, liquid);
    ++dumpFileCount;
    if (closeAfterDump) {
      stop = true;
      return;
    }
    if (repairAfterDump && (maxDumpFiles == 0 || dumpFileCount < maxDumpFiles))
      *diag << "DEBUG: \n ---- Snow model: command line option -repairAfterDump active! --------\n"
            << "nothing to here"
            << "[end-entry]";
    if (dumpFileCount == maxDumpFiles)
      *diag << "DEBUG: \n ---- Snow model: command line option -dumpmode:<maxDumpFiles> with "
               "maxDumpFiles="
            << static_cast<long>(dumpFileCount) << " active! --------\n"
            << "\n " << static_cast<long>(dumpFileCount)
            << " has now be written. Continuing from now on without writing dump files for this "
               "instance and MPI-rank..."
            << "[end-entry]";
  });
  if (!stop) return;
  *diag << "FATAL: \n\n -------- Snowm odel: command line option -closeAfterDump active! "
           "---------------------------------------------\n\n"
        << " a dumpfile has been written and Horva aborts now.\n"
        << "------------------------------------------------------------------------------------"
           "---------"
        << "[end-entry]";
  throw closeAfterDumpCode;
}

// The first level 1 .. n-1 with solid water over an empty level, or with
// liquid water but no solid; 0 when there is none.
int schneemodellklasse::inconsistentLevel(long r, long c, bool liquid) const {
  const double* solid = layerSolid[r][c];
  const double* water = layerLiquid[r][c];
  for (int i = 1; i < layerSettings.layers; ++i) {
    if (!liquid && solid[i] > 0.0 && solid[i + 1] <= 0.0) return i;
    if (liquid && water[i] > 0.0 && solid[i] <= 0.0) return i;
  }
  return 0;
}

void schneemodellklasse::writeDump(long r, long c, int solidLevel, int liquidLevel) {
  std::string name = "MPI_" + std::to_string(mpiRank) + "_";
  if (solidLevel > 0) name += "swes(" + std::to_string(solidLevel) + ")_";
  if (liquidLevel > 0) name += "swel(" + std::to_string(liquidLevel) + ")_";
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "dump_row_%ld_col_%ld_%ld%02ld%02ld%02ld.dmp", r, c,
                currentDate.year, currentDate.month, currentDate.day, currentDate.hour);
  name += stamp;
  const double nodata = header.nodata;
  std::vector<double> values;
  auto cellOf = [&](Grid g) { values.push_back(g ? g[r][c] : nodata); };
  for (Stack s : {layerSolid, layerLiquid, layerThickness, layerDensity})
    values.insert(values.end(), s[r][c], s[r][c] + layerLevels + 1);
  cellOf(upperIndexSnow);
  for (Grid g :
       {snowEvaporation, own(solidGrid), own(liquidGrid), own(totalGrid), temperature, albedo})
    cellOf(g);
  for (int k = 1; k <= layers; ++k) cellOf(landuse[static_cast<size_t>(k)]);
  cellOf(elevation);
  cellOf(precipitation);
  if (glacierGrid) cellOf(glacierGrid);
  if (own(glacierSolidGrid)) {
    for (OwnGridName g : {glacierSolidGrid, glacierLiquidGrid, glacierEvaporationGrid})
      cellOf(own(g));
    if (isEnergyBalance())
      for (OwnGridName g :
           {glacierSnowTemperatureGrid, glacierSurfaceTemperatureGrid, glacierEnergyBalanceGrid})
        cellOf(own(g));
  }
  if (isEnergyBalance())
    for (Grid g : {own(snowTemperatureGrid), own(surfaceTemperatureGrid), own(energyBalanceGrid),
                   humidity, cloudiness, radiation})
      cellOf(g);
  if (firnStack)
    values.insert(values.end(), firnStack[r][c], firnStack[r][c] + glacier.firnLevels + 1);
  if (lakeFlag != 0) {
    cellOf(lakeCodes);
    cellOf(pondGrid);
  }
  if (usesWind()) cellOf(wind);
  if (radiationCorrectionGrid) cellOf(radiationCorrectionGrid);
  const std::int32_t date[5] = {
      static_cast<std::int32_t>(currentDate.minute), static_cast<std::int32_t>(currentDate.hour),
      static_cast<std::int32_t>(currentDate.day), static_cast<std::int32_t>(currentDate.month),
      static_cast<std::int32_t>(currentDate.year)};
  std::FILE* file = std::fopen(name.c_str(), "wb");
  bool written = file != nullptr;
  if (file) {
    written = std::fwrite(values.data(), sizeof(double), values.size(), file) == values.size() &&
              std::fwrite(date, sizeof date[0], 5, file) == 5;
    written = std::fclose(file) == 0 && written;
  }
  if (!written)
    *diag << "WARNING: the snow model could not write the dump file " << name
          << " of the cell in row " << r << ", column " << c
          << "; check the disk space and the rights of the working directory"
          << "[end-entry]";
}
