#pragma once

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <vector>

// One block of `count` values per OpenMP thread, for the partial sums of a
// parallel loop: each thread adds into its own block, and the blocks are
// merged after the loop. Exact sums (ExactSum, counts) merged so come out
// the same however the rows were shared among the threads.
template <typename Value> class ThreadBlocks {
public:
  // Empties the blocks, one per thread that a parallel region may have now;
  // allocates only when that number or count changed.
  void reset(std::size_t valueCount) {
    const std::size_t size = static_cast<std::size_t>(omp_get_max_threads()) * valueCount;
    count = valueCount;
    if (values.size() != size)
      values.assign(size, Value{});
    else
      std::fill(values.begin(), values.end(), Value{});
  }
  // The calling thread's block.
  Value* mine() { return values.data() + static_cast<std::size_t>(omp_get_thread_num()) * count; }
  // Calls merge(i, value) for value i of every block, block by block.
  template <typename Merge> void forEachValue(Merge merge) const {
    for (std::size_t k = 0; k < values.size(); ++k) merge(k % count, values[k]);
  }

private:
  std::size_t count = 0;
  std::vector<Value> values;
};
