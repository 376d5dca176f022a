#include <gtest/gtest.h>
#include <mpi.h>

#include <array>
#include <chrono>
#include <set>
#include <sstream>

#include "core/zonal_statistic.h"
#include "tests/config/coupling_run.h"

using namespace coupling_run;

namespace {

struct Date {
  long hour, day, month, year;
};

// Two days of six-hourly steps across the turn of the year: every step is a
// new hour, each day holds several steps, and the run ends at the end of a
// day that is no end of a month or year (2 January 00:00 follows).
constexpr int stepCount = 8;
Date dateOf(int s) { return s < 4 ? Date{6L * s, 31, 12, 2020} : Date{6L * (s - 4), 1, 1, 2021}; }
Date nextOf(int s) { return s + 1 < stepCount ? dateOf(s + 1) : Date{0, 2, 1, 2021}; }
bool lastStep(int s) { return s + 1 == stepCount; }

bool crosses(char mode, const Date& a, const Date& b) {
  switch (mode) {
  case 'H':
    return a.hour != b.hour;
  case 'D':
    return a.day != b.day;
  case 'M':
    return a.month != b.month;
  case 'Y':
    return a.year != b.year;
  default:
    return true;
  }
}

std::string padded(long value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*ld", digits, value);
  return text;
}

double fluxValue(int s, long r, long c) { return s + 1 + 0.5 * r + 0.25 * c; }
// Grid k (1 moved, 2 deleted, 3 kept) of exchange x.
double externalValue(int k, int x, long r, long c) { return 1000.0 * k + 100.0 * x + 10.0 * r + c; }

// The external program before exchange x: it takes the model's semaphore
// file, then writes its grids and its own semaphore file.
void playExternalProgram(int x, bool withSemaphore = true, bool withDeleted = true) {
  EXPECT_EQ(fileExists("sem_model.txt"), x > 1) << x;
  if (x > 1) {
    EXPECT_EQ(readFile("sem_model.txt"), "Continue\n") << x;
  }
  std::filesystem::remove("sem_model.txt");
  for (int k = 1; k <= 3; ++k) {
    const char* names[] = {"", "ext_move.asc", "ext_drop.asc", "ext_keep.asc"};
    // A hole inside the zone grid, which fill code 2 fills with 0.
    auto value = [&](long r, long c) {
      return k == 2 && r == 2 && c == 2 ? -9999.0 : externalValue(k, x, r, c);
    };
    if (k != 2 || withDeleted) writeFile(names[k], gridText(value));
  }
  if (withSemaphore) writeFile("sem_ext.txt", "Command=Continue\n");
}

// The internal grids after exchange x on the cells this process owns, and
// where it holds more (rank 0 all of "gw_level", the halo of "GWTableExtern").
void expectExchanged(SetupModel& m, int x, const Date& d) {
  Grid regions = m.grid("MPIRegions");
  Grid halo = m.grid("MPIHalo");
  const int rank = worldRank();
  const struct {
    const char* name;
    int k;
  } grids[] = {{"gw_level", 1}, {"GWTableExtern", 2}, {"gw_kept", 3}};
  for (const auto& g : grids) {
    const GridRegistryEntry& e = m.entry(m.findGrid(g.name, 1));
    const long first = rank == 0 ? e.firstRow : std::max(e.firstRow, m.header.firstRow - 1);
    const long last = rank == 0 ? e.lastRow : std::min(e.lastRow, m.header.lastRow + 1);
    for (long r = first; r <= last; ++r)
      for (long c = 1; c <= 8; ++c) {
        const bool own = regions[r][c] == rank;
        const bool more = (g.k == 1 && rank == 0) || (g.k == 2 && halo[r] && halo[r][c] >= 0.0);
        if (!inZone(r, c) || !(own || more)) continue;
        const double expected = g.k == 2 && r == 2 && c == 2 ? 0.0 : externalValue(g.k, x, r, c);
        EXPECT_EQ(e.grid[r][c], expected) << g.name << " exchange " << x << " " << r << "/" << c;
      }
  }
  if (rank != 0) return;
  const std::string moved = "ext_move.asc_" + padded(d.year, 4) + "_" + padded(d.month, 2) + "_" +
                            padded(d.day, 2) + "_" + padded(d.hour, 2) + "_";
  int found = 0;
  for (const auto& f : std::filesystem::directory_iterator(".")) {
    const std::string name = f.path().filename().string();
    if (name.compare(0, moved.size(), moved) == 0 &&
        name.find_first_not_of("0123456789", moved.size()) == std::string::npos)
      ++found;
  }
  EXPECT_EQ(found, 1) << moved;
  EXPECT_FALSE(fileExists("ext_move.asc"));
  EXPECT_FALSE(fileExists("ext_drop.asc"));
  EXPECT_TRUE(fileExists("ext_keep.asc"));
  EXPECT_FALSE(fileExists("sem_ext.txt"));
}

using Field = std::array<std::array<double, 9>, 5>;

// What the external program expects to find, kept from the step values.
struct Expected {
  Field interval{}; // sum of the steps of the interval so far
  Field run{};      // sum of all steps so far
  int steps = 0;
  std::array<double, 4> statInterval{};
  std::array<double, 4> statRun{};
  std::set<std::string> files;
};

std::string statisticText(const Date& d, const StatisticTableEntry& e,
                          const std::array<double, 4>& value) {
  std::ostringstream text;
  text << "date: " << d.year << "-" << padded(d.month, 2) << "-" << padded(d.day, 2)
       << "\nhour: " << padded(d.hour, 2) << "h\nflux_submodel:runoff total; 3 zones\n";
  double average = 0.0;
  for (int p = 1; p <= 3; ++p) {
    text << p << "\t" << value[p] << "\n";
    average += e.areaFractions[p] * value[p];
  }
  text << "average\t" << average << "\n";
  return text.str();
}

// Rank 0: the files written at the end of an interval with step s.
void expectWritten(Expected& x, int s, const Date& d, const Date& next,
                   const std::array<double, 4>& means, const StatisticTableEntry& e) {
  const int steps = x.steps + 1;
  auto sum = [&](long r, long c) { return x.interval[r][c] + fluxValue(s, r, c); };
  auto run = [&](long r, long c) { return x.run[r][c]; };
  const std::pair<const char*, std::string> grids[] = {
      {"sum", gridText(sum)},
      {"mean", gridText([&](long r, long c) { return sum(r, c) / steps; })},
      {"now", gridText([&](long r, long c) { return fluxValue(s, r, c); })},
      {"total", gridText(run)}};
  for (const auto& [name, text] : grids) {
    EXPECT_EQ(readFile("out/" + std::string(name) + ".asc"), text) << name << " step " << s;
    x.files.insert(std::string(name) + ".asc");
  }
  const std::string day = "SumTotal_EndOf_Day_" + padded(d.year, 4) + "_" + padded(d.month, 2) +
                          "_" + padded(d.day, 2) + "_";
  const std::string month =
      "SumTotal_EndOf_Month_" + padded(d.year, 4) + "_" + padded(d.month, 2) + "_";
  const std::string year = "SumTotal_EndOf_Year_" + padded(d.year, 4) + "_";
  for (const char* code : {"dmy", "d", "m", "y", "dm", "my"}) {
    const std::string c = code;
    std::vector<std::string> names = {c + ".asc"};
    if (next.day != d.day && c[0] == 'd') names.push_back(day + c + ".asc");
    if (next.month != d.month && c.find('m') != std::string::npos)
      names.push_back(month + c + ".asc");
    if (next.year != d.year && c.back() == 'y') names.push_back(year + c + ".asc");
    for (const std::string& name : names) {
      EXPECT_EQ(readFile("out/" + name), gridText(run)) << name << " step " << s;
      x.files.insert(name);
    }
  }
  std::array<double, 4> sums{}, meanValues{}, totals{};
  for (int p = 1; p <= 3; ++p) {
    sums[p] = x.statInterval[p] + means[p];
    meanValues[p] = sums[p] / steps;
    totals[p] = x.statRun[p];
  }
  const std::pair<const char*, const std::array<double, 4>*> stats[] = {
      {"stat_sum.txt", &sums},
      {"stat_mean.txt", &meanValues},
      {"stat_total.txt", &totals},
      {"stat_now.txt", &means}};
  for (const auto& [name, values] : stats) {
    EXPECT_EQ(readFile(std::string("out/") + name), statisticText(d, e, *values))
        << name << " step " << s;
    x.files.insert(name);
  }
}

} // namespace

// The driver's calls for two days of steps, with rank 0 playing the
// external program; every grid-interval mode.
TEST(ExternalCouplingExchange, PlaysTwoDaysAcrossTheTurnOfTheYear) {
  for (const char mode : {'I', 'H', 'D', 'M', 'Y'}) {
    SCOPED_TRACE(std::string("grid interval ") + mode);
    CouplingRun run(std::string("play_") + mode, couplingSection(mode));
    ASSERT_EQ(run.exitCode, -1) << run.model->console();
    SetupModel& m = *run.model;
    const int rank = worldRank();

    // A sub-model's grid over its own rows and their halo.
    const long lo = std::max(1L, m.header.firstRow - 1);
    const long hi = std::min(4L, m.header.lastRow + 1);
    Grid table = m.matrix(lo, hi, 1, 8, 4);
    const int tableIndex = m.firstFreeRegistryIndex();
    m.registerGrid(tableIndex, "gwtable.asc", table, nullptr, 0, "GWTableExtern", 0, lo, hi);

    // The statistic of "flux" per zone that the coupling reads.
    std::vector<StatisticTableEntry> statTable(5);
    std::vector<ZoneRecord> records = m.getZoneRecords();
    ZoneRecord* recordArray = records.data();
    std::string statFile = "flux_runoff.txt";
    int error = 0;
    zonalstatistic statistic(error, m.getDiag(), nullptr, 0, nullptr, 0, 0, &recordArray,
                             m.getZoneCount(), 2001, 3, statFile, "", 0, nullptr, false);
    ASSERT_EQ(error, 0);
    statistic.writeHeader("flux", "runoff total", statTable.data(), 5);
    ASSERT_EQ(exitCodeOf([&] { m.resolveCouplingNames(statTable.data(), 5); }), -1) << m.console();
    EXPECT_TRUE(m.hasExternalGWTable());

    Grid flux = m.grid("flux");
    Grid regions = m.grid("MPIRegions");
    Date last{-1, -1, -1, -1};
    int exchanges = 0;
    Expected expected;
    for (int s = 0; s < stepCount; ++s) {
      const Date d = dateOf(s);
      if (crosses(mode, d, last)) {
        ++exchanges;
        if (rank == 0) {
          playExternalProgram(exchanges);
          EXPECT_TRUE(fileExists(m.getSemaphoreFileName()));
        }
        MPI_Barrier(MPI_COMM_WORLD);
        last = d;
        m.exchangeExternalGrids(d.year, d.month, d.day, d.hour);
        expectExchanged(m, exchanges, d);
      }

      // The model's step: the flux on the own cells and its zone means.
      statistic.resetZones();
      std::array<double, 4> means{};
      std::array<int, 4> cells{};
      for (long r = 1; r <= 4; ++r)
        for (long c = 1; c <= 8; ++c) {
          if (!inZone(r, c)) continue;
          means[zoneOf(r, c)] += fluxValue(s, r, c);
          ++cells[zoneOf(r, c)];
          if (r < m.header.firstRow || r > m.header.lastRow || regions[r][c] != rank) continue;
          flux[r][c] = fluxValue(s, r, c);
          statistic.addValue(r, c, m.getZoneRanks()[zoneOf(r, c)], flux[r][c], 1.0);
        }
      for (int p = 1; p <= 3; ++p) means[p] /= cells[p];
      statistic.storeStep(d.year, d.month, d.day, d.hour, 0, 1);

      const Date next = nextOf(s);
      for (long r = 1; r <= 4; ++r)
        for (long c = 1; c <= 8; ++c) expected.run[r][c] += fluxValue(s, r, c);
      for (int p = 1; p <= 3; ++p) expected.statRun[p] += means[p];
      if (lastStep(s) || crosses(mode, next, last)) {
        m.writeCouplingStatistics(d.hour, d.day, d.month, d.year, next.day != d.day,
                                  next.month != d.month, next.year != d.year);
        if (rank == 0) expectWritten(expected, s, d, next, means, statTable[0]);
        expected.interval = Field{};
        expected.statInterval = {};
        expected.steps = 0;
      } else {
        m.accumulateCouplingStatistics();
        for (long r = 1; r <= 4; ++r)
          for (long c = 1; c <= 8; ++c) expected.interval[r][c] += fluxValue(s, r, c);
        for (int p = 1; p <= 3; ++p) expected.statInterval[p] += means[p];
        ++expected.steps;
      }
      if (rank == 0)
        writeFile(m.getExternalSemaphoreFileName(),
                  (lastStep(s) ? std::string("Finish") : m.getExternalSemaphoreContent()) + "\n");
      MPI_Barrier(MPI_COMM_WORLD);
    }
    EXPECT_EQ(exchanges, mode == 'I' || mode == 'H' ? stepCount : 2);
    if (rank == 0) {
      std::set<std::string> written;
      for (const auto& f : std::filesystem::directory_iterator("out"))
        written.insert(f.path().filename().string());
      EXPECT_EQ(written, expected.files);
    }
    m.unregisterGrid(tableIndex);
    m.free_matrix(table, lo, hi, 1, 8);
    statistic.release();
    m.FreeMemory();
  }
}

// What goes wrong on rank 0 alone ends every process with its code.
TEST(ExternalCouplingExchange, FailuresEndEveryProcess) {
  const std::string longName = std::string(240, 'g') + ".asc";
  const std::string twoGrids = "2\next_move.asc gw_level 0 1\next_drop.asc gw_kept 0 0\n";
  struct Case {
    std::string name, readGrids;
    bool withSemaphore, withDeleted, withStatistic;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"semaphore", twoGrids, false, true, true, 1001,
       "error deleting semaphore file sem_ext.txt ("},
      {"missing", twoGrids, true, false, true, 1001, "error reading external grid ext_drop.asc\n"},
      {"rename", "1\n" + longName + " gw_level 0 1\n", true, true, true, 1002,
       "error renaming external grid " + longName + " nach " + longName + "_2020_12_31_07_"},
      {"statistic", twoGrids, true, true, false, 1005,
       "error looking for zonal statistic with internal name \"runoff_total\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CouplingRun run("fail_" + c.name, couplingSection('I', c.readGrids));
    ASSERT_EQ(run.exitCode, -1) << run.model->console();
    SetupModel& m = *run.model;
    char name[] = "flux_submodel:runoff total";
    std::vector<double> values(4, 1.0);
    std::uint64_t codes[4] = {0, 1, 2, 3};
    std::vector<StatisticTableEntry> table(1);
    if (c.withStatistic && worldRank() == 0)
      table[0] = {0, 0, 0, 0, 0, 4, values.data(), nullptr, values.data(), name, codes};
    const int code = exitCodeOf([&] {
      m.resolveCouplingNames(table.data(), 1);
      if (worldRank() == 0) {
        playExternalProgram(1, c.withSemaphore, c.withDeleted);
        writeFile(longName, gridText([](long r, long c) { return 10.0 * r + c; }));
      }
      const auto start = std::chrono::steady_clock::now();
      try {
        m.exchangeExternalGrids(2020, 12, 31, 7);
      } catch (int) {
        if (!c.withSemaphore && worldRank() == 0) {
          EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        }
        throw;
      }
    });
    EXPECT_EQ(code, c.code);
    if (worldRank() == 0) {
      EXPECT_NE(m.console().find(c.message), std::string::npos) << m.console();
    }
    m.FreeMemory();
  }
}
