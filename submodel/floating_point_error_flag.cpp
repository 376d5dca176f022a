#include "submodel/floating_point_error_flag.h"

#include <atomic>

#include "core/diag_stream.h"

namespace {

using FlagPointer = std::atomic<volatile std::sig_atomic_t*>;
// A signal handler may only touch lock-free atomics.
static_assert(FlagPointer::is_always_lock_free, "the flag table must be lock-free");

// Static storage: every slot starts null.
FlagPointer watchedFlags[FloatingPointErrorFlag::slots];

} // namespace

FloatingPointErrorFlag::~FloatingPointErrorFlag() {
  if (slot >= 0) watchedFlags[slot].store(nullptr);
}

void FloatingPointErrorFlag::watch(DiagStream& diag, const std::string& owner) {
  if (slot >= 0) return;
  for (int k = 0; k < slots; ++k) {
    volatile std::sig_atomic_t* expected = nullptr;
    if (watchedFlags[k].compare_exchange_strong(expected, &value)) {
      slot = k;
      return;
    }
  }
  diag << "FATAL: the floating-point-error flag of " << owner << " cannot be watched: more than "
       << slots << " modules hold one at a time"
       << "[end-entry]";
  throw 103;
}

void FloatingPointErrorFlag::raiseAll() noexcept {
  for (FlagPointer& watched : watchedFlags) {
    volatile std::sig_atomic_t* flag = watched.load();
    if (flag) *flag = 1;
  }
}
