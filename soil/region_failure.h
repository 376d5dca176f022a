#pragma once

#include <atomic>

// The first exit code raised by any thread of an OpenMP region. An
// exception must not leave a region, so each cell's work runs under run():
// the first code is kept, the cells after it are skipped, and the master
// thread throws it once the region has ended.
class RegionFailure {
public:
  template <typename Work> void run(Work&& work) {
    if (failed()) return;
    try {
      work();
    } catch (int code) {
      int none = 0;
      first.compare_exchange_strong(none, code);
    }
  }
  bool failed() const { return first.load(std::memory_order_relaxed) != 0; }
  // True for the first caller only: the one failure whose FATAL entry is
  // logged.
  bool claimReport() { return !reported.exchange(true); }
  void rethrow() const {
    if (const int code = first.load()) throw code;
  }

private:
  std::atomic<int> first{0};
  std::atomic<bool> reported{false};
};
