#pragma once

#include <vector>

#include "core/grid_types.h"

// The whole state of one soil cell as a run of doubles: every distinct
// array that exists, in the order it was added; a grid gives one value, a
// stack its levels 0 .. L. The same table packs, unpacks and substitutes the
// rows, so that the two ends of an exchange always agree.
class CellRecord {
public:
  struct Array {
    Grid grid = nullptr;
    Stack stack = nullptr;
    long values = 1; // levels + 1 for a stack
  };

  // Absent arrays and arrays already in the record are skipped: one array
  // must have one substitute row, whatever name it was found under.
  void addGrid(Grid grid);
  void addStack(Stack stack, long levels);

  long length() const { return recordLength; }
  const std::vector<Array>& arrays() const { return table; }

  // Writes (reads) the record of cell (row, column) at buffer[offset ...];
  // returns the offset behind it.
  long pack(long row, long column, double* buffer, long offset) const;
  long unpack(long row, long column, const double* buffer, long offset) const;

private:
  bool holds(const void* array) const;
  std::vector<Array> table;
  long recordLength = 0;
};
