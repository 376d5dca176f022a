#pragma once

#include <cstddef>
#include <vector>

#include "core/exact_sum.h"
#include "core/shared_exact_sums.h"
#include "core/grid_types.h"

// Zone records that the module's own cells fill: what the cells add is held
// exactly beside the records' values until it is packed, so that the sums
// over the processes come out the same however the cells are divided among
// them.
class RunoffRecords {
public:
  // Records 0 .. count - 1, zeroed.
  void resize(std::size_t count);
  std::size_t size() const { return records.size(); }
  ZoneRecord& operator[](std::size_t i) { return records[i]; }
  const ZoneRecord& operator[](std::size_t i) const { return records[i]; }

  // valueSum += value, weightSum += weight, effectiveWeight += effective;
  // the threads of a parallel region may add at the same time.
  void add(std::size_t i, double value, double weight, double effective);
  // Records 1 .. last - 1 take the sums of the record after them; the last
  // one starts empty.
  void shift();
  // Empties the sums of every record.
  void clearSums();
  // The sums of record i, its values and what was added: weightSum,
  // valueSum, effectiveWeight.
  void pack(std::size_t i, ExactSum* out);
  // Sets the values of record i from three packed sums, rounded.
  void unpack(std::size_t i, const ExactSum* in);

  // Sums records 1 .. size - 1 of every set over the processes into rank
  // 0's, which then hold the whole sums without rounding errors carried on;
  // the other processes' start empty. Returns MPI_SUCCESS or the code of the
  // failing call, named in failedCall. Collective.
  static int sumOnRoot(const std::vector<RunoffRecords*>& sets, const char*& failedCall);

private:
  std::vector<ZoneRecord> records;
  SharedExactSums added; // three per record
};
