#include <gtest/gtest.h>

#include <cstring>

#include "config/river_links.h"

namespace {

RiverLinkCell cellAt(int row, int column, int cellOwner, int linkOwner) {
  RiverLinkCell c;
  c.row = row;
  c.column = column;
  c.cellOwner = cellOwner;
  c.linkOwner = linkOwner;
  return c;
}

std::unique_ptr<RiverLink> linkOf(int id, int owner, const std::vector<RiverLinkCell>& cells) {
  auto link = std::make_unique<RiverLink>();
  link->id = id;
  link->owner = owner;
  for (RiverLinkCell c : cells) {
    c.linkId = id;
    link->addCell(c);
  }
  return link;
}

} // namespace

TEST(RiverLinkRecord, PacksTheIndexBeforeTheElevation) {
  RiverLinkCell cell;
  cell.row = 7;
  cell.column = -3;
  cell.linkId = 123456;
  cell.cellOwner = 2;
  cell.linkOwner = 1;
  cell.elevation = 1234.5;
  cell.indexInLink = 9;
  char record[riverLinkRecordBytes];
  std::memset(record, 0x55, sizeof record);
  packRiverLinkCell(cell, record);
  const int ints[6] = {7, -3, 123456, 2, 1, 9};
  for (int i = 0; i < 6; ++i) {
    std::int32_t value;
    std::memcpy(&value, record + 4 * i, 4);
    EXPECT_EQ(value, ints[i]) << "offset " << 4 * i;
  }
  double elevation;
  std::memcpy(&elevation, record + 24, 8);
  EXPECT_EQ(elevation, 1234.5);

  const RiverLinkCell back = unpackRiverLinkCell(record);
  EXPECT_EQ(back.row, 7);
  EXPECT_EQ(back.column, -3);
  EXPECT_EQ(back.linkId, 123456);
  EXPECT_EQ(back.cellOwner, 2);
  EXPECT_EQ(back.linkOwner, 1);
  EXPECT_EQ(back.indexInLink, 9);
  EXPECT_EQ(back.elevation, 1234.5);
}

TEST(RiverLink, CountsAddedCellsButNotReplacedLists) {
  RiverLink link;
  EXPECT_EQ(link.count, 0);
  EXPECT_TRUE(link.getCells().empty());
  link.addCell(cellAt(1, 2, 0, 0));
  link.addCell(cellAt(3, 4, 0, 0));
  EXPECT_EQ(link.count, 2);
  EXPECT_EQ(link.lastCell().row, 3);
  auto replacement = std::make_unique<std::vector<RiverLinkCell>>(1, cellAt(9, 9, 0, 0));
  link.setCells(std::move(replacement));
  EXPECT_EQ(link.count, 2) << "the count belongs to the caller";
  ASSERT_EQ(link.getCells().size(), 1u);
  EXPECT_EQ(link.lastCell().column, 9);
}

TEST(RiverLinkTables, ListTheCellsEachProcessHoldsForEachOwner) {
  // Links in their sorted order: link 4 (owner 0) lies in the strips of 2 and
  // 1, link 8 (owner 1) in 1 only, link 6 (owner 2) in 2 and 0.
  RiverLinkList links;
  links.push_back(linkOf(4, 0, {cellAt(1, 1, 2, 0), cellAt(2, 1, 1, 0), cellAt(1, 2, 2, 0)}));
  links.push_back(linkOf(8, 1, {cellAt(3, 3, 1, 1), cellAt(3, 4, 1, 1)}));
  links.push_back(linkOf(6, 2, {cellAt(5, 5, 2, 2), cellAt(6, 5, 0, 2)}));

  struct Case {
    int rank;
    std::vector<std::vector<int>> local; // link ids of the cells, per owner
    std::vector<std::vector<int>> owned; // link ids of the cells, per cell owner
  };
  for (const Case& c : std::vector<Case>{{0, {{}, {}, {6}}, {{}, {4}, {4, 4}}},
                                         {1, {{4}, {8, 8}}, {{}, {8, 8}, {}}},
                                         {2, {{4, 4}, {}, {6}}, {{6}, {}, {6}}},
                                         {3, {}, {{}, {}, {}, {}}}}) {
    SCOPED_TRACE(c.rank);
    const int size = c.rank == 3 ? 4 : 3;
    auto ids = [](const LinkCellTable& table) {
      std::vector<std::vector<int>> out;
      for (const auto& entry : table) {
        out.emplace_back();
        for (const RiverLinkCell& cell : entry) out.back().push_back(cell.linkId);
      }
      return out;
    };
    EXPECT_EQ(ids(makeLocalLinkCellsByOwner(links, c.rank)), c.local);
    EXPECT_EQ(ids(makeOwnedLinkCellsByProcess(links, c.rank, size)), c.owned);
  }
}
