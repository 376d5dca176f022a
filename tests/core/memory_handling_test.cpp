#include <gtest/gtest.h>

#include <sstream>

#include "core/diag_stream.h"
#include "core/memory_handling.h"
#include "tests/test_support.h"

namespace {

// Exposes the log stream of memory_handling to the tests.
class TestMemory : public memory_handling {
public:
  explicit TestMemory(DiagStream* stream) {
    diag = stream;
    moduleName = "testmodule";
  }
};

} // namespace

TEST(MemoryHandling, CeilLog2CountsHalvings) {
  TestMemory memory(nullptr);
  EXPECT_EQ(memory.ceilLog2(0.5), 0.0);
  EXPECT_EQ(memory.ceilLog2(1.0), 0.0);
  EXPECT_EQ(memory.ceilLog2(2.0), 1.0);
  EXPECT_EQ(memory.ceilLog2(3.0), 2.0);
  EXPECT_EQ(memory.ceilLog2(552.0), 10.0);
  EXPECT_EQ(memory.ceilLog2(1024.0), 10.0);
}

TEST(MemoryHandling, SmallGridIsOneZeroFilledBlock) {
  TestMemory memory(nullptr);
  Grid grid = memory.matrix(1, 10, 1, 5, 10);
  EXPECT_EQ(grid[0], nullptr);
  for (long row = 1; row <= 10; ++row) {
    ASSERT_NE(grid[row], nullptr);
    if (row > 1) {
      EXPECT_EQ(grid[row] - grid[row - 1], 6) << "rows of one block lie back to back";
    }
    for (long col = 0; col <= 5; ++col) EXPECT_EQ(grid[row][col], 0.0);
  }
  memory.free_matrix(grid, 1, 10, 1, 5);
}

TEST(MemoryHandling, StripKeepsRowsOutsideItsRangeNull) {
  TestMemory memory(nullptr);
  Grid grid = memory.matrix(101, 200, 1, 7, 400);
  for (long row = 0; row <= 400; ++row) EXPECT_EQ(grid[row] != nullptr, row >= 101 && row <= 200);
  grid[150][7] = 3.5;
  memory.free_matrix(grid, 101, 200, 1, 7);
}

// Narrowed in place, a grid keeps the values of its kept rows under the same
// row table; the dropped rows are null and the kept ones free as a strip.
TEST(MemoryHandling, NarrowedGridKeepsItsRowsAndDropsTheOthers) {
  struct Case {
    long first, last, keepFirst, keepLast, columns;
  };
  // Small, split over several blocks, already narrow.
  const Case cases[] = {{1, 10, 4, 6, 5}, {1, 3000, 1, 1501, 2000}, {3, 8, 3, 8, 4}};
  for (const Case& k : cases) {
    TestMemory memory(nullptr);
    Grid grid = memory.matrix(k.first, k.last, 1, k.columns, k.last);
    for (long r = k.first; r <= k.last; ++r)
      for (long c = 0; c <= k.columns; ++c) grid[r][c] = 1000.0 * r + c;
    memory.narrowMatrix(grid, k.first, k.last, k.keepFirst, k.keepLast, k.columns);
    for (long r = 0; r <= k.last; ++r) {
      const bool kept = r >= k.keepFirst && r <= k.keepLast;
      ASSERT_EQ(grid[r] != nullptr, kept) << "row " << r << " of " << k.last;
      if (kept) {
        EXPECT_EQ(grid[r][k.columns], 1000.0 * r + k.columns) << "row " << r;
      }
    }
    memory.free_matrix(grid, k.keepFirst, k.keepLast, 1, k.columns);
  }
}

TEST(MemoryHandling, LargeGridIsSplitIntoPowerOfTwoBlocks) {
  TestMemory memory(nullptr);
  // 2000 columns: 16008 bytes a row; 3000 rows do not fit in one power of two.
  const long rows = 3000;
  Grid grid = memory.matrix(1, rows, 1, 2000, rows);
  long breaks = 0;
  for (long row = 2; row <= rows; ++row)
    if (grid[row] - grid[row - 1] != 2001) ++breaks;
  EXPECT_GE(breaks, 1);
  EXPECT_LE(breaks, 8) << "a grid costs a handful of blocks";
  grid[rows][2000] = 1.0;
  memory.free_matrix(grid, 1, rows, 1, 2000);
}

TEST(MemoryHandling, StackStoresTheLevelsOfACellTogether) {
  TestMemory memory(nullptr);
  Stack stack = memory.three_d_matrix(2, 4, 1, 6, 4, 5);
  EXPECT_EQ(stack[0], nullptr);
  EXPECT_EQ(stack[1], nullptr);
  EXPECT_EQ(stack[5], nullptr);
  for (long row = 2; row <= 4; ++row) {
    EXPECT_EQ(stack[row][3], stack[row][0] + 15);
    EXPECT_EQ(stack[row][4] - stack[row][3], 5);
    for (long level = 0; level <= 4; ++level) EXPECT_EQ(stack[row][6][level], 0.0);
  }
  memory.free_three_d_matrix(stack, 2, 4);
}

TEST(MemoryHandling, RefusesRowsLongerThanABlock) {
  const std::string dir = makeTestDirectory("memory");
  std::ostringstream console;
  DiagStream diag(dir + "/d.xml", 4, &console);
  TestMemory memory(&diag);
  const long hugeColumn = 2147480000L / 8;
  EXPECT_EQ(exitCodeOf([&] { memory.matrix(1, 2, 1, hugeColumn, 2); }), 1);
  Grid grid = memory.matrix(1, 2, 1, 5, 2);
  EXPECT_EQ(exitCodeOf([&] { memory.free_matrix(grid, 1, 2, 1, hugeColumn); }), 1);
  memory.free_matrix(grid, 1, 2, 1, 5);
  EXPECT_NE(console.str().find("too long matrix rows"), std::string::npos);
}

TEST(MemoryHandling, RefusedGuardedAllocationNamesTheModule) {
  const std::string dir = makeTestDirectory("memory81");
  std::ostringstream console;
  DiagStream diag(dir + "/d.xml", 4, &console);
  TestMemory memory(&diag);
  EXPECT_EQ(exitCodeOf([&] { memory.memoryAllocationError(7); }), 81);
  EXPECT_NE(console.str().find("memory allocation error in testmodule (7)"), std::string::npos);
  void* bytes = memory.checkedCalloc(2401, 1);
  EXPECT_EQ(static_cast<char*>(bytes)[2400], 0);
  std::free(bytes);
  for (long count : {0L, -5L}) {
    EXPECT_EQ(exitCodeOf([&] { std::free(memory.checkedCalloc(count, 3)); }), 81);
    EXPECT_NE(console.str().find("memory allocation error in testmodule (3): " +
                                 std::to_string(count) + " bytes asked for"),
              std::string::npos)
        << console.str();
  }
}
