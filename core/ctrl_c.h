#pragma once

#include <csignal>

// The process-wide Ctrl-C state: 0 nothing pending; 1 Ctrl-C was pressed and
// the run loop has not handled it yet. The run loop stores the user's answer
// in it as well.
extern volatile std::sig_atomic_t ctrlCState;

// Installs the program's SIGINT handler again. The handler ignores further
// presses until the run loop re-arms it.
void ArmCtrlCHandler();

// Restores the default action of SIGINT (the process ends on Ctrl-C).
void ResetCtrlCHandler();

// Ignores SIGINT while a file is read or written, so that a result file is
// never left half written.
void IgnoreCtrlC();

// Ignores SIGINT for its lifetime, so that a file is never left half
// written by Ctrl-C; on every way out it installs the program's handler
// again or, where the file's reader asks for it, restores the default action.
class CtrlCIgnoredScope {
public:
  enum class Afterwards { ArmHandler, DefaultAction };
  explicit CtrlCIgnoredScope(Afterwards then = Afterwards::ArmHandler) : afterwards(then) {
    IgnoreCtrlC();
  }
  ~CtrlCIgnoredScope() {
    if (afterwards == Afterwards::ArmHandler)
      ArmCtrlCHandler();
    else
      ResetCtrlCHandler();
  }
  CtrlCIgnoredScope(const CtrlCIgnoredScope&) = delete;
  CtrlCIgnoredScope& operator=(const CtrlCIgnoredScope&) = delete;

private:
  Afterwards afterwards;
};
