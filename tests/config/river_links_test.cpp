#include <gtest/gtest.h>

#include <cstring>

#include "config/river_links.h"

// Every process unpacks the records rank 0 packed: the index in link travels
// before the elevation.
TEST(RiverLinkRecord, HoldsSixIntegersAndThenTheElevation) {
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
  const std::int32_t ints[6] = {7, -3, 123456, 2, 1, 9};
  EXPECT_EQ(std::memcmp(record, ints, sizeof ints), 0);
  double elevation;
  std::memcpy(&elevation, record + 24, 8);
  EXPECT_EQ(elevation, 1234.5);

  const RiverLinkCell back = unpackRiverLinkCell(record);
  EXPECT_EQ(std::vector<int>({back.row, back.column, back.linkId, back.cellOwner, back.linkOwner,
                              back.indexInLink}),
            std::vector<int>({7, -3, 123456, 2, 1, 9}));
  EXPECT_EQ(back.elevation, 1234.5);
}
