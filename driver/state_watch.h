#pragma once

#include <vector>

#include "core/grid_registry.h"
#include "submodel/own_cells.h"

class DiagStream;

// A value that is not finite spreads from its cell through the modules and
// reaches an output far from its cause, or none while outputs come at the
// end of the run. Once a day of model time, at the first step of the day,
// every registered grid and stack is looked at in the cells the process
// computes; the first step that finds one ends the run with
// nonFiniteOutputCode, naming the step, the grids and their first cells.
class StateWatch {
public:
  // Collective: every process calls it after the sub-models of every step.
  void step(const ModelDate& date, const GridRegistryEntry* registry, const OwnCells& cells,
            long nrows, DiagStream& diag);

private:
  // The key of the first cell of entry e that is not finite, or none.
  long long firstNonFinite(const GridRegistryEntry& e, const OwnCells& cells, long nrows) const;
  [[noreturn]] void refuse(const ModelDate& date, const GridRegistryEntry* registry, long ncols,
                           DiagStream& diag) const;

  bool checked = false;
  ModelDate lastCheck;
  std::vector<long long> keys; // per registry entry
};
