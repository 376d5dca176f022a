#pragma once

#include <vector>

#include "core/grid_types.h"
#include "submodel/model_context.h"
#include "submodel/own_cells.h"

class DiagStream;

// Collective. Cells with a glacier on them compute on their own, and a unit
// whose master lies under a glacier takes its first cell without one as its
// master. A master under a glacier keeps no soil and no pack beside the
// glacier for its copies, and a copy with another glacier share than its
// master would take a glacier pack that is not its own.
//
// cells are the process's own cells (without a master filter); units is
// "HydrologicResponseUnits", masterGrid "MasterHydrologicResponseUnits",
// whose value marks a cell that computes; a cell has a glacier where one of
// glaciers (shares or codes) is above 0. A cell that once computed on its own goes on doing so, so
// that no state jumps when a glacier retreats. Returns whether a master
// moved or a cell began to compute on its own on any process; then every
// copy of the units must be built anew.
bool moveMastersOffGlaciers(const OwnCells& cells, Grid units, Grid masterGrid,
                            const std::vector<Grid>& glaciers, std::vector<HRUMasterCell>& masters,
                            DiagStream& diag);
