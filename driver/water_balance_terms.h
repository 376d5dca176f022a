#pragma once

#include <string>
#include <vector>

// What a term of the water balance is to the catchment.
enum class BalanceKind {
  input,   // water that enters, mm per step
  output,  // water that leaves, mm per step
  storage, // water held, mm; the balance takes its change over the step
};

// What of a cell a term takes: all of it, only a cell wholly under a
// glacier, the part beside the glacier (all of a cell without one, none of
// one wholly under it), the glacier's share of any cell, the part beside
// the glacier of a cell partly under one and all of any other cell, the
// glacier's share of a cell partly under one, or the part beside the
// glacier as its pack stands for it: as beside, but none of a cell wholly
// under a glacier that keeps a pack of its own.
enum class glacierPart { whole, covered, free, fraction, beside, share, besidePack };

// What of the cells a term takes where channel routing keeps its lakes'
// water on their cells: every cell, the cells of no lake, or the lakes'.
enum class lakePart { any, outside, inside };

// One term: the sum of the registry grids named (those present), times
// factor. A name ending in '#' stands for one grid per land-use layer
// ("#" replaced by 1 .. layer count; layer 0 is
// the modules' total of the layers). soilWater sums the "theta" stack over
// the layers of the cell's soil, times the layer thickness, in mm.
struct BalanceTerm {
  std::string module;
  std::string label;
  BalanceKind kind;
  std::vector<std::string> grids;
  double factor = 1.0;
  bool soilWater = false;
  // The grids hold the last sub-step only: the balance sums every sub-step.
  bool everySubstep = false;
  // With everySubstep: the grids hold m/s, taken times the sub-step's
  // seconds.
  bool perSecond = false;
  // Grids subtracted from the sum.
  std::vector<std::string> less = {};
  // Only on cells whose irrigation draws from groundwater.
  bool groundwaterIrrigation = false;
  glacierPart glacier = glacierPart::whole;
  lakePart lakes = lakePart::any;
  // The grids are stacks: all their levels, nodata as none.
  bool stackLevels = false;
  // Taken before silting-up, which rewrites the grid it takes its water from.
  bool beforeSiltingUp = false;
  // With spin-up response units every cell of a unit keeps its own value
  // here: no module copies it from the unit's master cell.
  bool ownInUnits = false;
  // The soil column's own, which stands for the whole of a lake's cell
  // where channel routing keeps the lake's water there.
  bool column = false;
};

// The terms of every module, in the order the files are written. A module
// that holds water of its own adds its inputs, outputs and storages here.
std::vector<BalanceTerm> waterBalanceTerms();
