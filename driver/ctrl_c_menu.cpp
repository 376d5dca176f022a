#include "driver/ctrl_c_menu.h"

#include <mpi.h>

#include <cctype>

#include "core/collective_status.h"
#include "core/diag_stream.h"

RunAnswer askCtrlCMenu(DiagStream& diag, std::FILE* input, int rank) {
  diag << "SKIP: Ctrl-C: cancel the run?"
       << "[end-entry]";
  diag << "SKIP: 0 = no (continue)"
       << "[end-entry]";
  diag << "SKIP: 1 = cancel with next interval (writing all grids and buffers)"
       << "[end-entry]";
  diag << "SKIP: 2 = cancel now without saving buffers!"
       << "[end-entry]";
  diag << "SKIP: 3 = flush buffers and go on"
       << "[end-entry]";
  diag << "SKIP: your choice: "
       << "[end-entry]";
  if (rank != 0) return RunAnswer::goOn;
  // The whole line is read, so that its line end does not answer the next
  // menu.
  int choice = 0;
  int c = std::fgetc(input);
  if (c == EOF) return RunAnswer::unanswered;
  for (; c != EOF && c != '\n'; c = std::fgetc(input))
    if (choice == 0 && !std::isblank(c)) choice = c;
  switch (choice) {
  case '1':
    return RunAnswer::finish;
  case '2':
    return RunAnswer::stopWithoutSaving;
  case '3':
    return RunAnswer::flushAndGoOn;
  default:
    return RunAnswer::goOn;
  }
}

RunAnswer answerOfCommand(DiagStream& diag, const std::string& firstLine,
                          const std::string& fileName) {
  static const char key[] = "Command=";
  std::string word;
  const std::size_t at = firstLine.find(key);
  if (at != std::string::npos) {
    const std::size_t start = at + sizeof key - 1;
    std::size_t end = start;
    while (end < firstLine.size() && !std::isspace(static_cast<unsigned char>(firstLine[end])))
      ++end;
    word = firstLine.substr(start, end - start);
  }
  if (word == "Continue") return RunAnswer::goOn;
  if (word == "Finish") return RunAnswer::finish;
  if (word == "StopWithoutSaving") return RunAnswer::stopWithoutSaving;
  if (word == "SaveAndContinue") return RunAnswer::flushAndGoOn;
  diag << "WARNING: semaphore file " << fileName << ": unknown command \"" << firstLine
       << "\"; the run goes on (known: Command=Continue, Finish, StopWithoutSaving, "
          "SaveAndContinue)"
       << "[end-entry]";
  return RunAnswer::goOn;
}

int agreeOnMaximum(DiagStream& diag, int value) {
  int maximum = value;
  checkMPI(diag, MPI_Reduce(&value, &maximum, 1, MPI_INT, MPI_MAX, 0, MPI_COMM_WORLD),
           "MPI_Reduce of the Ctrl-C state");
  checkMPI(diag, MPI_Bcast(&maximum, 1, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the Ctrl-C state");
  return maximum;
}
