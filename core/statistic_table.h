#pragma once

#include <cstdint>

// One entry of the statistics table that the driver hands to every module:
// the latest line of one statistics series, through which the external
// coupling reads zone values. The arrays (positions 1..valueCount) and the
// name belong to the series and live as long as it does; the entry only
// points to them. An entry is free while currentValues is null.
struct StatisticTableEntry {
  long year = 0;
  long month = 0;
  long day = 0;
  long hour = 0;
  long minute = 0;
  long valueCount = 0;
  double* currentValues = nullptr;
  double* sums = nullptr; // kept by the coupling code between its writes
  double* areaFractions = nullptr;
  const char* name = nullptr;
  std::uint64_t* zoneCodes = nullptr; // 0 at the total position
};

// Index of the first free entry of table[0..size-1], -1 when none is free.
inline long firstFreeStatisticEntry(const StatisticTableEntry* table, long size) {
  for (long k = 0; table && k < size; ++k)
    if (!table[k].currentValues) return k;
  return -1;
}
