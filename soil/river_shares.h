#pragma once

#include <cstddef>
#include <vector>

// What a river cell would take from its record in a sub-step (m^3/s), with
// the cell's place in the whole grid, (row - 1) * columns + column, and its
// record; three doubles, so that demands travel as one block.
struct RiverDemand {
  double position;
  double record;
  double rate;
};

// The demands of records 0 .. records - 1, each summed in the order of the
// cells' places, whatever order they came in: the same sums on any layout.
// Sorts demands.
std::vector<double> demandsByRecord(std::vector<RiverDemand>& demands, std::size_t records);
