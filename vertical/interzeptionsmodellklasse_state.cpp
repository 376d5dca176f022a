// The temperature history of the canopy snow model beside the state files:
// the canopy's daily mean temperature of a warm start's first steps then
// covers the day before, as in a run through, not only the steps since the
// start.
#include <algorithm>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "vertical/interzeptionsmodellklasse.h"
#include "vertical/zone_grid.h"

namespace {

const char* const historyFile = "CanopyTemperatureHistory";

} // namespace

// Level k holds the k-th oldest grid, so that a warm start pushes them in
// the same order and sums the same values in the same order.
void interzeptionsmodellklasse::writeTemperatureHistory() {
  const int held = temperatureHistory->count();
  if (held < 1) return;
  Stack stack = three_d_matrix(heldFirst, heldLast, 1, header.ncols, held - 1, header.nrows);
#pragma omp parallel for schedule(runtime)
  for (long r = heldFirst; r <= heldLast; ++r)
    for (long c = 1; c <= header.ncols; ++c) std::fill_n(stack[r][c], held, header.nodata);
  for (int k = 0; k < held; ++k) {
    const Grid g = temperatureHistory->heldGrid(k);
    cells.forEach([&](long r, long c) { stack[r][c][k] = g[r][c]; });
  }
  // Registered for the write alone, which gathers it as it gathers any stack.
  const int index = freeRegistryEntry(*this);
  registerGrid(index, historyFile, nullptr, stack, static_cast<unsigned>(held - 1), historyFile, 0,
               heldFirst, heldLast);
  const int code = catchExitCode([&] { writeRegisteredStack(index, historyFile); });
  unregisterGrid(index);
  free_three_d_matrix(stack, heldFirst, heldLast);
  if (code != 0) throw code;
}

void interzeptionsmodellklasse::readTemperatureHistory() {
  if (!initialStateFileExists(historyFile)) {
    *diag << "WARNING: no stack " << historyFile
          << " of a former run in the directory of the initial states: the daily mean "
             "temperature of the canopy snow starts from the first step"
          << "[end-entry]";
    return;
  }
  Stack read = nullptr;
  const int last = readStack(historyFile, read, false);
  // A history of shorter steps keeps its newest day.
  for (int k = std::max(0, last + 1 - temperatureHistory->capacity()); k <= last; ++k) {
    Grid g = temperatureHistory->next();
    cells.forEach([&](long r, long c) { g[r][c] = read[r][c][k]; });
    temperatureHistory->push();
  }
  free_three_d_matrix(read, header.firstRow, header.lastRow);
}
