#include "core/memory_handling.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "core/diag_stream.h"

namespace {

constexpr long maxBlockBytes = 2147480000;
constexpr long blockOverhead = 24;

// One block of a grid: its first row and its number of rows.
struct RowBlock {
  long firstRow;
  long rows;
};

} // namespace

double memory_handling::ceilLog2(double value) {
  double count = 0.0;
  while (value > 1.0) {
    value /= 2.0;
    count += 1.0;
  }
  return count;
}

// Splits rows firstRow..lastRow into the blocks of matrix(); free_matrix()
// repeats the same split so that it releases exactly the allocated blocks.
template <typename Visit>
static void forEachRowBlock(memory_handling& memory, DiagStream* diag, long firstRow, long lastRow,
                            long lastColumn, Visit visit) {
  const long rowBytes = 8 * (lastColumn + 1);
  if (rowBytes + blockOverhead > maxBlockBytes) {
    if (diag)
      *diag << "FATAL: too long matrix rows"
            << "[end-entry]";
    else
      std::cerr << "FATAL: too long matrix rows\n";
    throw 1;
  }
  const long total = (lastRow - firstRow + 2) * rowBytes;
  const long tenth = static_cast<long>(0.1 * static_cast<double>(total));
  long current = firstRow;
  long remaining = total;
  while (current <= lastRow) {
    const double exponent = memory.ceilLog2(static_cast<double>(remaining + blockOverhead));
    const double power = std::ldexp(1.0, static_cast<int>(exponent));
    const double halfPower = std::ldexp(1.0, static_cast<int>(exponent) - 1);
    if ((remaining <= tenth && power < maxBlockBytes) ||
        static_cast<double>(rowBytes + blockOverhead) > halfPower) {
      visit(RowBlock{current, lastRow - current + 1});
      return;
    }
    long blockBytes = static_cast<long>(halfPower) - blockOverhead;
    if (blockBytes > maxBlockBytes) blockBytes = maxBlockBytes;
    long rows = blockBytes / rowBytes;
    if (rows < 1) rows = 1;
    if (rows > lastRow - current + 1) rows = lastRow - current + 1;
    visit(RowBlock{current, rows});
    current += rows;
    remaining = (lastRow + 1 - current) * rowBytes;
    if (remaining <= 0) return;
  }
}

Grid memory_handling::matrix(long firstRow, long lastRow, long /*firstColumn*/, long lastColumn,
                             long totalRows) {
  const long width = lastColumn + 1;
  const long tableEntries = (totalRows < 1 ? lastRow : totalRows) + 1;
  // Validate the row length before taking any memory.
  forEachRowBlock(*this, diag, firstRow, firstRow - 1, lastColumn, [](RowBlock) {});
  Grid grid = static_cast<Grid>(std::calloc(static_cast<size_t>(tableEntries), sizeof(double*)));
  if (!grid) {
    if (diag)
      *diag << "FATAL: memory allocation error 1 in matrix()"
            << "[end-entry]";
    throw 1;
  }
  forEachRowBlock(*this, diag, firstRow, lastRow, lastColumn, [&](RowBlock block) {
    double* memory =
        static_cast<double*>(std::calloc(static_cast<size_t>(block.rows * width), sizeof(double)));
    if (!memory) {
      if (diag)
        *diag << "FATAL: memory allocation error 2 in matrix()"
              << "[end-entry]";
      throw 1;
    }
    for (long r = 0; r < block.rows; ++r) grid[block.firstRow + r] = memory + r * width;
  });
  return grid;
}

void memory_handling::free_matrix(Grid grid, long firstRow, long lastRow, long /*firstColumn*/,
                                  long lastColumn) {
  if (!grid) return;
  forEachRowBlock(*this, diag, firstRow, lastRow, lastColumn, [&](RowBlock block) {
    std::free(grid[block.firstRow]);
    grid[block.firstRow] = nullptr;
  });
  if (grid[0]) std::free(grid[0]);
  std::free(grid);
}

void memory_handling::narrowMatrix(Grid grid, long firstRow, long lastRow, long keepFirst,
                                   long keepLast, long lastColumn) {
  if (!grid || (keepFirst == firstRow && keepLast == lastRow)) return;
  const Grid kept = matrix(keepFirst, keepLast, 1, lastColumn, keepLast);
  const std::size_t rowBytes = static_cast<std::size_t>(lastColumn + 1) * sizeof(double);
#pragma omp parallel for schedule(runtime)
  for (long r = keepFirst; r <= keepLast; ++r) std::memcpy(kept[r], grid[r], rowBytes);
  forEachRowBlock(*this, diag, firstRow, lastRow, lastColumn,
                  [&](RowBlock block) { std::free(grid[block.firstRow]); });
  for (long r = firstRow; r <= lastRow; ++r)
    grid[r] = r >= keepFirst && r <= keepLast ? kept[r] : nullptr;
  std::free(kept);
}

void memory_handling::fillRows(Grid grid, long firstRow, long lastRow, long ncols, double value) {
#pragma omp parallel for schedule(runtime)
  for (long r = firstRow; r <= lastRow; ++r) std::fill(grid[r] + 1, grid[r] + ncols + 1, value);
}

Stack memory_handling::three_d_matrix(long firstRow, long lastRow, long /*firstColumn*/,
                                      long lastColumn, long lastLevel, long totalRows) {
  const long tableEntries = (totalRows < 1 ? lastRow : totalRows) + 1;
  auto fail = [this](const char* message) {
    if (diag) *diag << message << "[end-entry]";
    throw 1;
  };
  Stack stack =
      static_cast<Stack>(std::calloc(static_cast<size_t>(tableEntries), sizeof(double**)));
  if (!stack) fail("FATAL: memory allocation error (1) in 3_d_matrix()");
  const long levels = lastLevel + 1;
  for (long row = firstRow; row <= lastRow; ++row) {
    double** columns =
        static_cast<double**>(std::calloc(static_cast<size_t>(lastColumn + 1), sizeof(double*)));
    if (!columns) fail("FATAL: memory allocation error (2) in 3_d_matrix()");
    double* block = static_cast<double*>(
        std::calloc(static_cast<size_t>((lastColumn + 1) * levels), sizeof(double)));
    if (!block) {
      std::free(columns);
      fail("FATAL: memory allocation error (3) in 3_d_matrix()");
    }
    for (long c = 0; c <= lastColumn; ++c) columns[c] = block + c * levels;
    stack[row] = columns;
  }
  return stack;
}

void memory_handling::free_three_d_matrix(Stack stack, long firstRow, long lastRow) {
  if (!stack) return;
  for (long row = firstRow; row <= lastRow; ++row) {
    if (!stack[row]) continue;
    std::free(stack[row][0]);
    std::free(stack[row]);
    stack[row] = nullptr;
  }
  if (stack[0]) {
    std::free(stack[0][0]);
    std::free(stack[0]);
  }
  std::free(stack);
}

void* memory_handling::checkedCalloc(long bytes, int callerId) {
  // No caller means to ask for nothing: a count of 0 or less is a count
  // gone wrong, and a byte in its place would be overrun at once.
  if (bytes <= 0) {
    if (diag)
      *diag << "FATAL: memory allocation error in " << moduleName << " (" << callerId
            << "): " << bytes << " bytes asked for; please report to the author"
            << "[end-entry]";
    throw 81;
  }
  void* memory = std::calloc(static_cast<size_t>(bytes), 1);
  if (!memory) memoryAllocationError(callerId);
  return memory;
}

void memory_handling::memoryAllocationError(int callerId) {
  if (diag)
    *diag << "FATAL: memory allocation error in " << moduleName << " (" << callerId << ")"
          << "[end-entry]";
  throw 81;
}
