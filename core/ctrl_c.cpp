#include "core/ctrl_c.h"

#include <unistd.h>

#include "core/console_buffer.h"

volatile std::sig_atomic_t ctrlCState = 0;
volatile std::sig_atomic_t endSignal = 0;

namespace {

bool takenOver = false;

extern "C" void handleCtrlC(int signal) {
  if (signal == SIGINT) std::signal(SIGINT, SIG_IGN);
  if (ctrlCState == 0) {
    ctrlCState = 1;
    static const char message[] = "\nCntr-C pressed! please wait...\n\n";
    // write() is async-signal-safe, unlike the stream library.
    noteOnConsole(STDOUT_FILENO, message, sizeof message - 1);
  }
}

extern "C" void handleTermination(int signal) {
  if (endSignal != 0) return;
  endSignal = signal;
  static const char message[] = "\nSIGTERM: the run ends after its current step\n";
  noteOnConsole(STDOUT_FILENO, message, sizeof message - 1);
}

} // namespace

void ArmCtrlCHandler() { std::signal(SIGINT, handleCtrlC); }

void ResetCtrlCHandler() { std::signal(SIGINT, takenOver ? handleCtrlC : SIG_DFL); }

void IgnoreCtrlC() { std::signal(SIGINT, SIG_IGN); }

void takeOverCtrlC() {
  takenOver = true;
  struct sigaction action {};
  action.sa_handler = handleCtrlC;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(menuSignal, &action, nullptr);
  ArmCtrlCHandler();
}

void takeOverTermination() {
  struct sigaction action {};
  action.sa_handler = handleTermination;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
}
