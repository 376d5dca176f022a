// The grids the groundwater model registers, their start values, and the
// control-point file.
#include <cmath>
#include <cstdio>

#include "core/diag_stream.h"
#include "core/run_files.h"
#include "lateral/gwflowclass.h"

namespace {

constexpr int registryFullCode = 12;
constexpr int controlFileCode = 62;

// "heads.asc" -> "heads_old.asc"; a name without an extension gets the
// suffix at its end. Dots of directories do not count.
std::string withSuffix(const std::string& name, const std::string& suffix) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

} // namespace

Grid gwflowclass::newGrid(double inside, double outside) {
  Grid g = matrix(firstRow, lastRow, 1, header.ncols, header.nrows);
#pragma omp parallel for schedule(runtime)
  for (long r = firstRow; r <= lastRow; ++r)
    for (long c = 0; c <= header.ncols; ++c)
      g[r][c] = c >= 1 && r >= ownFirst && r <= ownLast && regions[r][c] == mpiRank && inZone(r, c)
                    ? inside
                    : outside;
  return g;
}

void gwflowclass::freeGrid(Grid& g) {
  if (g) free_matrix(g, firstRow, lastRow, 1, header.ncols);
  g = nullptr;
}

int gwflowclass::nextRegistryIndex(const std::string& what) {
  const int index = firstFreeRegistryIndex();
  if (index < gridRegistryLimit) return index;
  *diag << "FATAL: no free grid (gridmaxanzahl must be larger than " << gridRegistryLimit << ")!\n"
        << " (" << what << " of " << moduleName << ")"
        << "[end-entry]";
  throw registryFullCode;
}

double gwflowclass::thickness(int k, long r, long c) const {
  return k == 1 ? layerOneThickness[r][c] : layers[static_cast<size_t>(k)].thickness[r][c];
}

// Layer 1 lies under the soil: its thickness is the soil profile's depth.
void gwflowclass::computeLayerOneThickness() {
  layerOneThickness = newGrid(header.nodata, header.nodata);
  const std::vector<soil_class>* table = context.soilTable;
  const Grid given = layers[1].thickness;
  long badRow = 0, badColumn = 0;
  double badValue = 0.0;
  ownCells().forEachInOrder([&](long r, long c) {
    const double type = soilTypes[r][c];
    if (!(given[r][c] > header.nodata) || type == header.nodata) return;
    if (!table || type < 0.0 || type >= static_cast<double>(table->size())) {
      if (badRow == 0) badRow = r, badColumn = c, badValue = type;
      return;
    }
    layerOneThickness[r][c] = (*table)[static_cast<size_t>(type)].getTotalDepth();
  });
  if (badRow != 0) {
    *diag << "FATAL: in modul " << moduleName << ": grid " << gridWithFile("soil_types")
          << " holds " << badValue << " at row " << badRow << ", column " << badColumn
          << ", which names no soil type of the soil table; correct the grid or the table"
          << "[end-entry]";
    throw 10;
  }
  MPIExchangeGridHalo(0, layerOneThickness);
}

// The head layer 1 takes from the unsaturated zone, with ponded or silted
// water on a full cell.
double gwflowclass::headFromUnsaturatedZone(long r, long c) const {
  const double d = distance[r][c];
  double h = elevation[r][c] + d;
  if (pondUse && std::fabs(d) < 0.001)
    h += pond[r][c] / 1000.0;
  else if (siltingStorage && siltingStorage[r][c] > 0.0 && std::fabs(d) < 0.001)
    h += siltingStorage[r][c] / 1000.0;
  return h;
}

void gwflowclass::fillInitialHeads(Grid h) {
  ownCells().forEach([&](long r, long c) { h[r][c] = headFromUnsaturatedZone(r, c); });
}

void gwflowclass::registerHeads() {
  nextRegistryIndex("gw_head_1");
  for (int k = 1; k <= layerCount; ++k) {
    AquiferLayer& l = layers[static_cast<size_t>(k)];
    const std::string oldFile = withSuffix(l.headFile, "_old");
    l.head = newGrid(header.nodata, header.nodata);
    l.headOld = newGrid(header.nodata, header.nodata);
    // Every process, rank 0 too, holds its own rows with their halo.
    if (readHeads == 1) {
      readGrid(l.headFile, l.head, 0, false, false, false, 0, false, true, header.nodata);
      readGrid(oldFile, l.headOld, 0, false, false, false, 0, false, true, header.nodata);
    } else {
      fillInitialHeads(l.head);
      ownCells().forEach([&](long r, long c) { l.headOld[r][c] = l.head[r][c]; });
    }
    l.headIndex = nextRegistryIndex(layerName("gw_head_", k));
    registerGrid(l.headIndex, l.headFile, l.head, nullptr, 0, layerName("gw_head_", k), l.headCode,
                 firstRow, lastRow);
    l.headOldIndex = nextRegistryIndex(layerName("gw_head_old_", k));
    registerGrid(l.headOldIndex, oldFile, l.headOld, nullptr, 0, layerName("gw_head_old_", k),
                 l.headCode, firstRow, lastRow);
    MPIExchangeGridHalo(l.headIndex);
    MPIExchangeGridHalo(l.headOldIndex);
  }
}

void gwflowclass::registerLayerGrids() {
  const double nodata = header.nodata;
  auto add = [&](Grid& g, int& index, const std::string& name, const std::string& file, long code) {
    index = nextRegistryIndex(name);
    registerGrid(index, file.empty() ? name : file, g, nullptr, 0, name, code, firstRow, lastRow);
  };
  for (int k = 1; k <= layerCount; ++k) {
    AquiferLayer& l = layers[static_cast<size_t>(k)];
    l.headOldOld = newGrid(nodata, nodata);
    l.headIter = newGrid(nodata, nodata);
    l.tx = newGrid(nodata, nodata);
    l.ty = newGrid(nodata, nodata);
    ownCells().forEach([&](long r, long c) {
      l.headOldOld[r][c] = l.headIter[r][c] = l.head[r][c];
      const double b = thickness(k, r, c) + distance[r][c];
      l.tx[r][c] = b * l.kx[r][c];
      l.ty[r][c] = b * l.ky[r][c];
    });
    l.flowX = newGrid(0.0, nodata);
    l.flowY = newGrid(0.0, nodata);
    l.balance = newGrid(0.0, nodata);
    l.leakage = newGrid(0.0, nodata);
    l.top = newGrid(nodata, nodata);
    const AquiferLayer& above = layers[static_cast<size_t>(k - 1)];
    ownCells().forEach([&](long r, long c) {
      l.top[r][c] = k == 1 ? elevation[r][c] : above.top[r][c] - thickness(k - 1, r, c);
    });
    const std::string oldOld = layerName("gw_head_old_old_", k);
    add(l.headOldOld, l.headOldOldIndex, oldOld, "", 0);
    add(l.headIter, l.headIterIndex, oldOld, "", 0);
    add(l.tx, l.txIndex, layerName("gw_transmissivity_x_", k), "", 0);
    add(l.ty, l.tyIndex, layerName("gw_transmissivity_y_", k), "", 0);
    add(l.flowX, l.flowXIndex, layerName("gw_flow_x_", k), l.fluxXFile, l.fluxXCode);
    add(l.flowY, l.flowYIndex, layerName("gw_flow_y_", k), l.fluxYFile, l.fluxYCode);
    add(l.balance, l.balanceIndex, layerName("gw_balance", k), l.balanceFile, l.balanceCode);
    add(l.leakage, l.leakageIndex, layerName("gw_leakage_", k), "", 0);
    add(l.top, l.topIndex, layerName("aquifer_upper_limit", k), "", 0);
    for (int index :
         {l.headOldOldIndex, l.txIndex, l.tyIndex, l.flowXIndex, l.flowYIndex, l.topIndex})
      MPIExchangeGridHalo(index);
  }
  for (Grid* g : {&lower, &diagonal, &upper, &rhs, &kind}) *g = newGrid(0.0, 0.0);
}

// The owner of the control cell starts the series file with its header.
void gwflowclass::createControlPointFile() {
  if (controlRow < 1) return;
  ownsControlPoint = controlRow >= ownFirst && controlRow <= ownLast &&
                     regions[controlRow][controlColumn] == mpiRank;
  if (!ownsControlPoint) return;
  const long recordBytes = (6L * layerCount + 1) * 8 + 32;
  controlPointCapacity = std::max(1L, 2097152L / recordBytes);
  controlPointBuffer.assign(static_cast<size_t>(controlPointCapacity), ControlPointRecord{});
  for (ControlPointRecord& record : controlPointBuffer)
    record.values.assign(static_cast<size_t>(6 * layerCount + 1), 0.0);
  auto fail = [&] {
    *diag << "FATAL: error opening file for gw-fluxes (single point) \n-> check disk space or "
             "user rights\n"
          << " (" << controlPointFile << ")"
          << "[end-entry]";
    throw controlFileCode;
  };
  OutputText text;
  std::FILE* f = text.file();
  bool written = std::fprintf(f, "YY\tMM\tDD\tHH\tcontrol_point_fluxes[%ld][%ld]", controlRow,
                              controlColumn) > 0;
  for (int k = 1; k <= layerCount; ++k)
    written = written && std::fprintf(f,
                                      "[lr: %d, 1]\t[lr: %d, 2]\t[lr: %d, 3]\t[lr: %d, 4]\t[lr: "
                                      "%d, up]\t[lr: %d, down]\t",
                                      k, k, k, k, k, k) > 0;
  written = written && std::fputc('\n', f) != EOF;
  if (!written || createOutputFile(controlPointFile, text.text()) != 0) fail();
}
