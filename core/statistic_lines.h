#pragma once

#include <string>
#include <vector>

class DiagStream;
class zonalstatistic;

// The statistics whose lines take several steps (a daily sum or mean of
// hourly steps: code 4024 or 2024) keep the steps of the line under way in
// memory. A run that ends within a line writes them beside its state files,
// in the text file statisticLinesFile, and the warm start that goes on reads
// them back, so that its lines fall on the same steps and hold the same
// values as those of a run through. One line per statistic:
//
//   <code> <steps so far> <zones n> <3 (n + 1) sums> (<file of the statistic>)
//
// the sums being weightSum, valueSum and effectiveWeight of the zone records
// 0 .. n, with 17 digits. The file of a statistic is named as its owner named
// it, without the output directory, so that a warm start writing elsewhere
// finds it.
class StatisticLines {
public:
  // Every statistic of several steps of this process, in the order made;
  // the statistics enlist and leave themselves.
  static void enlist(zonalstatistic* statistic);
  static void leave(zonalstatistic* statistic);
  static const std::vector<zonalstatistic*>& statistics();
  // Whether any process holds one: channel routing makes its statistics on
  // rank 0 alone. Collective.
  static bool anyOnAnyProcess(DiagStream& diag);

  // Rank 0 writes the lines under way into path. Collective: a failure ends
  // the run on every process (64).
  static void write(DiagStream& diag, const std::string& path);
  // A warm start: rank 0 reads path and goes on with the line of every
  // statistic named there (WARNING for a statistic that is not, or whose
  // code changed: its lines start anew); without the file a WARNING, and
  // every line starts anew. A line no run can have written ends the run
  // with 71, naming the file, the line and the value. Collective.
  static void read(DiagStream& diag, const std::string& path, bool exists);
};

// The name of the file beside the state files.
constexpr const char* statisticLinesFile = "StatisticLines_End";
