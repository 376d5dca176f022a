// A lake on the grid: its cells, its waterlevel-volume table and the
// exchange of volume, level and concentrations with its cells.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "core/diag_stream.h"
#include "core/run_files.h"
#include "routing/sp_class.h"

namespace {

// Rows of a band of the table: the band's depth in steps of `step`, with a
// tolerance so that a depth of whole centimetres gives its whole count.
int bandRows(double depth, double step) {
  return static_cast<int>(std::floor(depth / step + 1e-6));
}

} // namespace

void SP_class::lakeFailure(int code, const std::string& text) const {
  *diag << "FATAL: " << text << "[end-entry]";
  throw code;
}

// With method 2 the level checked is the elevation model as read, which
// the set-up has sunk by the largest ponding since: the message says so,
// or a user who adds the two finds them level.
void SP_class::unevenLakeTop(std::size_t cell, double alt, std::size_t first,
                             double reference) const {
  const LakeCells& g = *lakeCells;
  const auto place = [&](std::size_t i) {
    std::ostringstream p;
    if (i == first) p << "row " << g.cells[i].row << ", column " << g.cells[i].column << ": ";
    if (g.sunk)
      p << "the elevation model's " << g.elevation[i] + g.maxPonding[i] / 1000.0
        << " m, sunk by the maximum ponding of " << g.maxPonding[i] / 1000.0 << " m to "
        << g.elevation[i] << " m";
    else
      p << "elevation " << g.elevation[i] << " m + maximum ponding " << g.maxPonding[i] / 1000.0
        << " m";
    return p.str();
  };
  std::ostringstream m;
  m << "\n============== ERROR ====================\nError in initialization for lake " << number
    << ".All Cells for a lake must have the same Altitude value for DEM + MAXPOND\n"
    << "Value at row " << g.cells[cell].row << ", col " << g.cells[cell].column << " is " << alt
    << " (" << place(cell) << ")\nbut first value of dhm for this lake was " << reference << " ("
    << place(first) << ")\n";
  if (g.sunk)
    m << "With initialization method 2 of [lake_model] the elevation model holds the lake's "
         "surface, one level in every cell of the lake (within 0.01 m), which the set-up sinks "
         "by max_ponding_storage to the lake's bed. An elevation model that holds the bed, with "
         "elevation plus max_ponding_storage at the lake's top, needs initialization method 1.";
  else
    m << "The elevation model holds the lake's bed: give every cell of the lake elevation plus "
         "max_ponding_storage at the lake's top (within 0.01 m).";
  m << "\n\n\n=======================================\n";
  lakeFailure(213, m.str());
}

void SP_class::InitLake() {
  if (lake == 0 || !lakeCells) return;
  const LakeCells& g = *lakeCells;
  ownCells.clear();
  const int ownColumn = (*zoneIndex)[static_cast<std::size_t>(subbasin)];
  double reference = 0.0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < g.cells.size(); ++i) {
    if (g.zones[i] == nodata || g.codes[i] != number) continue;
    const double alt = g.elevation[i] + g.maxPonding[i] / 1000.0;
    if (ownCells.empty()) {
      reference = alt;
      first = i;
    }
    if (std::fabs(reference - alt) > 0.01) unevenLakeTop(i, alt, first, reference);
    const long zone = static_cast<long>(g.zones[i]);
    const int cellColumn = zone >= 0 && zone < static_cast<long>(zoneIndex->size())
                               ? (*zoneIndex)[static_cast<std::size_t>(zone)]
                               : -1;
    if (cellColumn != ownColumn)
      lakeFailure(224, " error in routing description or LAKE grid:\n Lake " +
                           std::to_string(number) + " must be located completely within subbasin " +
                           std::to_string(subbasin) + ".");
    ownCells.push_back(i);
  }
  if (ownCells.empty())
    lakeFailure(213, "lake " + std::to_string(number) + " (subbasin " + std::to_string(subbasin) +
                         ") has no cell in \"lake_codes\"; give it cells or remove its SP "
                         "element");

  // The elevations of the lake's cells, ascending, with their running sums:
  // the volume below a level is then a count and a sum.
  std::vector<double> bottoms;
  double top = 0.0;
  for (std::size_t i : ownCells) {
    bottoms.push_back(g.elevation[i]);
    top = std::max(top, g.elevation[i] + g.maxPonding[i] / 1000.0);
  }
  std::sort(bottoms.begin(), bottoms.end());
  const double bottom = std::min(9999.0, bottoms.front());
  const double D = top - bottom;
  if (!(D > 0.0))
    lakeFailure(213, "lake " + std::to_string(number) + " (subbasin " + std::to_string(subbasin) +
                         ") holds no water: its maximum ponding storage is 0 in every cell; give "
                         "its cells a \"max_ponding_storage\" above 0");
  std::vector<double> sums(bottoms.size() + 1, 0.0);
  for (std::size_t i = 0; i < bottoms.size(); ++i) sums[i + 1] = sums[i] + bottoms[i];
  const auto volumeBelow = [&](double L) {
    const std::size_t n = static_cast<std::size_t>(
        std::lower_bound(bottoms.begin(), bottoms.end(), L) - bottoms.begin());
    return cellArea() * (L * static_cast<double>(n) - sums[n]);
  };

  const double D1 = std::min(D, 4.0);
  const int P = D >= 4.0 ? 400 : std::max(1, bandRows(D1, 0.01));
  const double E = D < 4.0 ? 0.0 : D - D1;
  const double D2 = std::min(E, 10.0);
  const int Q = E >= 10.0 ? 500 : bandRows(E, 0.02);
  const int S = std::max(0, static_cast<int>(std::ceil((E - D2) / 0.05 - 1e-6)));
  levelTable.clear();
  for (int i = 0; i < P; ++i) levelTable.push_back(top - 0.01 * i);
  for (int i = 0; i < Q; ++i) levelTable.push_back(top - D1 - 0.02 * i);
  for (int i = 0; i < S; ++i) levelTable.push_back(top - D1 - D2 - 0.05 * i);
  levelTable.push_back(bottom);
  volumeTable.resize(levelTable.size());
  for (std::size_t j = 0; j + 1 < levelTable.size(); ++j)
    volumeTable[j] = volumeBelow(levelTable[j]);
  volumeTable.back() = 0.0;

  char name[32];
  std::snprintf(name, sizeof name, "W_V_Table_%02d.dat", number);
  noteOutputFile(name, "the waterlevel-volume table of lake " + std::to_string(number));
  std::ostringstream table;
  table << "waterlevel-volume-table lake " << number << "\n"
        << "Level[m a.s.l.]\tVolume[m^3]\n";
  for (std::size_t j = 0; j < levelTable.size(); ++j)
    table << levelTable[j] << "\t" << volumeTable[j] << "\n";
  const int error = createOutputFile(name, table.str());
  if (error != 0)
    lakeFailure(225, std::string("error opening ") + name +
                         " for writing the waterlevel-volume-relation to disk (" +
                         std::strerror(error) + ").");
}

namespace {

// Linear interpolation in a falling table of x against y: x of a value y.
double fromTable(const std::vector<double>& x, const std::vector<double>& y, double value) {
  const std::size_t rows = y.size();
  if (rows < 2) return rows == 1 ? x[0] : 0.0;
  std::size_t j = 1;
  if (y[1] > value && rows > 2) {
    j = 2;
    while (j < rows - 1 && y[j] > value) ++j;
  }
  return ((y[j - 1] - value) * x[j] + (value - y[j]) * x[j - 1]) / (y[j - 1] - y[j]);
}

} // namespace

double SP_class::LevelFromVolume(double V) const {
  if (lake == 0 || volumeTable.empty()) return 0.0;
  return fromTable(levelTable, volumeTable, V);
}

double SP_class::VolumeFromLevel(double W) const {
  if (lake == 0 || levelTable.empty()) return 0.0;
  return fromTable(volumeTable, levelTable, W);
}

double SP_class::topConcentration(int k, std::size_t cell) const {
  const std::vector<double>& top = lakeCells->tracers[static_cast<std::size_t>(k)];
  return cell < top.size() ? top[cell] : 0.0;
}

int SP_class::LakeStateFromCells(std::vector<double>& out) const {
  out.assign(static_cast<std::size_t>(tracerCount) + 1, 0.0);
  if (lake == 0 || !lakeCells) return 0;
  const LakeCells& g = *lakeCells;
  const int n = tracerCount;
  // Volume and tracer masses; a reservoir carries at most nine tracers.
  // Added in row order on one thread: a reduction over threads would make
  // the volume's last bits depend on the thread count.
  double sums[10] = {};
  int wet = 0;
  for (std::size_t i : ownCells) {
    const double p = g.ponding[i];
    if (!(p > 0.0)) continue;
    const double cv = cellSize * (p / 1000.0 * cellSize);
    sums[0] += cv;
    for (int k = 1; k <= n; ++k) sums[k] += cv * topConcentration(k, i);
    ++wet;
  }
  out[0] = sums[0];
  for (int k = 1; k <= n; ++k)
    out[static_cast<std::size_t>(k)] = sums[0] > 0.0 ? sums[k] / sums[0] : 0.0;
  return wet;
}

double SP_class::cellVolumeAt(double W) const {
  const LakeCells& g = *lakeCells;
  double volume = 0.0;
  for (std::size_t i : ownCells) {
    const double p = W > g.elevation[i] ? (W - g.elevation[i]) * 1000.0 : 0.0;
    if (p > 0.0) volume += cellSize * (p / 1000.0 * cellSize);
  }
  return volume;
}

int SP_class::SetLakeCells(double V) {
  if (lake == 0 || !lakeCells) return 0;
  level = LevelFromVolume(V);
  // Above the top every cell is wet. The table's first rows, 1 cm apart at
  // hundreds of metres, give the slope there only to about 1e-11, which a
  // flood metres above the top turns into water gained or lost; one step on
  // the cells' own volume puts V on them.
  if (!volumeTable.empty() && V > volumeTable[0] && !ownCells.empty())
    level += (V - cellVolumeAt(level)) / (cellArea() * static_cast<double>(ownCells.size()));
  LakeCells& g = *lakeCells;
  const double W = level;
  const long count = static_cast<long>(ownCells.size());
  int wet = 0;
#pragma omp parallel for schedule(runtime) reduction(+ : wet)
  for (long j = 0; j < count; ++j) {
    const std::size_t i = ownCells[static_cast<std::size_t>(j)];
    const double z = g.elevation[i];
    const bool wetCell = W > z;
    g.ponding[i] = wetCell ? (W - z) * 1000.0 : 0.0;
    for (int k = 1; k <= tracerCount; ++k) {
      std::vector<double>& top = g.tracers[static_cast<std::size_t>(k)];
      if (i < top.size()) top[i] = wetCell ? state[static_cast<std::size_t>(k)] : 0.0;
    }
    if (wetCell) ++wet;
  }
  return wet;
}

void SP_class::InitLakeStateFromCells() {
  if (lake == 0 || !lakeCells) return;
  LakeStateFromCells(state);
}
