#include "tests/test_decomposition.h"

#include <algorithm>

#include "submodel/model_context.h"
#include "tests/test_support.h"

double cellValue(long r, long c) { return 100.0 * r + c; }

OwnerMap ragged(int size) {
  OwnerMap map = {"....####....", "..########..", ".###..######", "####.#######", "###########.",
                  ".####..####.", "..###..###..", "...#....##..", "......#....."};
  const long boundaries[2][2] = {{3, 4}, {5, 6}};
  int owner = size - 1;
  for (size_t r = 0; r < map.size(); ++r) {
    for (size_t c = 0; c < map[r].size(); ++c) {
      if (map[r][c] == '.') continue;
      map[r][c] = static_cast<char>('0' + owner);
      const int passed = size - 1 - owner;
      if (passed < 2 && owner > 0 && boundaries[passed][0] == static_cast<long>(r + 1) &&
          boundaries[passed][1] == static_cast<long>(c + 1))
        --owner;
    }
  }
  return map;
}

StripModule::StripModule(const std::string& name, const OwnerMap& map, bool spans)
    : m(makeTestDirectory(name)), spans(spans), nrows(static_cast<long>(map.size())),
      ncols(static_cast<long>(map[0].size())), size(worldSize()), rank(worldRank()),
      owner(nrows + 2, std::vector<int>(ncols + 2, -1)) {
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (map[r - 1][c - 1] != '.') owner[r][c] = std::min(map[r - 1][c - 1] - '0', size - 1);
  long first = 0, last = -1;
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (owner[r][c] == rank) last = r, first = first ? first : r;
  if (last < 0) first = 1, last = 0; // a process without cells
  lo = rank == 0 ? 1 : std::max(1L, first - 1);
  hi = rank == 0 ? nrows : std::min(nrows, last + 1);
  m.setGrid(ncols, nrows, 0.0, 0.0, 1.0, nodata, first, last);
  regions = grid(nodata);
  helper = grid(0.0);
  ranges.assign(nrows + 1, RowColumnRange{});
  cells.assign(size, 0);
  for (long r = 1; r <= nrows; ++r) {
    for (long c = 1; c <= ncols; ++c) {
      if (owner[r][c] < 0) continue;
      if (r >= lo && r <= hi) regions[r][c] = owner[r][c];
      ++cells[owner[r][c]];
      if (rank == 0 || (r >= first && r <= last)) {
        if (ranges[r].first == 0) ranges[r].first = c;
        ranges[r].last = c;
      }
    }
    if (rank == 0 || (r >= first && r <= last)) writeHelperRow(r);
  }
  m.registerGrid(m.firstFreeRegistryIndex(), "", regions, nullptr, 0, "MPIRegions", 0, lo, hi);
  m.registerGrid(m.firstFreeRegistryIndex(), "", helper, nullptr, 0, "MPIHelper", 0, lo, hi);
  for (int p = 0; p < size; ++p)
    for (const HaloStrip& s : haloOf(p)) {
      if (p == rank) receives.push_back(s);
      if (s.peer == rank) sends.push_back(HaloStrip{s.row, s.startColumn, s.count, p});
    }
  m.rowColumnRange = ranges.data();
  m.cellsPerProcess = &cells;
  m.haloReceiveList = &receives;
  m.haloSendList = &sends;
}

StripModule::~StripModule() {
  for (Grid g : grids) m.free_matrix(g, lo, hi, 1, ncols);
  for (Stack s : stacks) m.free_three_d_matrix(s, lo, hi);
}

void StripModule::writeHelperRow(long r) {
  std::vector<int> row = owner[r];
  for (long c = 1, previous = 0; spans && c <= ncols; ++c) {
    if (row[c] < 0) continue;
    if (row[c] > 0 && previous > 0 && row[previous] == row[c])
      std::fill(row.begin() + previous + 1, row.begin() + c, row[c]);
    previous = c;
  }
  long pair = 0;
  for (long c = 1; c <= ncols;) {
    long end = c;
    while (end + 1 <= ncols && row[end + 1] == row[c]) ++end;
    const bool leadingGap = rank == 0 && row[c] < 0 && pair == 0;
    const bool written = rank == 0 ? !leadingGap : row[c] == rank;
    if (leadingGap) helper[r][0] = static_cast<double>(end - c + 1);
    if (written && 2 * (pair + 1) <= ncols) {
      ++pair;
      helper[r][2 * pair - 1] = rank == 0 ? (row[c] < 0 ? nodata : row[c]) : c;
      helper[r][2 * pair] = static_cast<double>(end - c + 1);
    }
    c = end + 1;
  }
}

std::vector<HaloStrip> StripModule::haloOf(int p) const {
  std::vector<HaloStrip> list;
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c) {
      if (!isHalo(p, r, c)) continue;
      if (!list.empty() && list.back().row == r && list.back().peer == owner[r][c])
        list.back().count = static_cast<int>(c - list.back().startColumn + 1);
      else
        list.push_back(HaloStrip{static_cast<int>(r), static_cast<int>(c), 1, owner[r][c]});
    }
  return list;
}

bool StripModule::isHalo(int p, long r, long c) const {
  if (owner[r][c] < 0 || owner[r][c] == p) return false;
  for (long i = r - 1; i <= r + 1; ++i)
    for (long j = c - 1; j <= c + 1; ++j)
      if (i >= 1 && i <= nrows && j >= 1 && j <= ncols && owner[i][j] == p) return true;
  return false;
}

Grid StripModule::grid(double fill) {
  Grid g = m.matrix(lo, hi, 1, ncols, nrows);
  for (long r = lo; r <= hi; ++r) std::fill(g[r], g[r] + ncols + 1, fill);
  grids.push_back(g);
  return g;
}

Stack StripModule::stack(long lastLevel, double fill) {
  Stack s = m.three_d_matrix(lo, hi, 1, ncols, lastLevel, nrows);
  for (long r = lo; r <= hi; ++r) std::fill(s[r][0], s[r][0] + (ncols + 1) * (lastLevel + 1), fill);
  stacks.push_back(s);
  return s;
}

int StripModule::add(const std::string& name, Grid g, Stack s, unsigned levels) {
  const int index = m.firstFreeRegistryIndex();
  m.registerGrid(index, name + ".asc", g, s, levels, name, 0, lo, hi);
  return index;
}

void shareStrips(ModelContext& context, StripModule& strips) {
  context.diag = strips.m.getDiag();
  context.header = strips.m.getHeader();
  context.rowColumnRange = strips.ranges.data();
  context.cellsPerProcess = &strips.cells;
  context.haloSendList = &strips.sends;
  context.haloReceiveList = &strips.receives;
}
