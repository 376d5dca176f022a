#pragma once

#include <csignal>
#include <string>

class DiagStream;

// The floating-point-error flag of one module: 0 nothing happened, 1 a
// SIGFPE arrived since the module last looked, 2 the module has reported it.
// The driver's SIGFPE handler calls raiseAll, which sets every watched flag
// to 1 and does nothing that is not async-signal-safe.
class FloatingPointErrorFlag {
public:
  static constexpr int slots = 64;

  FloatingPointErrorFlag() = default;
  // Stops watching: the handler never touches a flag that is gone.
  ~FloatingPointErrorFlag();
  FloatingPointErrorFlag(const FloatingPointErrorFlag&) = delete;
  FloatingPointErrorFlag& operator=(const FloatingPointErrorFlag&) = delete;

  // Lets raiseAll set this flag. More than `slots` flags watched at once end
  // the run with code 103; the owner's name goes into the message.
  void watch(DiagStream& diag, const std::string& owner);

  int get() const { return value; }
  void set(int state) { value = state; }

  // Sets every watched flag to 1; async-signal-safe.
  static void raiseAll() noexcept;

private:
  volatile std::sig_atomic_t value = 0;
  int slot = -1;
};
