#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>

#include "tests/config/decomposition_fixture.h"
#include "tests/test_support.h"

namespace {

const std::vector<std::string> catchment = {"..xxxxxxxx..", ".xxxxxxxxxxx", "xxxx..xxxxxx",
                                            "xxxxxxx.xxx.", ".xxxxxxxxxxx", "..xxxxxxxx..",
                                            "...xxxxxxx..", "....xxxxx..."};
// Link 5 has 23 valid cells, links 3 and 9 have 5 each, link 7 one (its
// second cell lies outside the catchment, like one of link 5).
const std::vector<std::string> riverNetwork = {"..555.......", "....55..33..", "..55.5..3...",
                                               "5555555.3...", ".....95..3..", "....9.5555..",
                                               "...99.5..77.", "....9.5555.."};

// Higher rows lie higher, so a link's first cell is its lowest row.
double elevation(long row, long) { return 100.0 + static_cast<double>(row); }

// A link-cell table as integers: per entry q its size, then six fields per cell.
std::vector<int> flat(const LinkCellTable& table, int entries) {
  std::vector<int> values;
  for (int q = 0; q < entries; ++q) {
    const size_t n = q < static_cast<int>(table.size()) ? table[q].size() : 0;
    values.push_back(static_cast<int>(n));
    for (size_t i = 0; i < n; ++i) {
      const RiverLinkCell& c = table[q][i];
      values.insert(values.end(),
                    {c.row, c.column, c.linkId, c.cellOwner, c.linkOwner, c.indexInLink});
    }
  }
  return values;
}

std::vector<int> entryOf(const std::vector<int>& table, int q) {
  size_t at = 0;
  for (int e = 0; e < q; ++e) at += 1 + 6 * table[at];
  return std::vector<int>(table.begin() + at + 1, table.begin() + at + 1 + 6 * table[at]);
}

} // namespace

TEST(RiverLinks, LinksStayWholeAndEveryProcessHoldsTheSameTables) {
  const int size = worldSize();
  ASSERT_LE(size, 4);
  // Link 5 is larger than process 0's quota from three processes on: it
  // still goes whole to process 0, which keeps one regular cell, and the next
  // link goes to process 1.
  const std::vector<std::vector<std::string>> quotaLines = {
      {"MPI num cells: 36 for instance: 0", " + link cells: 23 for river link 5",
       " + link cells: 5 for river link 3", " + link cells: 5 for river link 9",
       " + link cells: 1 for river link 7", "        total: 70 for instance 0"},
      {"MPI num cells: 1 for instance: 0", " + link cells: 23 for river link 5",
       " + link cells: 5 for river link 3", " + link cells: 5 for river link 9",
       " + link cells: 1 for river link 7", "        total: 35 for instance 0",
       "MPI num cells: 35 for instance: 1"},
      {"MPI num cells: 1 for instance: 0", " + link cells: 23 for river link 5",
       "        total: 24 for instance 0", "MPI num cells: 12 for instance: 1",
       " + link cells: 5 for river link 3", " + link cells: 5 for river link 9",
       " + link cells: 1 for river link 7", "        total: 23 for instance 1",
       "MPI num cells: 23 for instance: 2"},
      {"MPI num cells: 1 for instance: 0", " + link cells: 23 for river link 5",
       "        total: 24 for instance 0", "MPI num cells: 6 for instance: 1",
       " + link cells: 5 for river link 3", " + link cells: 5 for river link 9",
       " + link cells: 1 for river link 7", "        total: 17 for instance 1",
       "MPI num cells: 17 for instance: 2", "MPI num cells: 12 for instance: 3"}};
  const int ids[4] = {5, 3, 9, 7};
  const int counts[4] = {23, 5, 5, 1};
  const int laterOwner = size >= 3 ? 1 : 0; // owner of links 3, 9 and 7

  // Cells outside the network may hold nodata or 0: the division is the same.
  std::vector<std::string> withZeros = riverNetwork;
  for (std::string& row : withZeros) std::replace(row.begin(), row.end(), '.', '0');
  const std::vector<std::string>& zeros = withZeros;
  for (const auto* links : {&riverNetwork, &zeros}) {
    SCOPED_TRACE(links == &zeros ? "zero outside links" : "nodata outside links");
    SpeedDirectory here(links == &zeros ? "links_zero" : "links_nodata", "1\n");
    writeFile(here.controlFile(), controlFileText(2));
    DecompositionModel model(".", here.controlFile());
    model.setDomain(catchment, *links, elevation);
    model.decompose();
    expectSoundDecomposition(model, catchment);
    if (worldRank() == 0) {
      std::vector<std::string> lines = {"MPI regular cells: 36\nMPI river cells: 34"};
      lines.insert(lines.end(), quotaLines[size - 1].begin(), quotaLines[size - 1].end());
      lines.push_back("After broadcasting numLinks: 4 for instance: 0");
      expectEntriesInOrder(model.console(), lines);
    }

    // Every process holds the links sorted by size (equal sizes by id), each
    // cell with its owners and its place: highest first, then row order.
    std::vector<double> regions(96);
    for (long r = 1; worldRank() == 0 && r <= 8; ++r)
      std::copy(model.regionsGrid[r] + 1, model.regionsGrid[r] + 13,
                regions.begin() + (r - 1) * 12);
    MPI_Bcast(regions.data(), 96, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    ASSERT_EQ(model.riverLinks.size(), 4u);
    for (size_t k = 0; k < 4; ++k) {
      RiverLink& link = *model.riverLinks[k];
      EXPECT_EQ(std::vector<int>({link.id, link.count, link.owner}),
                std::vector<int>({ids[k], counts[k], k == 0 ? 0 : laterOwner}));
      const std::vector<RiverLinkCell>& cells = link.getCells();
      ASSERT_EQ(static_cast<int>(cells.size()), counts[k]);
      for (size_t i = 0; i < cells.size(); ++i) {
        const RiverLinkCell& c = cells[i];
        EXPECT_EQ(
            std::vector<double>({double(c.linkId), double(c.linkOwner), double(c.indexInLink),
                                 c.elevation, double(c.cellOwner)}),
            std::vector<double>({double(link.id), double(link.owner), double(i),
                                 elevation(c.row, 0), regions[(c.row - 1) * 12 + c.column - 1]}));
        if (i > 0) {
          EXPECT_TRUE(c.row < cells[i - 1].row ||
                      (c.row == cells[i - 1].row && c.column > cells[i - 1].column));
        }
      }
    }

    // What process p holds for link owner q is what q lists as its cells in
    // p's strip; every link cell is listed once.
    const auto local = allGathered(flat(model.localLinkCellsByOwner, size));
    const auto owned = allGathered(flat(model.ownedLinkCellsByProcess, size));
    EXPECT_EQ(static_cast<int>(model.ownedLinkCellsByProcess.size()), size);
    EXPECT_LE(static_cast<int>(model.localLinkCellsByOwner.size()), size);
    size_t listed = 0;
    for (int p = 0; p < size; ++p)
      for (int q = 0; q < size; ++q) {
        const std::vector<int> held = entryOf(local[p], q);
        EXPECT_EQ(held, entryOf(owned[q], p)) << "process " << p << ", owner " << q;
        for (size_t f = 0; f < held.size(); f += 6)
          EXPECT_EQ(std::vector<int>({held[f + 3], held[f + 4]}), std::vector<int>({p, q}));
        listed += held.size() / 6;
      }
    EXPECT_EQ(listed, 34u);
  }
}

TEST(RiverLinks, TakePartOnlyWithReinfiltrationTwoAndTheGrid) {
  struct Case {
    const char* name;
    std::string control;
    bool linkGrid;
    int code; // -1: success
    size_t links;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"re-infiltration 1", controlFileText(1), true, -1, 0, ""},
      {"no grid river_links", controlFileText(2), false, -1, 0, ""},
      {"no section", "[model_time]\n1 start\n", true, -1, 0, ""},
      {"both", controlFileText(2), true, -1, 4, ""},
      {"fourth value missing", "[unsatzon_model]\n1 a\n2 b\n3 c\nnone\n", true, 17, 0,
       "error in control file, looking for re-infiltration parameter in [unsatzon_model]; "
       "not found!"},
      {"no control file", "", true, 28, 0, "Error opening "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpeedDirectory here("links_switch_" + std::to_string(&c - cases.data()), "1\n");
    if (!c.control.empty()) writeFile(here.controlFile(), c.control);
    DecompositionModel model(".", here.controlFile());
    model.setDomain(catchment, c.linkGrid ? riverNetwork : std::vector<std::string>{});
    EXPECT_EQ(exitCodeOf([&] { model.decompose(); }), c.code);
    if (c.code > 0) {
      if (worldRank() == 0) {
        EXPECT_NE(model.console().find(c.message), std::string::npos);
      }
      continue;
    }
    EXPECT_EQ(model.riverLinks.size(), c.links);
    EXPECT_EQ(model.ownedLinkCellsByProcess.size(), static_cast<size_t>(worldSize()));
    if (c.links > 0) continue;
    EXPECT_TRUE(model.localLinkCellsByOwner.empty());
    for (const auto& entry : model.ownedLinkCellsByProcess) EXPECT_TRUE(entry.empty());
    if (worldRank() == 0) {
      EXPECT_NE(model.console().find("MPI river cells: 0\n"), std::string::npos);
      EXPECT_EQ(model.console().find("link cells"), std::string::npos);
    }
  }
}
