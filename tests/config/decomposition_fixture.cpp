#include "tests/config/decomposition_fixture.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <filesystem>

#include "tests/test_support.h"

namespace fs = std::filesystem;

DecompositionModel::DecompositionModel(const std::string& directory, const std::string& controlFile)
    : ControlFileReaderModel(directory, controlFile) {
  EXPECT_EQ(constructionError, 0);
}

DecompositionModel::~DecompositionModel() {
  for (const OwnedGrid& g : owned) free_matrix(g.grid, g.firstRow, g.lastRow, 1, header.ncols);
}

void DecompositionModel::distributeBaseGrids(long& lo, long& hi, bool zoneOnly) {
  decompose();
  rankZoneCodes(entries(), nullptr, header.ncols, header.nrows, header.nodata);
  attachDecomposition();
  const long n = header.nrows;
  lo = mpiRank == 0 ? 1 : std::max(1L, header.firstRow - 1);
  hi = mpiRank == 0 ? n : std::min(n, header.lastRow + 1);
  for (int index = 1; index <= (zoneOnly ? 1 : 2); ++index) {
    if (mpiRank != 0) {
      GridRegistryEntry& e = entries()[index];
      Grid g = ownedGrid(lo, hi);
      for (long r = lo; r <= hi; ++r) std::fill(g[r], g[r] + header.ncols + 1, -9999.0);
      registerGrid(index, e.fileName, g, nullptr, 0, e.name, 0, lo, hi);
    }
    MPIScatterGrid(index);
    MPIExchangeGridHalo(index);
  }
}

Grid DecompositionModel::ownedGrid(long firstRow, long lastRow) {
  owned.push_back({matrix(firstRow, lastRow, 1, header.ncols, header.nrows), firstRow, lastRow});
  return owned.back().grid;
}

void DecompositionModel::setDomain(const std::vector<std::string>& mask,
                                   const std::vector<std::string>& links,
                                   const std::function<double(long, long)>& elevation) {
  header.nrows = static_cast<long>(mask.size());
  header.ncols = static_cast<long>(mask.front().size());
  header.nodata = -9999.0;
  const long n = header.nrows;
  Grid grids[3] = {};
  if (mpiRank == 0) {
    for (Grid& g : grids) g = ownedGrid(1, n);
    for (long r = 1; r <= n; ++r) {
      for (long c = 1; c <= header.ncols; ++c) {
        grids[0][r][c] = mask[r - 1][c - 1] == '.' ? -9999.0 : 1.0;
        grids[1][r][c] = elevation ? elevation(r, c) : 1000.0 - static_cast<double>(r);
        if (!links.empty())
          grids[2][r][c] = links[r - 1][c - 1] == '.' ? -9999.0 : links[r - 1][c - 1] - '0';
      }
    }
  }
  registerGrid(1, "zone.asc", grids[0], nullptr, 0, "[zone_grid]", 0, 1, n);
  registerGrid(2, "dem.asc", grids[1], nullptr, 0, "[elevation_model]", 0, 1, n);
  if (links.empty()) return;
  registerGrid(3, "links.asc", grids[2], nullptr, 0, "river_links", 0, 1, n);
  gridCount = 1;
}

void DecompositionModel::setZoneValues(const std::vector<std::vector<double>>& values) {
  header.nrows = static_cast<long>(values.size());
  header.ncols = static_cast<long>(values.front().size());
  header.nodata = -9999.0;
  Grid zone = mpiRank == 0 ? ownedGrid(1, header.nrows) : nullptr;
  for (long r = 1; zone && r <= header.nrows; ++r)
    for (long c = 1; c <= header.ncols; ++c) zone[r][c] = values[r - 1][c - 1];
  registerGrid(1, "zones.asc", zone, nullptr, 0, "[zone_grid]", 0, 1, header.nrows);
}

SpeedDirectory::SpeedDirectory(const std::string& name, const std::string& speedFileContent) {
  const std::string directory =
      fs::absolute(makeTestDirectory(name + "_np" + std::to_string(worldSize()))).string();
  if (!speedFileContent.empty()) writeFile(directory + "/MpiSpeedFactor.dat", speedFileContent);
  controlFileName = directory + "/model.ctl";
  former = fs::current_path().string();
  fs::current_path(directory);
}

SpeedDirectory::~SpeedDirectory() { fs::current_path(former); }

std::string controlFileText(int reinfiltration) {
  return "[model_time]\n1 start\n\n[unsatzon_model]\n1 method\n60 time step\n0.5 kriterium\n" +
         std::to_string(reinfiltration) + " re-infiltration\n";
}

std::vector<std::string> consoleEntries(const std::string& console) {
  const std::string separator = "\n(mpi-rank  0) ";
  std::vector<std::string> entries;
  size_t start = 0;
  for (size_t end; (end = console.find(separator, start)) != std::string::npos;
       start = end + separator.size())
    entries.push_back(console.substr(start, end - start));
  entries.push_back(console.substr(start));
  return entries;
}

void expectEntriesInOrder(const std::string& console, const std::vector<std::string>& lines) {
  const std::vector<std::string> entries = consoleEntries(console);
  auto at = entries.begin();
  for (const std::string& line : lines) {
    at = std::find(at, entries.end(), line);
    ASSERT_NE(at, entries.end()) << "missing in order: " << line << "\n" << console;
  }
}

std::vector<std::vector<int>> allGathered(const std::vector<int>& values) {
  const int size = worldSize();
  const int mine = static_cast<int>(values.size());
  std::vector<int> counts(size);
  MPI_Allgather(&mine, 1, MPI_INT, counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
  std::vector<int> offsets(size, 0);
  for (int p = 1; p < size; ++p) offsets[p] = offsets[p - 1] + counts[p - 1];
  std::vector<int> all(offsets.back() + counts.back());
  MPI_Allgatherv(values.data(), mine, MPI_INT, all.data(), counts.data(), offsets.data(), MPI_INT,
                 MPI_COMM_WORLD);
  std::vector<std::vector<int>> lists;
  for (int p = 0; p < size; ++p)
    lists.emplace_back(all.begin() + offsets[p], all.begin() + offsets[p] + counts[p]);
  return lists;
}

namespace {

std::vector<int> flat(const std::vector<HaloStrip>& strips) {
  std::vector<int> values;
  for (const HaloStrip& s : strips)
    values.insert(values.end(), {s.row, s.startColumn, s.count, s.peer});
  return values;
}

// Strips (row, start, count) of a flat list whose peer is the given rank.
std::vector<int> stripsWith(const std::vector<int>& strips, int peer) {
  std::vector<int> out;
  for (size_t i = 0; i < strips.size(); i += 4)
    if (strips[i + 3] == peer) out.insert(out.end(), {strips[i], strips[i + 1], strips[i + 2]});
  return out;
}

} // namespace

void expectSoundDecomposition(DecompositionModel& m, const std::vector<std::string>& mask) {
  const int rank = worldRank();
  const int size = worldSize();
  const long nrows = static_cast<long>(mask.size());
  const long ncols = static_cast<long>(mask.front().size());
  const double nodata = m.header.nodata;
  std::vector<double> owners(nrows * ncols);
  for (long r = 1; rank == 0 && r <= nrows; ++r)
    std::copy(m.regionsGrid[r] + 1, m.regionsGrid[r] + ncols + 1, owners.begin() + (r - 1) * ncols);
  MPI_Bcast(owners.data(), static_cast<int>(owners.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  auto owner = [&](long r, long c) { return owners[(r - 1) * ncols + c - 1]; };
  int failures = 0;
  std::string firstFailure;
  auto check = [&](bool ok, const std::string& what, long r, long c) {
    if (!ok && failures++ == 0)
      firstFailure = what + " at row " + std::to_string(r) + ", column " + std::to_string(c);
  };

  // Owners never increase in row order, from the highest rank down to 0.
  std::vector<long> firstRow(size, -1), lastRow(size, -1), count(size, 0);
  double previous = size - 1;
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c) {
      const double o = owner(r, c);
      const bool valid = mask[r - 1][c - 1] != '.';
      const bool known = o >= 0 && o < size && o == static_cast<int>(o);
      check(valid ? known && o <= previous : o == nodata, "owner", r, c);
      if (!valid || !known) continue;
      previous = o;
      const int p = static_cast<int>(o);
      if (firstRow[p] < 0) firstRow[p] = r;
      lastRow[p] = r;
      ++count[p];
    }
  const auto rows =
      allGathered({static_cast<int>(m.header.firstRow), static_cast<int>(m.header.lastRow)});
  for (int p = 0; p < size; ++p) {
    EXPECT_GT(count[p], 0) << "process " << p;
    EXPECT_EQ(rows[p],
              (std::vector<int>{static_cast<int>(firstRow[p]), static_cast<int>(lastRow[p])}))
        << "rows of process " << p;
  }
  EXPECT_EQ(m.cells, count);

  const long own0 = m.header.firstRow;
  const long own1 = m.header.lastRow;
  const long lo = rank == 0 ? 1 : std::max(1L, own0 - 1);
  const long hi = rank == 0 ? nrows : std::min(nrows, own1 + 1);
  for (long r = lo; r <= hi; ++r)
    for (long c = 1; c <= ncols; ++c) check(m.regionsGrid[r][c] == owner(r, c), "MPIRegions", r, c);

  // "MPIHelper" as the strip walks read it: rank 0 from each row's first
  // valid column, skipping owners that are not positive; the others their
  // own (start, count) pairs. The list ends within the row and nothing
  // follows it; element 0 of rank 0's rows counts the leading nodata cells.
  std::vector<int> walked;
  for (long r = lo; r <= hi; ++r) {
    const double* row = m.helperGrid[r];
    const long leading =
        static_cast<long>(std::min(mask[r - 1].find_first_not_of('.'), mask[r - 1].size()));
    check(row[0] == (rank == 0 ? leading : 0), "MPIHelper element 0", r, 0);
    const bool listed = rank == 0 ? leading < ncols : r >= own0 && r <= own1;
    long cursor = leading + 1;
    long end = 1;
    for (long k = 1; listed; ++k) {
      const long a = static_cast<long>(row[2 * k - 1]);
      const long b = static_cast<long>(row[2 * k]);
      end = 2 * k - 1;
      if (rank == 0 ? b <= 0 : a <= 0) break;
      if (rank != 0)
        walked.insert(walked.end(),
                      {static_cast<int>(r), static_cast<int>(a), static_cast<int>(b), rank});
      if (rank == 0 && a > 0)
        walked.insert(walked.end(), {static_cast<int>(r), static_cast<int>(cursor),
                                     static_cast<int>(b), static_cast<int>(a)});
      cursor += b;
      end = ncols + 1;
      if (2 * (k + 1) > ncols) {
        check(false, "strip list beyond its row", r, 2 * k);
        break;
      }
    }
    for (long e = end; e <= ncols; ++e) check(row[e] == 0.0, "MPIHelper after its list", r, e);
  }
  const auto walks = allGathered(walked);
  if (rank == 0) {
    // One strip per process and row, from its first to its last cell there,
    // with nothing but nodata between.
    std::vector<int> covered(owners.size(), 0);
    std::vector<int> strips(nrows * size, 0);
    for (size_t i = 0; i < walks[0].size(); i += 4) {
      const long r = walks[0][i];
      const long first = walks[0][i + 1];
      const long last = first + walks[0][i + 2] - 1;
      const int p = walks[0][i + 3];
      check(last <= ncols && owner(r, first) == p && owner(r, last) == p, "strip ends", r, first);
      check(++strips[(r - 1) * size + p] == 1, "one strip per process and row", r, first);
      for (long c = first; c <= std::min(last, ncols); ++c) {
        check(owner(r, c) == p || owner(r, c) == nodata, "strip owner", r, c);
        if (owner(r, c) == p) ++covered[(r - 1) * ncols + c - 1];
      }
    }
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c)
        check(covered[(r - 1) * ncols + c - 1] == (owner(r, c) > 0 ? 1 : 0), "strip cover", r, c);
    for (int q = 1; q < size; ++q)
      EXPECT_EQ(stripsWith(walks[0], q), stripsWith(walks[q], q)) << "strips of process " << q;
  }

  // "MPIHalo" and the receive strips: every cell of another process next to
  // one of ours, received once from its owner; strips hold nothing but the
  // owner's cells and nodata.
  auto ownCell = [&](long r, long c) {
    return r >= own0 && r <= own1 && c >= 1 && c <= ncols && owner(r, c) == rank;
  };
  std::vector<int> covered(owners.size(), 0);
  for (size_t i = 0; i < m.receiveList.size(); ++i) {
    const HaloStrip& s = m.receiveList[i];
    for (long c = s.startColumn; c < s.startColumn + s.count; ++c) {
      const bool inside = s.row >= lo && s.row <= hi && c >= 1 && c <= ncols;
      check(inside && (owner(s.row, c) == s.peer || owner(s.row, c) == nodata), "receive strip",
            s.row, c);
      if (inside && owner(s.row, c) == s.peer) ++covered[(s.row - 1) * ncols + c - 1];
    }
  }
  for (long r = lo; r <= hi; ++r)
    for (long c = 1; c <= ncols; ++c) {
      bool next = false;
      for (long dr = -1; dr <= 1; ++dr)
        for (long dc = -1; dc <= 1; ++dc) next = next || ownCell(r + dr, c + dc);
      const double o = owner(r, c);
      const bool halo = next && o != nodata && o != rank;
      check(m.haloGrid[r][c] == (halo ? o : nodata), "MPIHalo", r, c);
      check(!halo || covered[(r - 1) * ncols + c - 1] == 1, "halo cell received once", r, c);
    }
  EXPECT_EQ(failures, 0) << firstFailure;

  // What q expects from p is what p sends to q, in the same order.
  const auto receives = allGathered(flat(m.receiveList));
  const auto sends = allGathered(flat(m.sendList));
  for (int p = 0; p < size; ++p) {
    size_t sent = 0;
    for (int q = 0; q < size; ++q) {
      EXPECT_EQ(stripsWith(sends[p], q), stripsWith(receives[q], p)) << "from " << p << " to " << q;
      sent += stripsWith(sends[p], q).size() / 3;
    }
    EXPECT_EQ(sent * 4, sends[p].size()) << "process " << p << " sends nothing else";
  }
}
