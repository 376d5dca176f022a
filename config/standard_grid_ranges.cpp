// Values of standard grids that no catchment has: a mistyped cell would
// pass into the water balance (a river 1e308 m wide, an aquifer thicker
// than the crust) without any message.
#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

#include "config/defaultini.h"
#include "core/civil_calendar.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/grid_file_read.h"

namespace {

struct GridRange {
  const char* name;
  bool layered; // "name<k>" for every layer k
  double lowest, highest;
  bool codes; // whole numbers only
  const char* rule;
};

// Codes end as ints and lookup keys: whole numbers far below INT_MAX.
constexpr double largestCode = 1e9;

const GridRange gridRanges[] = {
    {"river_width", false, 0.0, 10000.0, false, "0 ... 10000 m (wider than any river)"},
    {"river_depth", false, 0.0, 300.0, false, "0 ... 300 m (deeper than any river)"},
    {"river_links", false, 0.0, largestCode, true, "a whole number 0 ... 1e9 (a subbasin code)"},
    {"lake_codes", false, 0.0, largestCode, true, "a whole number 0 ... 1e9 (a lake's number)"},
    {"ice_firn", false, 0.0, 2.0, true, "0 (no glacier), 1 (ice) or 2 (firn)"},
    {"aquifer_thickness_", true, 0.0, 10000.0, false,
     "0 ... 10000 m (thicker than any aquifer)"},
    {"gw_boundary_fix_q_", true, -1.0, 1.0, false,
     "-1 ... 1 m/s (no aquifer conducts more than 1 m/s)"},
};

const GridRange* rangeOf(const std::string& name) {
  for (const GridRange& g : gridRanges) {
    if (!g.layered && name == g.name) return &g;
    const std::string prefix = g.name;
    if (g.layered && name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
      return &g;
  }
  return nullptr;
}

bool inRange(const GridRange& g, double v) {
  return v >= g.lowest && v <= g.highest && (!g.codes || v == std::floor(v));
}

} // namespace

// Collective. The first cell in row order of the first grid in registry
// order, whatever rows each process holds.
void defaultini::refuseStandardGridsOutOfRange() {
  for (const StandardGrid& s : standardGrids) refuseValuesOutOfRange(s.index, "");
}

// A file read during the run is held to the ranges of the set-up: its values
// would otherwise reach the water balance unchecked from the step on.
void defaultini::refuseReadValuesOutOfRange(int index, const std::string& from,
                                            const ModelDate& date) {
  refuseValuesOutOfRange(index,
                         " read again from " + from + " for the step of " + formatDate(date));
}

void defaultini::refuseValuesOutOfRange(int index, const std::string& readAgain) {
  const GridRegistryEntry& e = registry[index];
  const GridRange* range = e.hasName ? rangeOf(e.name) : nullptr;
  if (!range) return;
  long first = LONG_MAX;
  double value = -std::numeric_limits<double>::infinity();
  if (e.grid) {
    const long lo = std::max(1L, e.firstRow);
    const long hi = std::min(header.nrows, e.lastRow);
    for (long r = lo; r <= hi && first == LONG_MAX; ++r) {
      const double* row = e.grid[r];
      if (!row) continue;
      for (long c = 1; c <= header.ncols; ++c)
        if (row[c] != header.nodata && !inRange(*range, row[c])) {
          first = (r - 1) * header.ncols + (c - 1);
          value = row[c];
          break;
        }
    }
  }
  long global = first;
  checkMPI(*diag, MPI_Allreduce(&first, &global, 1, MPI_LONG, MPI_MIN, MPI_COMM_WORLD),
           "MPI_Allreduce of the first grid value out of range");
  if (global == LONG_MAX) return;
  if (first != global) value = -std::numeric_limits<double>::infinity();
  double shown = value;
  checkMPI(*diag, MPI_Allreduce(&value, &shown, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of a grid value out of range");
  *diag << "FATAL: the standard grid \"" << e.name << "\""
        << (readAgain.empty() ? " (" + e.fileName + ")" : readAgain) << " holds " << shown
        << " at row " << global / header.ncols + 1 << ", column " << global % header.ncols + 1
        << ", which must be nodata or " << range->rule << "; correct the "
        << (readAgain.empty() ? "grid" : "file") << "[end-entry]";
  throw gridReadFailedCode;
}
