#pragma once

#include <csignal>

// The process-wide Ctrl-C state: 0 nothing pending; 1 Ctrl-C was pressed and
// the run loop has not handled it yet. The run loop stores the user's answer
// in it as well.
extern volatile std::sig_atomic_t ctrlCState;

// The signal that asks the run to end (SIGTERM, what schedulers send
// first), 0 while none came. The handler only sets it; the run looks at it
// between steps, on every process together.
extern volatile std::sig_atomic_t endSignal;

// Installs the handler that sets endSignal on SIGTERM.
void takeOverTermination();

// Installs the program's SIGINT handler again. The handler ignores further
// presses until the run loop re-arms it.
void ArmCtrlCHandler();

// Restores the default action of SIGINT (the process ends on Ctrl-C), or
// after takeOverCtrlC arms the handler.
void ResetCtrlCHandler();

// Under mpirun Ctrl-C never reaches the model: Open MPI keeps SIGINT for
// itself and ends the job, but it forwards SIGUSR1 to every process.
constexpr int menuSignal = SIGUSR1;

// For the rest of the process Ctrl-C and menuSignal only set the Ctrl-C
// state, which the program looks at in its next collective step, so that
// no interruption leaves its files or its diagnostics file half written:
// ResetCtrlCHandler arms the handler instead of the default action.
void takeOverCtrlC();

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
