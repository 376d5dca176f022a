#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One hydrologic response unit of the spin-up: the cells of one class
// combination. The sub-models compute its master cell and copy the states of
// the other cells from it.
struct HRUClass {
  // The unit's number, the same on every process: units are numbered from 1
  // in the order in which a scan of the whole grid in row order meets them;
  // 0 only for the placeholder.
  std::uint64_t index = 0;
  // The class combination: the grid value without decimals ("%0.lf") when
  // the units come from the grid "HydrologicResponseUnits", else one class
  // per grid with at least four digits, each followed by an apostrophe
  // ("0003'0012'").
  std::string key;
  // The master cell: the unit's first cell in row order over the whole
  // grid, the same on every process; its owner computes it, the other
  // processes copy its state.
  std::int32_t masterRow = 0;
  std::int32_t masterColumn = 0;
  bool flag = false;
};

// Element i is unit number i; element 0 is the placeholder.
using HRUList = std::vector<HRUClass>;
