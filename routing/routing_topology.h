#pragma once

#include <vector>

// The routing topology that irrigation follows downstream; indices are
// subbasin columns (zone indices).
struct RoutingTopology {
  std::vector<int> tributaries; // in reading order from index 1, ended by a value below 1
  std::vector<int> downstream;  // the column a tributary's channel flows into, 0 at an outlet
  std::vector<int> description; // number of the description routing the column, 0 for none
};
