#pragma once

#include <omp.h>

#include <cstddef>
#include <vector>

#include "core/exact_sum.h"

// Exact sums that the threads of a parallel region may add to at once: each
// thread adds into a block of its own, merged into block 0 (where adds
// outside a region go) before the sums are read. The sums so come out the
// same however the cells were shared among the threads.
class SharedExactSums {
public:
  // count zeroed sums, with blocks for the threads a region may have now.
  void assign(std::size_t count);
  std::size_t size() const { return count; }
  // Calls add(sums) with the calling thread's sums from i on. Threads
  // beyond those of assign share one more block, one at a time.
  template <typename Add> void addAt(std::size_t i, Add add) {
    const std::size_t thread = static_cast<std::size_t>(omp_get_thread_num());
    if (thread + 1 < used.size()) {
      if (!used[thread]) used[thread] = 1;
      add(&sums[thread * count + i]);
      return;
    }
#pragma omp critical(sharedExactSumsSpare)
    {
      used.back() = 1;
      add(&sums[(used.size() - 1) * count + i]);
    }
  }
  // The whole sums, the threads' blocks merged in; outside parallel regions.
  ExactSum* merged();
  // Empties every sum; the blocks follow a changed number of threads.
  void clear();
  void release();

private:
  std::size_t count = 0;
  std::vector<ExactSum> sums;
  std::vector<char> used; // per block
};
