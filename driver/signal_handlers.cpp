#include "driver/signal_handlers.h"

#include <unistd.h>

#include <csignal>

#include "core/console_buffer.h"
#include "core/ctrl_c.h"
#include "submodel/floating_point_error_flag.h"

namespace {

extern "C" void handleFloatingPointError(int, siginfo_t* info, void*) {
  FloatingPointErrorFlag::raiseAll();
  static const char notice[] = "\nSIGFPE: floating-point error flagged for the modules\n";
  noteOnConsole(STDOUT_FILENO, notice, sizeof notice - 1);
  // A fault raised by an instruction would be raised again by the same
  // instruction as soon as the handler returns, for ever: the default action
  // ends the process instead.
  if (info && info->si_code > 0) std::signal(SIGFPE, SIG_DFL);
}

} // namespace

void installSignalHandlers() {
  takeOverCtrlC();
  takeOverTermination();
  struct sigaction action {};
  action.sa_sigaction = handleFloatingPointError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGFPE, &action, nullptr);
}
