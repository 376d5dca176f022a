#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include "core/console_buffer.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/netcdf_grid_writer.h"
#include "driver/command_line.h"
#include "driver/modell_application.h"
#include "driver/signal_handlers.h"

namespace {

// A slow terminal or pipe holds the run as any program's would; only a
// run asked to end stops waiting for it.
constexpr int consolePatienceMilliseconds = -1;

// Every process reports itself and its threads; this is the one console
// output of the workers.
void reportProcess(int rank, int size) {
  char host[256] = "unknown";
  gethostname(host, sizeof host - 1);
  std::printf("MPI process %d of %d running on %s\n", rank, size, host);
  int threads = 1;
#pragma omp parallel
  {
#pragma omp critical
    std::printf("This is OpenMP thread %d\n", omp_get_thread_num());
#pragma omp master
    threads = omp_get_num_threads();
  }
  std::printf("*** There are %d OpenMP threads total for MPI process %d\n", threads, rank);
  std::fflush(stdout);
}

// Before the abort: the first process to call MPI_Abort takes the others
// down at once, and rank 0 may still be writing the last entries of its
// diagnostics file. A failure that every process shares brings all of them
// here, and the barrier completes once each has closed its file; a process
// that fails alone stops waiting after a while, since the others may be
// held in a collective call. Rank 0 has closed its file when it comes here,
// and a worker writes each of its entries whole: rank 0 waits only as long
// as the others take to reach a failure they share.
void awaitOthersBeforeAbort(int rank) {
  MPI_Request request = MPI_REQUEST_NULL;
  if (MPI_Ibarrier(MPI_COMM_WORLD, &request) != MPI_SUCCESS) return;
  const auto patience = rank == 0 ? std::chrono::milliseconds(500) : std::chrono::milliseconds(5000);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  int done = 0;
  while (MPI_Test(&request, &done, MPI_STATUS_IGNORE) == MPI_SUCCESS && !done &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Runs every control file in order, each by a model of its own; returns the
// exit code of the last run. A failure throws its exit code.
int runControlFiles(DiagStream* diag, const CommandLine& options) {
  int exitCode = 0;
  for (const std::string& controlFile : options.controlFiles) {
    // Several runs share the process: the first write of a netCDF file in a
    // run replaces what an earlier run left.
    NetCDFGridWriter::resetWrittenFiles();
    *diag << "INFO: control file " << controlFile << "[end-entry]";
    auto model = std::make_unique<ModellApplication>(diag, controlFile, options);
    // Before the set-up, so that Ctrl-C there ends the run in order too.
    installSignalHandlers();
    model->init();
    exitCode = model->run();
    model->ClearMemory();
  }
  return exitCode;
}

} // namespace

int main(int argc, char** argv) {
  // MPI's start takes a good part of a second: SIGTERM in that time, as a
  // scheduler sends it, must end the run in order too, with its diagnostics
  // file. Taken over again after MPI_Init, in case MPI set its own.
  takeOverTermination();
  MPI_Init(&argc, &argv);
  // A failing call returns its code, so that the check around it logs a
  // FATAL entry naming the call before the run ends; the library's default
  // would abort every process with no entry in the diagnostics file.
  MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
  takeOverTermination();
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);

  const CommandLine options = parseCommandLine(argc, argv);
  // A console nobody reads must not hold a run that is asked to end: mpirun
  // told to end the job stops reading it and kills the processes two
  // seconds later.
  ConsoleBuffer outputBuffer(STDOUT_FILENO, consolePatienceMilliseconds);
  ConsoleBuffer errorBuffer(STDERR_FILENO, consolePatienceMilliseconds);
  std::ostream console(&outputBuffer);
  std::ostream errorConsole(&errorBuffer);
  DiagStream* diag = nullptr;
  try {
    diag = new DiagStream(options.diagFile, options.diagLevel, &console, &errorConsole);
  } catch (int code) {
    std::cerr << "FATAL: Exception " << code << " caught at top level!\n"
              << "FATAL: Program aborted with exit code " << code << "\n";
    MPI_Abort(MPI_COMM_WORLD, code);
    return code;
  }

  int exitCode = 0;
  try {
    *diag << "INFO: Horva - distributed hydrological model of river basins"
          << "[end-entry]";
    HORVA_ANNOUNCE_MODULE(*diag);
    reportProcess(rank, size);
    for (const std::string& option : options.unknownOptions)
      *diag << "WARNING: unknown option " << option << " ignored"
            << "[end-entry]";
    if (!options.invalidDumpMode.empty()) {
      *diag << "FATAL: invalid option " << options.invalidDumpMode
            << ": -dumpmode takes nothing or a colon and the maximum number of dump files "
               "(-dumpmode:<max dump files>, 0 for no limit)"
            << "[end-entry]";
      throw invalidDumpModeCode;
    }
    if (options.controlFiles.empty()) {
      *diag << "INFO: " << usageText << "[end-entry]";
      exitCode = 2;
    } else {
      exitCode = runControlFiles(diag, options);
    }
  } catch (int code) {
    *diag << "FATAL: Exception " << code << " caught at top level!"
          << "[end-entry]";
    *diag << "FATAL: Program aborted with exit code " << code << "[end-entry]";
    delete diag;
    awaitOthersBeforeAbort(rank);
    MPI_Abort(MPI_COMM_WORLD, code);
    return code;
  }
  delete diag;
  MPI_Finalize();
  return exitCode;
}
