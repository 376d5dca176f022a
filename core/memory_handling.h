#pragma once

#include <string>

#include "core/grid_types.h"

class DiagStream;

// Root of every module: the one way grids and stacks are allocated. Grids
// are carved out of a few large zero-filled blocks (powers of two, at most
// 2147480000 bytes each), so rows of one block are contiguous and a strip of
// rows can be sent or written as one buffer.
class memory_handling {
public:
  virtual ~memory_handling() = default;

  // Levels 0..lastLevel of every cell of rows firstRow..lastRow, columns
  // 0..lastColumn.
  virtual Stack three_d_matrix(long firstRow, long lastRow, long firstColumn, long lastColumn,
                               long lastLevel, long totalRows);
  virtual void free_three_d_matrix(Stack stack, long firstRow, long lastRow);
  // Rows firstRow..lastRow, columns 0..lastColumn, zero-filled.
  virtual Grid matrix(long firstRow, long lastRow, long firstColumn, long lastColumn,
                      long totalRows);
  virtual void free_matrix(Grid grid, long firstRow, long lastRow, long firstColumn,
                           long lastColumn);
  // Of a grid that matrix() allocated over rows firstRow..lastRow, keeps rows
  // keepFirst..keepLast (inside them) in blocks of their own, laid out as
  // matrix() lays them, and frees the others. The row table stays, so every
  // holder of the grid keeps its rows; a dropped row is null, so a late
  // reader fails at once instead of reading freed memory. free_matrix then
  // takes keepFirst..keepLast.
  void narrowMatrix(Grid grid, long firstRow, long lastRow, long keepFirst, long keepLast,
                    long lastColumn);
  // Sets columns 1..ncols of rows firstRow..lastRow to value, the rows
  // shared among the threads: the threads that later compute on the rows
  // first touch their pages.
  static void fillRows(Grid grid, long firstRow, long lastRow, long ncols, double value);
  // bytes zero-filled bytes; code 81 when they are refused or bytes is not
  // positive.
  virtual void* checkedCalloc(long bytes, int callerId);
  [[noreturn]] virtual void memoryAllocationError(int callerId);
  virtual double ceilLog2(double value);

protected:
  DiagStream* diag = nullptr;
  std::string moduleName;
};
