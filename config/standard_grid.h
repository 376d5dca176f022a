#pragma once

#include <cctype>
#include <string>

#include "core/grid_types.h"

// One grid of "[standard_grids]": how it is read or created, written and
// summarised, and the state of its periodic re-reading. Its names live in
// its registry entry.
struct StandardGrid {
  int index = 0; // registry entry
  int fillCode = 0;
  // Below 1 the grid is created from defaultValue inside the zone grid,
  // otherwise read from its file.
  int readCode = 1;
  double defaultValue = 0.0;
  long writeCode = 0;
  std::string statFile; // empty: no zone statistic
  int statCode = 0;

  // Periodic re-reading from time-stamped files: every periodCount units,
  // at step periodSteps of the period; off while periodCount < 1. The unit
  // is the word as written; its first letter counts (periodUnitLetter).
  int periodCount = -1;
  std::string periodUnit;
  int periodSteps = -1;
  int periodCounter = 0;
  int stepCounter = 0;
  // Larger than any hour, day or month, so that the first step of a run
  // starts a period.
  int lastWatched = 9999;
  // A grid that is not persistent falls back to its set-up values
  // restoreAfter steps after a re-read.
  bool persistent = true;
  int restoreAfter = 0;
  int restoreCountdown = 0;
  bool restorePending = false;
  // The time stamp of the last re-read ("_YYYYMMDDHH"), and the one a warm
  // start reads again at its first step.
  std::string lastStamp;
  std::string warmStamp;
  Grid setupValues = nullptr; // rows setupFirstRow .. setupLastRow
  long setupFirstRow = 0;
  long setupLastRow = 0;
};

// The unit of a periodicity word by its first letter, without regard to
// case: 'H' hours, 'D' days, 'M' months, 'Y' years; 0 for any other word.
inline char periodUnitLetter(const std::string& word) {
  const char letter =
      word.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
  return letter == 'H' || letter == 'D' || letter == 'M' || letter == 'Y' ? letter : '\0';
}
