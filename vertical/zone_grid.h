#pragma once

#include "core/grid_types.h"

class modelobject;

// The grids a module of vertical/ registers over its held rows.

// The first free registry entry; a full registry logs "FATAL: no free grid
// left" with the registry's limit and ends the run with code 12.
int freeRegistryEntry(modelobject& module);
// A grid over the rows first .. last with `inside` in the cells of the
// zone grid (registry entry 1) and nodata elsewhere.
Grid zoneFilledGrid(modelobject& module, long first, long last, double inside);
