#include "soil/cell_record.h"

bool CellRecord::holds(const void* array) const {
  for (const Array& a : table)
    if (a.grid == array || a.stack == array) return true;
  return false;
}

void CellRecord::addGrid(Grid grid) {
  if (!grid || holds(grid)) return;
  table.push_back(Array{grid, nullptr, 1});
  recordLength += 1;
}

void CellRecord::addStack(Stack stack, long levels) {
  if (!stack || holds(stack)) return;
  table.push_back(Array{nullptr, stack, levels + 1});
  recordLength += levels + 1;
}

long CellRecord::pack(long row, long column, double* buffer, long offset) const {
  for (const Array& a : table) {
    if (a.grid) {
      buffer[offset++] = a.grid[row][column];
      continue;
    }
    const double* cell = a.stack[row][column];
    for (long k = 0; k < a.values; ++k) buffer[offset++] = cell[k];
  }
  return offset;
}

long CellRecord::unpack(long row, long column, const double* buffer, long offset) const {
  for (const Array& a : table) {
    if (a.grid) {
      a.grid[row][column] = buffer[offset++];
      continue;
    }
    double* cell = a.stack[row][column];
    for (long k = 0; k < a.values; ++k) cell[k] = buffer[offset++];
  }
  return offset;
}
