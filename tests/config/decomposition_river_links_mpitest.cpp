#include <gtest/gtest.h>
#include <mpi.h>

#include <map>

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

std::vector<std::string> withZeros(std::vector<std::string> links) {
  for (std::string& row : links)
    for (char& c : row)
      if (c == '.') c = '0';
  return links;
}

// Higher rows lie higher, so a link's first cell is its lowest row.
double elevation(long row, long) { return 100.0 + static_cast<double>(row); }

// A link table as integers: per entry its cell count, then six fields per
// cell; gathered from every process.
std::vector<std::vector<int>> gatheredTables(const LinkCellTable& table, int entries) {
  std::vector<int> flat;
  for (int q = 0; q < entries; ++q) {
    const std::vector<RiverLinkCell> none;
    const std::vector<RiverLinkCell>& cells =
        q < static_cast<int>(table.size()) ? table[static_cast<size_t>(q)] : none;
    flat.push_back(static_cast<int>(cells.size()));
    for (const RiverLinkCell& c : cells)
      flat.insert(flat.end(), {c.row, c.column, c.linkId, c.cellOwner, c.linkOwner, c.indexInLink});
  }
  const int size = worldSize();
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
  std::vector<std::vector<int>> tables;
  for (int p = 0; p < size; ++p)
    tables.emplace_back(all.begin() + offsets[static_cast<size_t>(p)],
                        all.begin() + offsets[static_cast<size_t>(p)] +
                            counts[static_cast<size_t>(p)]);
  return tables;
}

// Entry q of a gathered table.
std::vector<int> entryOf(const std::vector<int>& table, int q) {
  size_t at = 0;
  for (int e = 0; e < q; ++e) at += 1 + 6 * static_cast<size_t>(table[at]);
  return std::vector<int>(table.begin() + static_cast<long>(at) + 1,
                          table.begin() + static_cast<long>(at) + 1 + 6 * table[at]);
}

} // namespace

TEST(RiverLinks, LinksStayWholeAndEveryProcessHoldsTheSameTables) {
  const int size = worldSize();
  ASSERT_LE(size, 4);
  // The quota lines for 1 to 4 processes (links in the order 5, 3, 9, 7).
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
  const std::vector<int> ids = {5, 3, 9, 7};
  const std::vector<int> counts = {23, 5, 5, 1};
  // Link 5 is larger than the quota of process 0 from three processes on;
  // it still goes whole to process 0 and the next link to process 1.
  const std::vector<std::vector<int>> owners = {
      {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 1, 1, 1}, {0, 1, 1, 1}};

  // Cells outside the network marked nodata or 0 give the same division.
  for (const auto& links : {riverNetwork, withZeros(riverNetwork)}) {
    SCOPED_TRACE(links == riverNetwork ? "nodata outside links" : "zero outside links");
    SpeedDirectory here(links == riverNetwork ? "links_nodata" : "links_zero", "1\n");
    writeFile(here.controlFile(), controlFileText(2));
    DecompositionModel model(".", here.controlFile());
    model.setDomain(catchment, links, elevation);
    model.decompose();
    expectSoundDecomposition(model, catchment);

    if (worldRank() == 0) {
      std::vector<std::string> lines = {"MPI regular cells: 36\nMPI river cells: 34"};
      const std::vector<std::string>& quotas = quotaLines[static_cast<size_t>(size - 1)];
      lines.insert(lines.end(), quotas.begin(), quotas.end());
      lines.push_back("After broadcasting numLinks: 4 for instance: 0");
      expectEntriesInOrder(model.console(), lines);
    }

    // Every process holds the same links: sorted by size, equal sizes by id,
    // each cell with its owners and its place (highest first, then row order).
    std::vector<double> regions(static_cast<size_t>(8 * 12));
    if (worldRank() == 0)
      for (long r = 1; r <= 8; ++r)
        for (long c = 1; c <= 12; ++c)
          regions[static_cast<size_t>((r - 1) * 12 + c - 1)] = model.regionsGrid[r][c];
    MPI_Bcast(regions.data(), 96, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    ASSERT_EQ(model.riverLinks.size(), ids.size());
    for (size_t k = 0; k < ids.size(); ++k) {
      RiverLink& link = *model.riverLinks[k];
      EXPECT_EQ(link.id, ids[k]);
      EXPECT_EQ(link.count, counts[k]);
      EXPECT_EQ(link.owner, owners[static_cast<size_t>(size - 1)][k]) << "link " << link.id;
      const std::vector<RiverLinkCell>& cells = link.getCells();
      ASSERT_EQ(static_cast<int>(cells.size()), counts[k]);
      for (size_t i = 0; i < cells.size(); ++i) {
        const RiverLinkCell& c = cells[i];
        EXPECT_EQ(c.linkId, link.id);
        EXPECT_EQ(c.linkOwner, link.owner);
        EXPECT_EQ(c.indexInLink, static_cast<int>(i));
        EXPECT_EQ(c.elevation, elevation(c.row, c.column));
        EXPECT_EQ(c.cellOwner, regions[static_cast<size_t>((c.row - 1) * 12 + c.column - 1)]);
        if (i > 0) {
          EXPECT_TRUE(c.row < cells[i - 1].row ||
                      (c.row == cells[i - 1].row && c.column > cells[i - 1].column))
              << "link " << link.id << " cell " << i;
        }
      }
    }

    // What process p holds for owner q is what q lists as its cells in p.
    const std::vector<std::vector<int>> local = gatheredTables(model.localLinkCellsByOwner, size);
    const std::vector<std::vector<int>> owned = gatheredTables(model.ownedLinkCellsByProcess, size);
    EXPECT_EQ(static_cast<int>(model.ownedLinkCellsByProcess.size()), size);
    size_t listed = 0;
    for (int p = 0; p < size; ++p)
      for (int q = 0; q < size; ++q) {
        const std::vector<int> held = entryOf(local[static_cast<size_t>(p)], q);
        EXPECT_EQ(held, entryOf(owned[static_cast<size_t>(q)], p))
            << "process " << p << ", owner " << q;
        for (size_t f = 0; f < held.size(); f += 6) {
          EXPECT_EQ(held[f + 3], p);
          EXPECT_EQ(held[f + 4], q);
        }
        listed += held.size() / 6;
      }
    EXPECT_EQ(listed, 34u) << "every link cell in one entry of one process";
    EXPECT_LE(model.localLinkCellsByOwner.size(), static_cast<size_t>(size));
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
    if (c.links == 0) {
      EXPECT_TRUE(model.localLinkCellsByOwner.empty());
      for (const auto& entry : model.ownedLinkCellsByProcess) EXPECT_TRUE(entry.empty());
      if (worldRank() == 0) {
        EXPECT_NE(model.console().find("MPI river cells: 0\n"), std::string::npos);
        EXPECT_EQ(model.console().find("link cells"), std::string::npos);
      }
    }
    expectSoundDecomposition(model, catchment);
  }
}

// Link cells take no quota: those after the last regular cell of the grid
// still belong to process 0 and lie within its rows.
TEST(RiverLinks, LinkCellsAfterTheLastRegularCellStayInsideTheLastProcessRows) {
  const std::vector<std::string> mask = {"xxxxxx", "xxxxxx", "xxxxxx", "..xx..", "..x..."};
  const std::vector<std::string> links = {"000000", "000000", "000000", "..11..", "..1..."};
  SpeedDirectory here("links_tail", "1\n");
  writeFile(here.controlFile(), controlFileText(2));
  DecompositionModel model(".", here.controlFile());
  model.setDomain(mask, links);
  model.decompose();
  expectSoundDecomposition(model, mask);
  ASSERT_EQ(model.riverLinks.size(), 1u);
  for (const RiverLinkCell& cell : model.riverLinks[0]->getCells()) EXPECT_EQ(cell.cellOwner, 0);
  if (worldRank() == 0) {
    EXPECT_EQ(model.header.lastRow, 5);
  }
}
