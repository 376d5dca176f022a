#pragma once

#include <string>

class DiagStream;

// Helpers for file operations that every process of the world communicator
// takes part in: a failure on one process must reach all of them before the
// next collective call, or the others would wait in it for ever.

// This process's rank in MPI_COMM_WORLD and the number of processes; both
// stay as they are when MPI is not initialised (a test without mpirun).
void worldRankAndSize(int& rank, int& size);

// The text of an MPI error code, for failure messages.
std::string mpiErrorText(int result);

// The largest failure code among all processes and the lowest rank that
// reported it; code 0 when every process passed 0. Collective over
// MPI_COMM_WORLD. If the reduction itself fails, the process keeps its own
// code, or takes reductionFailedCode when it had none.
struct CollectiveFailure {
  int code = 0;
  int rank = 0;
};
CollectiveFailure agreeOnFailure(int localCode, int reductionFailedCode);

// Exit code of an MPI call that reports a failure.
constexpr int mpiCallFailed = 121;

// Ends the run with a FATAL entry naming the call when result is not
// MPI_SUCCESS.
void checkMPI(DiagStream& diag, int result, const char* call);

// Hands the text of process root to every process; call names the broadcast
// in a failure.
void broadcastText(DiagStream& diag, std::string& text, int root, const char* call);

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
// failed process its own code, the others the highest code held. Used where
// rank 0 works alone and the others would otherwise wait in the next
// collective call.
void shareExitCode(DiagStream& diag, int ownCode);
