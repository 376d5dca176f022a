// The annual balance of the glaciers on rank 0: the volume of each glacier
// follows its mass balance, its area the volume, and the change of area is
// spread over its elevation bands, the lower bands more, until the cells
// have taken it.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <unordered_set>

#include "core/diag_stream.h"
#include "snow/glacier.h"
#include "submodel/teilmodellklasse.h"

namespace {

constexpr int maxIterations = 31;
constexpr int maxPasses = 5;
constexpr double tolerance = 1e-5;
constexpr double iceDensityRatio = 0.85;
constexpr double leftGlacierCode = -9999.0;

} // namespace

void GlacierList::glacierBalance(const GlacierField& field, DiagStream& diag) {
  nameNewGlacierCells(field);
  build(field, diag);
  const double cellArea = field.cellSize * field.cellSize;
  for (long r = 1; r <= field.nrows; ++r)
    for (long c = 1; c <= field.ncols; ++c) {
      const long k = field.valid(r, c) ? indexOf(field.codes[r][c]) : -1;
      const double g = field.fraction[r][c];
      if (k < 0 || !(g >= 0.0)) continue;
      const double thickness =
          (field.massBalance[r][c] - field.massBalanceOld[r][c]) / iceDensityRatio / 1000.0;
      list[static_cast<size_t>(k)].addVolume(cellArea * g * thickness / 1e6);
    }
  diag << "DEBUG: Glacierbalance\n"
       << "[end-entry]";
  for (size_t k = 0; k < list.size(); ++k) {
    Glacier& g = list[k];
    g.areaFromVolume();
    g.cellsToChangeFromArea();
    diag << "DEBUG: "
         << "Glacier:\t" << static_cast<long>(k) << "\n"
         << "Old Volume:\t" << g.oldVolume << "\n"
         << "New Volume:\t" << g.volume << "\n"
         << "Old Area:\t" << g.oldArea << "\n"
         << "New Area:\t" << g.area << "\n"
         << "[end-entry]";
    applyChange(g, field, diag);
    if (std::fabs(g.cellsToChange) > tolerance)
      diag << "WARNING: \n----------- WARNING: ----------\nThere were too many iterations when "
              "trying to remove or add glacier areas for glacier"
           << static_cast<long>(k) << "\n-----------------------------\n"
           << "[end-entry]";
    diag << "DEBUG: glacier " << g.code << " now covers " << g.area << " km^2 of " << g.cellCount
         << " cells"
         << "[end-entry]";
    g.oldArea = g.area;
    g.oldVolume = g.volume;
  }
  redistributeGlacierMassBalance(field, -1);
}

// Band b takes numElevBands - b shares of the change per changeable cell,
// the lowest band extraWeightBand0 times more, as glaciers change most at
// their tongue.
void GlacierList::applyChange(Glacier& g, const GlacierField& field, DiagStream& diag) {
  const int n = static_cast<int>(g.bands.size());
  for (int iteration = 0; iteration < maxIterations && std::fabs(g.cellsToChange) > tolerance;
       ++iteration) {
    const double delta = g.cellsToChange;
    long changeable = 0;
    for (ElevationBand& b : g.bands) changeable += b.countChangeable(delta, field.fraction);
    if (changeable < 1) {
      diag << "DEBUG: " << (delta < 0.0 ? "shrinking the glacier..." : "growing the glacier...")
           << "[end-entry]";
      // A glacier without area cannot shrink; one without room grows into
      // its neighbours, or stops where it has none.
      if (delta < 0.0 || !(growInto(g, field, false) || growInto(g, field, true))) return;
      collectCells(g, field);
      continue;
    }
    double divisor = 0.0;
    for (int b = 0; b < n; ++b)
      divisor += static_cast<double>(n - b) * static_cast<double>(g.bands[size_t(b)].changeable);
    divisor += g.extraWeightBand0 * static_cast<double>(g.bands[0].changeable) * n;
    const double share = delta / divisor;
    diag << "DEBUG: number of cells to add: \t" << delta << "\n"
         << "number of changeable cells: \t" << changeable << "\n"
         << "fraction of cells to add per iteration: \t" << share << "[end-entry]";
    double rest = 0.0;
    for (int b = 0; b < n; ++b) {
      ElevationBand& band = g.bands[static_cast<size_t>(b)];
      if (band.changeable == 0) continue;
      double weight = static_cast<double>(n - b);
      if (b == 0) weight += static_cast<double>(g.extraWeightBand0) * n;
      rest += applyToBand(band, share * weight * static_cast<double>(band.changeable), field, diag);
    }
    g.cellsToChange = rest;
  }
}

// Returns what the band could not take. A cell that would shrink below 0
// leaves the glacier and counts with the fraction it had, so the rest goes
// to the cells that remain.
double GlacierList::applyToBand(ElevationBand& band, double amount, const GlacierField& field,
                                DiagStream& diag) {
  double rest = amount;
  int pass = 0;
  for (; pass < maxPasses && std::fabs(rest) > tolerance; ++pass) {
    const long n = band.countChangeable(rest, field.fraction);
    if (n == 0) return rest;
    const double d = rest / static_cast<double>(n);
    for (size_t i = 0; i < band.cells.size(); ++i) {
      if (band.fixed[i]) continue;
      const GlacierCell& cell = band.cells[i];
      double& f = field.fraction[cell.row][cell.column];
      const double old = f;
      f += d;
      if (f > 1.0) {
        f = 1.0;
      } else if (f < 0.0) {
        f = 0.0;
        field.codes[cell.row][cell.column] = leftGlacierCode;
      }
      rest -= f - old;
    }
  }
  if (pass == maxPasses && std::fabs(rest) > tolerance) {
    std::cerr << "error: could not remove or add the required number of cells for the glacier"
              << std::endl;
    diag << "WARNING: could not remove or add the required number of cells for the glacier: "
         << rest << " cells of the band between " << band.lower << " and " << band.upper
         << " m stay for the next iteration"
         << "[end-entry]";
  }
  return rest;
}

// Cells without glacier next to the glacier's own: first beside fully
// glacierized cells and without firn, then beside any of its cells.
bool GlacierList::growInto(Glacier& g, const GlacierField& field, bool relaxed) {
  const long dr[] = {-1, 0, 1, 0};
  const long dc[] = {0, 1, 0, -1};
  bool grown = false;
  std::vector<GlacierCell> own;
  for (const ElevationBand& b : g.bands) own.insert(own.end(), b.cells.begin(), b.cells.end());
  for (const GlacierCell& cell : own) {
    const double f = field.fraction[cell.row][cell.column];
    if (field.codes[cell.row][cell.column] != g.code || !(relaxed ? f > 0.0 : f >= 1.0)) continue;
    for (int k = 0; k < 4; ++k) {
      const long r = cell.row + dr[k];
      const long c = cell.column + dc[k];
      if (r < 1 || r > field.nrows || c < 1 || c > field.ncols || !field.valid(r, c) ||
          field.subbasins->grid[r][c] != field.subbasins->grid[cell.row][cell.column] ||
          field.codes[r][c] >= 0.0 || field.fraction[r][c] > 0.0)
        continue;
      const double firn =
          field.firnTotal && field.firnTotal[r][c] > 0.0 ? field.firnTotal[r][c] : 0.0;
      if (!relaxed && firn >= 0.0001) continue;
      field.codes[r][c] = g.code;
      field.fraction[r][c] = 0.0;
      if (field.firn) {
        field.firnTotal[r][c] = 0.0;
        for (int level = 0; level <= field.firnLevels; ++level) field.firn[r][c][level] = 0.0;
      }
      grown = true;
    }
  }
  return grown;
}

// The bands anew over the glacier's cells, its volume and area kept.
void GlacierList::collectCells(Glacier& g, const GlacierField& field) {
  std::vector<GlacierCell> cells;
  for (const ElevationBand& b : g.bands)
    for (const GlacierCell& cell : b.cells)
      if (field.codes[cell.row][cell.column] == g.code) cells.push_back(cell);
  const long dr[] = {-1, 0, 1, 0};
  const long dc[] = {0, 1, 0, -1};
  std::unordered_set<long> listed;
  for (const GlacierCell& cell : cells) listed.insert(cell.row * (field.ncols + 1) + cell.column);
  const size_t known = cells.size();
  for (size_t i = 0; i < known; ++i)
    for (int k = 0; k < 4; ++k) {
      const long r = cells[i].row + dr[k];
      const long c = cells[i].column + dc[k];
      if (r < 1 || r > field.nrows || c < 1 || c > field.ncols || field.codes[r][c] != g.code)
        continue;
      if (listed.insert(r * (field.ncols + 1) + c).second) cells.push_back({r, c});
    }
  g.cellCount = 0;
  for (size_t i = 0; i < cells.size(); ++i) {
    const double e = field.elevation[cells[i].row][cells[i].column];
    ++g.cellCount;
    if (i == 0) g.minElevation = g.maxElevation = e;
    g.minElevation = std::min(g.minElevation, e);
    g.maxElevation = std::max(g.maxElevation, e);
  }
  g.buildBands();
  for (const GlacierCell& cell : cells)
    g.assignCellToBand(field.elevation[cell.row][cell.column], cell.row, cell.column);
}
