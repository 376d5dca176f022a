#include "core/collective_status.h"

#include <mpi.h>

#include "core/diag_stream.h"

void worldRankAndSize(int& rank, int& size) {
  int initialised = 0;
  MPI_Initialized(&initialised);
  if (!initialised) return;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
}

std::string mpiErrorText(int result) {
  char text[MPI_MAX_ERROR_STRING] = {};
  int length = 0;
  if (MPI_Error_string(result, text, &length) != MPI_SUCCESS)
    return "MPI error " + std::to_string(result);
  return std::string(text, static_cast<size_t>(length));
}

CollectiveFailure agreeOnFailure(int localCode, int reductionFailedCode) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  // MAXLOC picks the lowest rank among equal codes.
  struct {
    int code;
    int rank;
  } local{localCode, rank}, worst{0, 0};
  if (MPI_Allreduce(&local, &worst, 1, MPI_2INT, MPI_MAXLOC, MPI_COMM_WORLD) != MPI_SUCCESS)
    return CollectiveFailure{localCode != 0 ? localCode : reductionFailedCode, rank};
  return CollectiveFailure{worst.code, worst.rank};
}

void checkMPI(DiagStream& diag, int result, const char* call) {
  if (result == MPI_SUCCESS) return;
  diag << "FATAL: " << call << " failed: " << mpiErrorText(result) << "[end-entry]";
  throw mpiCallFailed;
}

void broadcastText(DiagStream& diag, std::string& text, int root, const char* call) {
  unsigned long length = text.size();
  checkMPI(diag, MPI_Bcast(&length, 1, MPI_UNSIGNED_LONG, root, MPI_COMM_WORLD), call);
  text.resize(length);
  if (length > 0)
    checkMPI(diag, MPI_Bcast(text.data(), static_cast<int>(length), MPI_CHAR, root, MPI_COMM_WORLD),
             call);
}

void shareExitCode(DiagStream& diag, int ownCode) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  struct {
    int code;
    int rank;
  } local{ownCode, rank}, worst{0, 0};
  checkMPI(diag, MPI_Allreduce(&local, &worst, 1, MPI_2INT, MPI_MAXLOC, MPI_COMM_WORLD),
           "MPI_Allreduce of the set-up status");
  // Only rank 0 writes the diagnostics file: what another process found
  // must reach it there, not only that process's console.
  if (worst.code != 0 && worst.rank != 0) {
    std::string text = rank == worst.rank ? diag.lastWorkerFatal() : std::string();
    broadcastText(diag, text, worst.rank, "MPI_Bcast of a process's failure");
    if (!text.empty()) diag << "FATAL: on process " << worst.rank << ": " << text << "[end-entry]";
  }
  if (ownCode != 0) throw ownCode;
  if (worst.code != 0) throw worst.code;
}
