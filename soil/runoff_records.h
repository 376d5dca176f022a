#pragma once

#include <cstddef>
#include <vector>

#include "core/compensated_sum.h"
#include "core/grid_types.h"

// Zone records that the module's own cells fill, each of their three sums
// with its rounding error, so that the sums over the processes come out the
// same however the cells are divided among them.
class RunoffRecords {
public:
  // Records 0 .. count - 1, zeroed.
  void resize(std::size_t count);
  std::size_t size() const { return records.size(); }
  ZoneRecord& operator[](std::size_t i) { return records[i]; }
  const ZoneRecord& operator[](std::size_t i) const { return records[i]; }

  // valueSum += value, weightSum += weight, effectiveWeight += effective.
  void add(std::size_t i, double value, double weight, double effective);
  // Records 1 .. last - 1 take the sums of the record after them; the last
  // one starts empty.
  void shift();
  // Empties the sums of every record.
  void clearSums();
  // The sums of record i with their errors: weightSum, valueSum,
  // effectiveWeight.
  void pack(std::size_t i, CompensatedSum* out) const;
  // Sets the sums of record i from three packed pairs, errors put back.
  void unpack(std::size_t i, const CompensatedSum* in);

private:
  std::vector<ZoneRecord> records;
  std::vector<double> errors; // three per record
};
