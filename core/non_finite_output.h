#pragma once

#include <string>

#include "core/grid_types.h"

class DiagStream;

// No run may end well while an output it wrote holds nan or inf: the
// writers look at every value they format or convert anyway, and the first
// one that is not a finite number ends the run with this code before the
// file is in place.
constexpr int nonFiniteOutputCode = 20;

// The first cell of an output, in the order of the file, whose value is not
// a finite number.
struct NonFiniteCell {
  long row = 0; // 0: every value is finite
  long column = 0;
  long level = -1; // the level of a stack, -1 for a grid
  double value = 0.0;

  bool found() const { return row > 0; }
  // Keeps the cell that comes first in the file.
  void takeFirst(const NonFiniteCell& other);
  // "row 3, column 10" (", level 2" for a stack).
  std::string place() const;
};

// Logs the FATAL entry: the file, where in it the value stands, the value
// and the step; returns nonFiniteOutputCode.
int reportNonFiniteOutput(DiagStream& diag, const std::string& file, const std::string& place,
                          double value, const ModelDate& step);

// Collective, once the processes that write parts of one file know that one
// of them found such a value (own, or none): rank 0 names the cell that
// comes first in the file, so that the message does not depend on the
// number of processes, and every process throws nonFiniteOutputCode.
[[noreturn]] void settleNonFiniteOutput(DiagStream& diag, const std::string& file,
                                        const NonFiniteCell& own, const ModelDate& step);
