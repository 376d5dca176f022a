#pragma once

#include "core/grid_registry.h"

class DiagStream;

// Daily, monthly and yearly outputs are written at the step that ends its
// day (core/output_grids.cpp). Stamps that never end a day, such as hours
// 0 to 23 with min_to_int_end 0, leave them to the end of the run, where
// they hold the whole run under the name of its last day. The first day that
// passes so, while such outputs are asked for, is named once in a WARNING
// with the stamps seen and the min_to_int_end that ends the day.
class DayEndWatch {
public:
  explicit DayEndWatch(double minToIntEndMinutes = 0.0) : minToIntEnd(minToIntEndMinutes) {}

  // Every step, in the order of the dates; collective in no way. The entries
  // are looked at once, when the first day passes without its end.
  void step(const ModelDate& date, DiagStream& diag, const GridRegistryEntry* registry);

private:
  void warn(DiagStream& diag, const GridRegistryEntry* registry) const;

  double minToIntEnd;
  bool started = false;
  bool done = false;
  bool dayEnded = false;
  ModelDate first; // the first and the last stamp of the day
  ModelDate last;
};
