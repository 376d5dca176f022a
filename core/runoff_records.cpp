#include "core/runoff_records.h"

#include <mpi.h>

#include <algorithm>

void RunoffRecords::resize(std::size_t count) {
  records.assign(count, ZoneRecord{});
  added.assign(3 * count);
}

void RunoffRecords::add(std::size_t i, double value, double weight, double effective) {
  added.addAt(3 * i, [&](ExactSum* sum) {
    sum[0].add(weight);
    sum[1].add(value);
    sum[2].add(effective);
  });
}

void RunoffRecords::shift() {
  const std::size_t count = records.size();
  ExactSum* sums = added.merged();
  for (std::size_t t = 1; t + 1 < count; ++t) {
    records[t].weightSum = records[t + 1].weightSum;
    records[t].valueSum = records[t + 1].valueSum;
    records[t].effectiveWeight = records[t + 1].effectiveWeight;
    std::copy_n(&sums[3 * (t + 1)], 3, &sums[3 * t]);
  }
  if (count < 2) return;
  ZoneRecord& last = records[count - 1];
  last.weightSum = last.valueSum = last.effectiveWeight = 0.0;
  std::fill_n(&sums[3 * (count - 1)], 3, ExactSum{});
}

void RunoffRecords::clearSums() {
  for (ZoneRecord& r : records) r.weightSum = r.valueSum = r.effectiveWeight = 0.0;
  added.clear();
}

void RunoffRecords::pack(std::size_t i, ExactSum* out) {
  const ZoneRecord& r = records[i];
  std::copy_n(&added.merged()[3 * i], 3, out);
  out[0].add(r.weightSum);
  out[1].add(r.valueSum);
  out[2].add(r.effectiveWeight);
}

void RunoffRecords::unpack(std::size_t i, const ExactSum* in) {
  ZoneRecord& r = records[i];
  r.weightSum = in[0].value();
  r.valueSum = in[1].value();
  r.effectiveWeight = in[2].value();
  std::fill_n(&added.merged()[3 * i], 3, ExactSum{});
}

int RunoffRecords::sumOnRoot(const std::vector<RunoffRecords*>& sets, const char*& failedCall) {
  std::vector<ExactSum> sums;
  for (RunoffRecords* set : sets)
    for (std::size_t t = 1; t < set->size(); ++t) {
      sums.resize(sums.size() + 3);
      set->pack(t, &sums[sums.size() - 3]);
    }
  const int result = reduceExactSums(sums.data(), static_cast<int>(sums.size()), false, failedCall);
  if (result != MPI_SUCCESS) return result;
  int rank = 0;
  const int rankResult = MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rankResult != MPI_SUCCESS) return failedCall = "MPI_Comm_rank", rankResult;
  std::size_t at = 0;
  for (RunoffRecords* set : sets) {
    if (rank != 0) {
      set->clearSums();
      continue;
    }
    for (std::size_t t = 1; t < set->size(); ++t, at += 3) set->unpack(t, &sums[at]);
  }
  return MPI_SUCCESS;
}
