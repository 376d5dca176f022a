#include "tests/config/decomposition_fixture.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <filesystem>

#include "tests/test_support.h"

namespace fs = std::filesystem;

DecompositionContext::DecompositionContext(const std::string& directory)
    : ownDiag(std::make_unique<DiagStream>(directory + "/diag.xml", 4, &consoleText, &errorText)),
      ownRegistry(gridRegistrySize) {}

DecompositionModel::DecompositionModel(const std::string& directory, const std::string& controlFile)
    : DecompositionContext(directory),
      defaultini(constructionError, ownDiag.get(), controlFile, ownRegistry.data()) {
  EXPECT_EQ(constructionError, 0);
}

DecompositionModel::~DecompositionModel() {
  for (const OwnedGrid& g : owned) free_matrix(g.grid, g.firstRow, g.lastRow, 1, header.ncols);
}

Grid DecompositionModel::ownedGrid(long firstRow, long lastRow) {
  Grid grid = matrix(firstRow, lastRow, 1, header.ncols, header.nrows);
  owned.push_back(OwnedGrid{grid, firstRow, lastRow});
  return grid;
}

namespace {

double linkValue(char c) {
  if (c == '.') return -9999.0;
  if (c >= '0' && c <= '9') return c - '0';
  return c - 'a' + 10;
}

} // namespace

void DecompositionModel::setDomain(const std::vector<std::string>& mask,
                                   const std::vector<std::string>& links,
                                   const std::function<double(long, long)>& elevation) {
  header.nrows = static_cast<long>(mask.size());
  header.ncols = static_cast<long>(mask.front().size());
  header.nodata = -9999.0;
  header.cellsize = 1.0;
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  Grid zone = nullptr;
  Grid dem = nullptr;
  Grid linkGrid = nullptr;
  if (mpiRank == 0) {
    zone = ownedGrid(1, nrows);
    dem = ownedGrid(1, nrows);
    if (!links.empty()) linkGrid = ownedGrid(1, nrows);
    for (long r = 1; r <= nrows; ++r) {
      for (long c = 1; c <= ncols; ++c) {
        const char cell = mask[static_cast<size_t>(r - 1)][static_cast<size_t>(c - 1)];
        zone[r][c] = cell == '.' ? -9999.0 : 1.0;
        dem[r][c] = elevation ? elevation(r, c) : 1000.0 - static_cast<double>(r);
        if (linkGrid)
          linkGrid[r][c] = linkValue(links[static_cast<size_t>(r - 1)][static_cast<size_t>(c - 1)]);
      }
    }
  }
  registerGrid(1, "zone.asc", zone, nullptr, 0, "[zone_grid]", 0, 1, nrows);
  registerGrid(2, "dem.asc", dem, nullptr, 0, "[elevation_model]", 0, 1, nrows);
  if (!links.empty()) {
    registerGrid(3, "links.asc", linkGrid, nullptr, 0, "river_links", 0, 1, nrows);
    gridCount = 1;
  }
}

void DecompositionModel::setZoneValues(const std::vector<std::vector<double>>& values) {
  header.nrows = static_cast<long>(values.size());
  header.ncols = static_cast<long>(values.front().size());
  header.nodata = -9999.0;
  Grid zone = nullptr;
  if (mpiRank == 0) {
    zone = ownedGrid(1, header.nrows);
    for (long r = 1; r <= header.nrows; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        zone[r][c] = values[static_cast<size_t>(r - 1)][static_cast<size_t>(c - 1)];
  }
  registerGrid(1, "zones.asc", zone, nullptr, 0, "[zone_grid]", 0, 1, header.nrows);
}

void DecompositionModel::decompose() {
  makeMPIRegions(cells, sendList, receiveList, header.firstRow, header.lastRow);
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
  return "[model_time]\n1 start\n\n[unsatzon_model]\n"
         "1 # method\n"
         "60 # time step\n"
         "0.5 # kriterium\n" +
         std::to_string(reinfiltration) + " # re-infiltration\n";
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

long validCellCount(const std::vector<std::string>& mask) {
  long count = 0;
  for (const std::string& row : mask)
    for (char c : row) count += c != '.';
  return count;
}

std::vector<long> allGathered(long value) {
  std::vector<long> values(static_cast<size_t>(worldSize()));
  MPI_Allgather(&value, 1, MPI_LONG, values.data(), 1, MPI_LONG, MPI_COMM_WORLD);
  return values;
}

std::vector<std::vector<HaloStrip>> allGathered(const std::vector<HaloStrip>& strips) {
  const int size = worldSize();
  std::vector<int> flat;
  for (const HaloStrip& s : strips)
    flat.insert(flat.end(), {s.row, s.startColumn, s.count, s.peer});
  const int mine = static_cast<int>(flat.size());
  std::vector<int> counts(static_cast<size_t>(size));
  MPI_Allgather(&mine, 1, MPI_INT, counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
  std::vector<int> offsets(static_cast<size_t>(size), 0);
  for (int p = 1; p < size; ++p)
    offsets[static_cast<size_t>(p)] =
        offsets[static_cast<size_t>(p - 1)] + counts[static_cast<size_t>(p - 1)];
  std::vector<int> all(static_cast<size_t>(offsets.back() + counts.back()));
  MPI_Allgatherv(flat.data(), mine, MPI_INT, all.data(), counts.data(), offsets.data(), MPI_INT,
                 MPI_COMM_WORLD);
  std::vector<std::vector<HaloStrip>> lists(static_cast<size_t>(size));
  for (int p = 0; p < size; ++p)
    for (int i = 0; i < counts[static_cast<size_t>(p)]; i += 4) {
      const int* s = &all[static_cast<size_t>(offsets[static_cast<size_t>(p)] + i)];
      lists[static_cast<size_t>(p)].push_back(HaloStrip{s[0], s[1], s[2], s[3]});
    }
  return lists;
}

namespace {

// Counts failed checks and keeps the first, so that a broken grid reports
// once instead of once per cell.
class Mismatches {
public:
  explicit Mismatches(std::string what) : what(std::move(what)) {}
  ~Mismatches() { EXPECT_EQ(count, 0) << what << ": " << first; }
  void check(bool ok, const std::string& text) {
    if (ok) return;
    if (count++ == 0) first = text;
  }

private:
  std::string what;
  std::string first;
  int count = 0;
};

std::string at(long r, long c) {
  return "row " + std::to_string(r) + ", column " + std::to_string(c);
}

bool sameStrip(const HaloStrip& a, const HaloStrip& b) {
  return a.row == b.row && a.startColumn == b.startColumn && a.count == b.count;
}

// The strips the walks over "MPIHelper" rows find (peer = the process at the
// other end): rank 0 from every row's first valid column, skipping runs of
// owners that are not positive; the others from their pairs (start, count).
// A list must end within the row, as the walks require.
std::vector<HaloStrip> walkHelper(DecompositionModel& m, const std::vector<std::string>& mask) {
  const long ncols = m.header.ncols;
  std::vector<HaloStrip> strips;
  Mismatches fits("MPIHelper list ends within its row");
  const bool rankZero = worldRank() == 0;
  const long first = rankZero ? 1 : m.header.firstRow;
  const long last = rankZero ? m.header.nrows : m.header.lastRow;
  for (long r = first; r <= last; ++r) {
    const double* row = m.helperGrid[r];
    long cursor = static_cast<long>(mask[static_cast<size_t>(r - 1)].find_first_not_of('.')) + 1;
    if (rankZero && cursor == 0) continue;
    for (long k = 1;; ++k) {
      const long a = static_cast<long>(row[2 * k - 1]);
      const long b = static_cast<long>(row[2 * k]);
      if (rankZero ? b <= 0 : a <= 0) break;
      if (!rankZero)
        strips.push_back(
            HaloStrip{static_cast<int>(r), static_cast<int>(a), static_cast<int>(b), worldRank()});
      else if (a > 0)
        strips.push_back(HaloStrip{static_cast<int>(r), static_cast<int>(cursor),
                                   static_cast<int>(b), static_cast<int>(a)});
      if (rankZero) cursor += b;
      if (2 * (k + 1) > ncols) {
        fits.check(false, "row " + std::to_string(r));
        break;
      }
    }
  }
  return strips;
}

} // namespace

void expectSoundDecomposition(DecompositionModel& m, const std::vector<std::string>& mask) {
  const int rank = worldRank();
  const int size = worldSize();
  const long nrows = static_cast<long>(mask.size());
  const long ncols = static_cast<long>(mask.front().size());
  const double nodata = m.header.nodata;
  ASSERT_EQ(m.header.nrows, nrows);

  std::vector<double> owners(static_cast<size_t>(nrows * ncols));
  if (rank == 0)
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c)
        owners[static_cast<size_t>((r - 1) * ncols + c - 1)] = m.regionsGrid[r][c];
  MPI_Bcast(owners.data(), static_cast<int>(owners.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  auto owner = [&](long r, long c) { return owners[static_cast<size_t>((r - 1) * ncols + c - 1)]; };
  auto valid = [&](long r, long c) {
    return mask[static_cast<size_t>(r - 1)][static_cast<size_t>(c - 1)] != '.';
  };

  // One owner per valid cell; owners never increase in row order, from the
  // highest rank down to 0, so each process holds one run.
  std::vector<long> first(static_cast<size_t>(size), -1);
  std::vector<long> last(static_cast<size_t>(size), -1);
  std::vector<long> count(static_cast<size_t>(size), 0);
  {
    Mismatches owned("one owner per valid cell, in one run per process");
    double previous = size - 1;
    for (long r = 1; r <= nrows; ++r) {
      for (long c = 1; c <= ncols; ++c) {
        const double o = owner(r, c);
        if (!valid(r, c)) {
          owned.check(o == nodata, "owner at invalid " + at(r, c));
          continue;
        }
        const bool known = o >= 0 && o < size && o == static_cast<int>(o);
        owned.check(known && o <= previous, "owner " + std::to_string(o) + " at " + at(r, c));
        if (!known) continue;
        previous = o;
        const size_t p = static_cast<size_t>(o);
        if (first[p] < 0) first[p] = r;
        last[p] = r;
        ++count[p];
      }
    }
  }
  const std::vector<long> firstRows = allGathered(m.header.firstRow);
  const std::vector<long> lastRows = allGathered(m.header.lastRow);
  for (int p = 0; p < size; ++p) {
    EXPECT_GT(count[static_cast<size_t>(p)], 0) << "process " << p;
    EXPECT_EQ(firstRows[static_cast<size_t>(p)], first[static_cast<size_t>(p)]) << "process " << p;
    EXPECT_EQ(lastRows[static_cast<size_t>(p)], last[static_cast<size_t>(p)]) << "process " << p;
  }
  EXPECT_EQ(m.cells, count);

  const long lo = rank == 0 ? 1 : std::max(1L, m.header.firstRow - 1);
  const long hi = rank == 0 ? nrows : std::min(nrows, m.header.lastRow + 1);
  const double own = rank;
  auto ownCell = [&](long r, long c) {
    return r >= m.header.firstRow && r <= m.header.lastRow && owner(r, c) == own;
  };
  {
    Mismatches rows("MPIRegions rows of this process");
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= ncols; ++c) rows.check(m.regionsGrid[r][c] == owner(r, c), at(r, c));
  }

  // "MPIHelper": nothing outside the lists, element 0 of rank 0's rows the
  // leading nodata cells, and rank 0's walk meets every other process's
  // strips exactly as that process's walk lists them.
  {
    Mismatches clean("MPIHelper elements outside the strip lists");
    for (long r = lo; r <= hi; ++r) {
      const double* row = m.helperGrid[r];
      const bool listed = rank == 0 || (r >= m.header.firstRow && r <= m.header.lastRow);
      long end = 1;
      while (listed && end + 1 <= ncols && (rank == 0 ? row[end + 1] > 0 : row[end] > 0)) end += 2;
      const long leading =
          static_cast<long>(mask[static_cast<size_t>(r - 1)].find_first_not_of('.'));
      clean.check(row[0] == (rank == 0 ? (leading < 0 ? ncols : leading) : 0.0),
                  "element 0 of row " + std::to_string(r));
      for (long e = end; e <= ncols; ++e) clean.check(row[e] == 0.0, at(r, e));
    }
  }
  const std::vector<HaloStrip> walked = walkHelper(m, mask);
  const std::vector<std::vector<HaloStrip>> walks = allGathered(walked);
  if (rank == 0) {
    Mismatches tiles("rank 0's strips cover each other process's cells once");
    std::vector<int> covered(owners.size(), 0);
    for (const HaloStrip& s : walks[0])
      for (long c = s.startColumn; c < s.startColumn + s.count; ++c) {
        tiles.check(c <= ncols && owner(s.row, c) == s.peer, at(s.row, c));
        if (c <= ncols) ++covered[static_cast<size_t>((s.row - 1) * ncols + c - 1)];
      }
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c)
        tiles.check(covered[static_cast<size_t>((r - 1) * ncols + c - 1)] ==
                        (valid(r, c) && owner(r, c) > 0 ? 1 : 0),
                    at(r, c));
    for (int q = 1; q < size; ++q) {
      std::vector<HaloStrip> fromRankZero;
      for (const HaloStrip& s : walks[0])
        if (s.peer == q) fromRankZero.push_back(s);
      const std::vector<HaloStrip>& own = walks[static_cast<size_t>(q)];
      ASSERT_EQ(fromRankZero.size(), own.size()) << "strips of process " << q;
      for (size_t i = 0; i < own.size(); ++i)
        EXPECT_TRUE(sameStrip(fromRankZero[i], own[i])) << "strip " << i << " of process " << q;
    }
  }

  // "MPIHalo": the owner of every cell of another process next to one of
  // ours, nodata elsewhere.
  std::vector<int> halo(owners.size(), -1);
  {
    Mismatches marks("MPIHalo");
    for (long r = lo; r <= hi; ++r) {
      for (long c = 1; c <= ncols; ++c) {
        bool next = false;
        for (long rr = r - 1; rr <= r + 1; ++rr)
          for (long cc = c - 1; cc <= c + 1; ++cc)
            next = next || (rr >= 1 && rr <= nrows && cc >= 1 && cc <= ncols && ownCell(rr, cc));
        const double o = owner(r, c);
        const bool isHalo = next && o != nodata && o != own;
        if (isHalo) halo[static_cast<size_t>((r - 1) * ncols + c - 1)] = static_cast<int>(o);
        marks.check(m.haloGrid[r][c] == (isHalo ? o : nodata), at(r, c));
      }
    }
  }

  // Receive strips cover every halo cell once, from its owner, and hold only
  // that owner's cells or nodata; each owner sends exactly the strips its
  // receivers expect, in their order.
  {
    Mismatches strips("halo receive strips");
    std::vector<int> covered(owners.size(), 0);
    for (const HaloStrip& s : m.receiveList) {
      for (long c = s.startColumn; c < s.startColumn + s.count; ++c) {
        const bool inside = s.row >= lo && s.row <= hi && c >= 1 && c <= ncols;
        strips.check(inside && (owner(s.row, c) == s.peer || owner(s.row, c) == nodata),
                     "strip cell " + at(s.row, c));
        if (!inside) continue;
        const size_t i = static_cast<size_t>((s.row - 1) * ncols + c - 1);
        if (halo[i] == s.peer) ++covered[i];
      }
    }
    for (size_t i = 0; i < halo.size(); ++i)
      strips.check(halo[i] < 0 || covered[i] == 1, "halo cell " + std::to_string(i));
  }
  const std::vector<std::vector<HaloStrip>> receives = allGathered(m.receiveList);
  const std::vector<std::vector<HaloStrip>> sends = allGathered(m.sendList);
  for (int p = 0; p < size; ++p) {
    size_t sent = 0;
    for (int q = 0; q < size; ++q) {
      std::vector<HaloStrip> expected;
      std::vector<HaloStrip> actual;
      for (const HaloStrip& s : receives[static_cast<size_t>(q)])
        if (s.peer == p) expected.push_back(s);
      for (const HaloStrip& s : sends[static_cast<size_t>(p)])
        if (s.peer == q) actual.push_back(s);
      sent += actual.size();
      ASSERT_EQ(actual.size(), expected.size()) << "strips from " << p << " to " << q;
      for (size_t i = 0; i < actual.size(); ++i)
        EXPECT_TRUE(sameStrip(actual[i], expected[i]))
            << "strip " << i << " from " << p << " to " << q;
    }
    EXPECT_EQ(sent, sends[static_cast<size_t>(p)].size()) << "process " << p << " sends no more";
  }
}
