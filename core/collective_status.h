#pragma once

#include <string>

// Helpers for file operations that every process of the world communicator
// takes part in: a failure on one process must reach all of them before the
// next collective call, or the others would wait in it for ever.

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
