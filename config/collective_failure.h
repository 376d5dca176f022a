#pragma once

class DiagStream;

// Set-up steps that rank 0 runs alone must not leave the other processes
// waiting in the next collective call when they fail: the exit code is held,
// shared, and then thrown on every process.

// Runs a step that fails by throwing an int exit code; returns that code, or
// 0 when the step succeeded.
template <typename Step> int catchExitCode(Step&& step) {
  try {
    step();
  } catch (int code) {
    return code;
  }
  return 0;
}

// Collective: when any process holds an exit code, every process throws, a
// failed process its own code, the others the highest code held.
void shareExitCode(DiagStream& diag, int ownCode);

// Exit code of an MPI call that reports a failure during the set-up.
constexpr int mpiCallFailed = 121;

// Ends the run with a FATAL entry naming the call when result is not
// MPI_SUCCESS.
void checkMPI(DiagStream& diag, int result, const char* call);
