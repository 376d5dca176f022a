#include "soil/runoff_records.h"

#include <algorithm>

void RunoffRecords::resize(std::size_t count) {
  records.assign(count, ZoneRecord{});
  errors.assign(3 * count, 0.0);
}

void RunoffRecords::add(std::size_t i, double value, double weight, double effective) {
  ZoneRecord& r = records[i];
  double* e = &errors[3 * i];
  addCompensated(r.weightSum, e[0], weight);
  addCompensated(r.valueSum, e[1], value);
  addCompensated(r.effectiveWeight, e[2], effective);
}

void RunoffRecords::shift() {
  const std::size_t count = records.size();
  for (std::size_t t = 1; t + 1 < count; ++t) {
    records[t].weightSum = records[t + 1].weightSum;
    records[t].valueSum = records[t + 1].valueSum;
    records[t].effectiveWeight = records[t + 1].effectiveWeight;
    std::copy_n(&errors[3 * (t + 1)], 3, &errors[3 * t]);
  }
  if (count < 2) return;
  ZoneRecord& last = records[count - 1];
  last.weightSum = last.valueSum = last.effectiveWeight = 0.0;
  std::fill_n(&errors[3 * (count - 1)], 3, 0.0);
}

void RunoffRecords::clearSums() {
  for (ZoneRecord& r : records) r.weightSum = r.valueSum = r.effectiveWeight = 0.0;
  std::fill(errors.begin(), errors.end(), 0.0);
}

void RunoffRecords::pack(std::size_t i, CompensatedSum* out) const {
  const ZoneRecord& r = records[i];
  const double* e = &errors[3 * i];
  out[0] = CompensatedSum{r.weightSum, e[0]};
  out[1] = CompensatedSum{r.valueSum, e[1]};
  out[2] = CompensatedSum{r.effectiveWeight, e[2]};
}

void RunoffRecords::unpack(std::size_t i, const CompensatedSum* in) {
  ZoneRecord& r = records[i];
  r.weightSum = in[0].value();
  r.valueSum = in[1].value();
  r.effectiveWeight = in[2].value();
  std::fill_n(&errors[3 * i], 3, 0.0);
}
