#include "core/shared_exact_sums.h"

#include <algorithm>

void SharedExactSums::assign(std::size_t valueCount) {
  count = valueCount;
  const std::size_t blocks = static_cast<std::size_t>(omp_get_max_threads()) + 1;
  sums.assign(blocks * count, ExactSum{});
  used.assign(blocks, 0);
}

ExactSum* SharedExactSums::merged() {
  for (std::size_t t = 1; t < used.size(); ++t) {
    if (!used[t]) continue;
    ExactSum* from = &sums[t * count];
    for (std::size_t i = 0; i < count; ++i) {
      sums[i].add(from[i]);
      from[i].clear();
    }
    used[t] = 0;
  }
  return sums.data();
}

void SharedExactSums::clear() {
  if (used.size() != static_cast<std::size_t>(omp_get_max_threads()) + 1) {
    assign(count);
    return;
  }
  std::fill_n(sums.begin(), count, ExactSum{});
  for (std::size_t t = 1; t < used.size(); ++t) {
    if (used[t]) std::fill_n(sums.begin() + static_cast<std::ptrdiff_t>(t * count), count, ExactSum{});
    used[t] = 0;
  }
}

void SharedExactSums::release() {
  std::vector<ExactSum>().swap(sums);
  std::vector<char>().swap(used);
  count = 0;
}
