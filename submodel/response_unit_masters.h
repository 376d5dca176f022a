#pragma once

#include <vector>

#include "core/grid_types.h"
#include "submodel/model_context.h"
#include "submodel/own_cells.h"

class DiagStream;

// Collective. Lone cells compute on their own, and a unit whose master is a
// lone cell takes its first cell that is none as its master. A master under
// a glacier keeps no soil and no pack beside the glacier for its copies,
// and a copy with another glacier share than its master would take a
// glacier pack that is not its own; a copy on a river cell, or the copy of
// a master on one, would take river water that its channel never gave.
//
// cells are the process's own cells (without a master filter); units is
// "HydrologicResponseUnits", masterGrid "MasterHydrologicResponseUnits",
// whose value marks a cell that computes; a cell is lone where one of lone
// (glacier shares or codes, river links) is above 0. A cell that once
// computed on its own goes on doing so, so that no state jumps when a
// glacier retreats. Returns whether a master moved or a cell began to
// compute on its own on any process; then every copy of the units must be
// built anew.
bool moveMastersOffLoneCells(const OwnCells& cells, Grid units, Grid masterGrid,
                             const std::vector<Grid>& lone, std::vector<HRUMasterCell>& masters,
                             DiagStream& diag);
