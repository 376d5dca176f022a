#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/soil/decomposed_unsatzon.h"

namespace {

using CellList = std::vector<std::pair<long, long>>;

// Two links of the ragged catchment: the first runs through the strips of
// every process, the second down column 8.
const CellList linkAcross = {{1, 5}, {2, 5}, {4, 6}, {5, 6}, {6, 5}, {7, 5}};
const CellList linkDown = {{1, 8}, {2, 8}, {3, 8}, {4, 8}, {5, 8}, {6, 8}, {7, 8}};
// Cells of the top strip only, the strip of the highest rank.
const CellList linkOnTop = {{1, 5}, {1, 6}, {2, 5}};

// The unsaturated zone with surface water interaction 2 and the links
// given, each solved by the process named.
struct LinkedUnsatzon {
  LinkedUnsatzon(const std::string& name, const std::vector<std::pair<CellList, int>>& linkCells,
                 int interaction = 2)
      : d(name, "", [&](std::vector<std::string>& lines) {
          lines[2] = std::to_string(interaction) + "  interaction";
        }) {
    // The river bed lies above the table at the top of layer 2.
    d.add("river_depth", [](long, long) { return 0.1; });
    for (const char* g : {"river_width", "kolmation"}) d.add(g, [](long, long) { return 1.0; });
    std::map<std::pair<long, long>, double> codes;
    int id = 0;
    for (const auto& [cells, owner] : linkCells) {
      ++id;
      auto link = std::make_unique<RiverLink>();
      link->id = id;
      link->owner = std::min(owner, d.strips.size - 1);
      std::int32_t index = 0;
      for (const auto& [r, c] : cells) {
        RiverLinkCell cell;
        cell.row = static_cast<std::int32_t>(r);
        cell.column = static_cast<std::int32_t>(c);
        cell.linkId = id;
        cell.cellOwner = d.strips.owner[r][c];
        cell.linkOwner = link->owner;
        cell.indexInLink = index++;
        link->addCell(cell);
        codes[{r, c}] = subbasinOf(r, c);
      }
      links.push_back(std::move(link));
    }
    d.add("river_links", [&](long r, long c) {
      const auto found = codes.find({r, c});
      return found == codes.end() ? nodata : found->second;
    });
    sends = makeLocalLinkCellsByOwner(links, d.strips.rank);
    receives = makeOwnedLinkCellsByProcess(links, d.strips.rank, d.strips.size);
    d.context.riverLinks = &links;
    d.context.localLinkCellsByOwner = &sends;
    d.context.ownedLinkCellsByProcess = &receives;
  }
  // Builds the module in the test's folder.
  std::unique_ptr<TestUnsatzon> build() {
    std::unique_ptr<TestUnsatzon> module;
    d.build(module);
    return module;
  }
  bool holdsLinkCells() const {
    for (const LinkCellTable* table : {&sends, &receives})
      for (const std::vector<RiverLinkCell>& list : *table)
        if (!list.empty()) return true;
    return false;
  }

  DecomposedUnsatzon d;
  RiverLinkList links;
  LinkCellTable sends, receives;
};

// Every value of every own cell of the registry's grids and stacks.
std::vector<double> ownState(const DecomposedUnsatzon& d) {
  std::vector<double> values;
  const StripModule& s = d.strips;
  for (const GridRegistryEntry& e : d.registry) {
    if (!e.hasName || (!e.grid && !e.stack)) continue;
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        if (s.owner[r][c] != s.rank || r < e.firstRow || r > e.lastRow) continue;
        if (e.grid) values.push_back(e.grid[r][c]);
        if (e.stack)
          for (int k = 0; k <= 4; ++k) values.push_back(e.stack[r][c][k]);
      }
  }
  return values;
}

// The row pointers of one row of every grid and stack of the registry.
std::vector<const void*> rowPointers(const DecomposedUnsatzon& d, long row) {
  std::vector<const void*> rows;
  for (const GridRegistryEntry& e : d.registry) {
    if (e.grid) rows.push_back(e.grid[row]);
    if (e.stack) rows.push_back(e.stack[row]);
  }
  return rows;
}

} // namespace

// The trial exchange of the set-up carries every own link cell to the
// process that solves its link and back: with scrambled contents in every
// array of the record each own cell comes back bit for bit, no trial fill
// is left, and the halo row above every strip is the grids' own again.
TEST(RiverLinksInOrder, TrialExchangeGivesEveryCellBackAsItLeft) {
  const struct {
    const char* name;
    std::vector<std::pair<CellList, int>> links;
  } cases[] = {
      {"crossing", {{linkAcross, 1}, {linkDown, 2}}},
      {"solved on rank 0", {{linkAcross, 0}}},
      {"top strip only", {{linkOnTop, 2}}},
  };
  int caseNumber = 0;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    LinkedUnsatzon u("reinfiltration_trial_" + std::to_string(caseNumber++), tc.links);
    auto module = u.build();
    const StripModule& s = u.d.strips;
    // Scrambled, distinct contents in every own cell of every array but
    // those that place the cells.
    auto keeps = [](const std::string& name) {
      return name == "[zone_grid]" || name == "river_links" || name == "MPIRegions";
    };
    unsigned seed = 12345u + static_cast<unsigned>(s.rank);
    for (GridRegistryEntry& e : u.d.registry)
      for (long r = std::max(s.lo, e.firstRow); r <= std::min(s.hi, e.lastRow); ++r)
        for (long c = 1; c <= s.ncols; ++c) {
          if (s.owner[r][c] != s.rank) continue;
          for (int k = 0; k <= (e.stack ? 4 : 0); ++k) {
            seed = seed * 1103515245u + 12345u;
            const double v = static_cast<double>(seed % 100000u) / 7.0;
            if (e.stack) e.stack[r][c][k] = v;
            if (e.grid && !keeps(e.name)) e.grid[r][c] = v;
          }
        }
    const long halo = u.d.strips.m.getHeader().firstRow - 1;
    const std::vector<const void*> before = rowPointers(u.d, halo);
    const RowColumnRange range = s.ranges[static_cast<size_t>(halo)];
    const std::vector<double> state = ownState(u.d);

    const long length = module->prepareMPIReinfiltration();

    EXPECT_EQ(length, module->cellRecord.length());
    EXPECT_GT(length, 0);
    long lowest = length, highest = length;
    MPI_Allreduce(MPI_IN_PLACE, &lowest, 1, MPI_LONG, MPI_MIN, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, &highest, 1, MPI_LONG, MPI_MAX, MPI_COMM_WORLD);
    EXPECT_EQ(lowest, highest);
    const std::vector<double> after = ownState(u.d);
    ASSERT_EQ(after.size(), state.size());
    EXPECT_EQ(std::memcmp(after.data(), state.data(), state.size() * sizeof(double)), 0);
    for (double v : after) {
      EXPECT_NE(v, -987654321.0);
      EXPECT_NE(v, 123456789.0);
    }
    EXPECT_EQ(rowPointers(u.d, halo), before);
    EXPECT_EQ(s.ranges[static_cast<size_t>(halo)].first, range.first);
    EXPECT_EQ(s.ranges[static_cast<size_t>(halo)].last, range.last);
    if (!u.holdsLinkCells()) {
      EXPECT_EQ(module->reinfiltrationExchange.lastRequestCount(), 0u);
      EXPECT_EQ(module->reinfiltrationExchange.foreignCellCount(), 0);
    }
    module->finishModelRun(false);
  }
}

// The record carries one value per distinct grid and levels + 1 per stack,
// on every process alike: a grid of the list adds one value, a snow stack
// of three levels four.
TEST(RiverLinksInOrder, RecordLengthCountsEveryArrayOnce) {
  const struct {
    const char* name;
    std::function<void(DecomposedUnsatzon&)> add;
    long added;
  } cases[] = {
      {"nothing", [](DecomposedUnsatzon&) {}, 0},
      {"a grid of the list",
       [](DecomposedUnsatzon& d) { d.add("EnergyBalance", [](long, long) { return 0.0; }); }, 1},
      {"a snow stack",
       [](DecomposedUnsatzon& d) {
         d.add("SnowDensity", static_cast<Grid>(nullptr));
         for (GridRegistryEntry& e : d.registry)
           if (e.hasName && e.name == "SnowDensity") {
             e.stack = d.strips.stack(3, 0.0);
             e.levels = 3;
           }
       },
       4},
  };
  long plain = 0;
  int caseNumber = 0;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    LinkedUnsatzon u("reinfiltration_length_" + std::to_string(caseNumber++), {{linkOnTop, 2}});
    tc.add(u.d);
    auto module = u.build();
    const long length = module->prepareMPIReinfiltration();
    if (tc.added == 0) plain = length;
    EXPECT_EQ(length, plain + tc.added);
    // Four soil stacks of levels 0 .. 4 without heat, and the snow stack.
    long stackValues = 0;
    for (const CellRecord::Array& a : module->cellRecord.arrays())
      if (a.stack) stackValues += a.values;
    EXPECT_EQ(stackValues, 4 * 5 + (tc.added == 4 ? 4 : 0));
    module->finishModelRun(false);
  }
}

// Without interaction 2 nothing is prepared, and no process waits for
// another.
TEST(RiverLinksInOrder, OtherInteractionsPrepareNothing) {
  for (int interaction : {0, 1}) {
    SCOPED_TRACE(interaction);
    LinkedUnsatzon u("reinfiltration_off_" + std::to_string(interaction), {{linkAcross, 1}},
                     interaction);
    auto module = u.build();
    // Only rank 0 calls: a collective call would hang the run.
    if (u.d.strips.rank == 0) {
      EXPECT_EQ(module->prepareMPIReinfiltration(), 0);
    }
    EXPECT_FALSE(module->reinfiltrationExchange.prepared());
    MPI_Barrier(MPI_COMM_WORLD);
    module->finishModelRun(false);
  }
}

// What the link order cannot handle ends the run with the same code on
// every process, also on those that hold no link cell: tracers, which
// cannot travel with the cells yet, and a river cell that no link lists,
// which would never be solved.
TEST(RiverLinksInOrder, RefusalsEndTheRunOnEveryProcess) {
  const struct {
    const char* name;
    std::function<void(LinkedUnsatzon&)> spoil;
    int code;
    const char* message;
  } cases[] = {
      {"tracers", [](LinkedUnsatzon& u) { u.d.context.tracerCount = 1; }, 1150,
       "prepareMPIReinfiltration() doesn't allow tracers yet"},
      {"unlisted river cell",
       [](LinkedUnsatzon& u) {
         if (u.d.strips.owner[2][6] == u.d.strips.rank) u.d.entry("river_links").grid[2][6] = 1.0;
       },
       1152, "but the river links of the domain decomposition list 3 of them"},
  };
  int caseNumber = 0;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    LinkedUnsatzon u("reinfiltration_refusal_" + std::to_string(caseNumber++), {{linkOnTop, 2}});
    auto module = u.build();
    tc.spoil(u);
    int code = 0;
    try {
      module->prepareMPIReinfiltration();
    } catch (int thrown) {
      code = thrown;
    }
    EXPECT_EQ(code, tc.code);
    // Rank 0's console shows its own entries; the spoilt cell's owner logs.
    const bool logsHere = tc.code == 1150 || u.d.strips.owner[2][6] == 0;
    if (u.d.strips.rank == 0 && logsHere) {
      const std::string console = u.d.strips.m.console();
      EXPECT_NE(console.find(tc.message), std::string::npos) << console;
    }
    u.d.context.tracerCount = 0;
    module->finishModelRun(false);
  }
}

namespace {

// Six cells of one soil type over the strips of three processes: alike but
// for their height, so that each takes the same river water when there is
// plenty.
const CellList linkOfAlikeCells = {{1, 5}, {2, 6}, {4, 6}, {5, 5}, {6, 4}, {7, 5}};

struct LinkTakes {
  std::vector<double> infiltration; // mm per link cell, on the cell's owner
  double taken = 0.0;               // m^3/s over all processes
};

// One hour of the link, solved by the last rank, with the river offering
// `offer` m^3/s to subbasin 1.
LinkTakes runLink(const std::string& name, double offer) {
  LinkedUnsatzon u(name, {{linkOfAlikeCells, 2}});
  auto module = u.build();
  const StripModule& s = u.d.strips;
  for (const auto& [r, c] : linkOfAlikeCells)
    if (s.owner[r][c] == s.rank) u.d.entry("precipitation").grid[r][c] = 2.0;
  ReinfiltrationRecord* records = module->getReinfiltrationRecords();
  // A metre of water in the river cells, which are 1 m wide.
  for (int k = 0; k <= 2; ++k) {
    records[k].flowm3s = offer * module->getSubsteps();
    records[k].speed = records[k].flowm3s;
    records[k].held = 1e12; // the channel holds plenty
  }
  module->broadcastReinfiltrationRecords();
  EXPECT_EQ(module->computeTimeStep(0, 1, 2, 6, 2020), 0);
  LinkTakes takes;
  for (const auto& [r, c] : linkOfAlikeCells)
    takes.infiltration.push_back(
        s.owner[r][c] == s.rank ? u.d.entry("river_infiltration").grid[r][c] : std::nan(""));
  for (int k = 0; k <= 2; ++k) takes.taken += records[k].accumulator;
  MPI_Allreduce(MPI_IN_PLACE, &takes.taken, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  module->finishModelRun(false);
  return takes;
}

} // namespace

// The cells of a link share what the river offers by what each would take,
// whichever strip they lie in: a river offering two and a half cells' worth
// gives each of the six alike cells 2.5 / 6 of what it takes with plenty.
TEST(RiverLinksInOrder, CellsShareTheRiverAcrossStrips) {
  const LinkTakes plenty = runLink("reinfiltration_plenty", 1.0e3);
  ASSERT_GT(plenty.taken, 0.0);
  const double perCell = plenty.taken / 6.0;
  const LinkTakes scarce = runLink("reinfiltration_scarce", 2.5 * perCell);
  for (size_t k = 0; k < linkOfAlikeCells.size(); ++k) {
    if (std::isnan(plenty.infiltration[k])) continue; // not this process's cell
    SCOPED_TRACE("link cell " + std::to_string(k));
    const double full = plenty.infiltration[k];
    EXPECT_GT(full, 0.0);
    EXPECT_NEAR(scarce.infiltration[k], 2.5 / 6.0 * full, 1e-9 * full);
  }
  // Nothing is taken that the river did not offer.
  EXPECT_LE(scarce.taken, 2.5 * perCell * (1.0 + 1e-12));
  EXPECT_GT(scarce.taken, 2.0 * perCell);
}
