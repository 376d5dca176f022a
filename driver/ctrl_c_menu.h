#pragma once

#include <cstdio>
#include <string>

class DiagStream;

// What the run does after Ctrl-C, or after a command of the external
// program in coupling mode: the user's answer in the Ctrl-C menu, or the
// command word of the semaphore file.
enum class RunAnswer {
  goOn = 0,              // "Continue"
  finish = 1,            // "Finish": the run ends with the next step, writing all grids and buffers
  stopWithoutSaving = 2, // "StopWithoutSaving": the process ends at once with exit code 98
  flushAndGoOn = 3,      // "SaveAndContinue"
  unanswered = 4,        // the menu's input ended: nobody can answer, the run ends
  terminated = 5         // SIGTERM: the run ends
};

// Exit code of a run the user or the external program stopped without saving.
constexpr int stopWithoutSavingCode = 98;
// Exit code of a run ended by SIGTERM, or by Ctrl-C (SIGINT) that nobody
// answers.
constexpr int endedBySignalCode = 99;

// Rank 0 shows the menu on the console and reads the answer from input: the
// first character of the line other than blanks; any other character or an
// empty line count as 0, the end of the input before any character as
// unanswered (a run in the background). Other ranks return goOn without
// reading.
RunAnswer askCtrlCMenu(DiagStream& diag, std::FILE* input, int rank);

// The answer of a semaphore file's "Command=" word; an unknown word or a file
// without the command logs a warning and counts as goOn.
RunAnswer answerOfCommand(DiagStream& diag, const std::string& firstLine,
                          const std::string& fileName);

// Collective: the largest value of all processes, reduced to rank 0 and
// broadcast from there.
int agreeOnMaximum(DiagStream& diag, int value);
