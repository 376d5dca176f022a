#pragma once

#include <string>

#include "submodel/model_context.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"

// The model context of this process's share of the ragged catchment: the
// registry of the strip module (with "MPIRegions" and "MPIHelper"), its rows,
// column ranges and halo lists, and a control file and an output directory
// of its own.
struct StripContext {
  StripContext(const std::string& name, const std::string& controlText)
      : strips(name, ragged(worldSize())), directory(makeTestDirectory(name + "_files")) {
    const std::string control = directory + "/model.ctl.intern";
    writeFile(control, controlText);
    shareStrips(context, strips);
    context.controlFileName = control;
    context.registry = strips.m.getRegistry();
    context.outputDirectory = directory + "/";
    context.startDate = ModelDate{0, 0, 1, 3, 2021};
    context.endDate = ModelDate{0, 0, 1, 4, 2021};
  }

  // A grid over the rows this process holds: f(r, c) on its own cells,
  // `other` on every other cell, so that a value taken from the wrong
  // process shows.
  template <typename F> void fill(Grid grid, F f, double other = untouched) {
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c)
        grid[r][c] = strips.owner[r][c] == strips.rank ? f(r, c) : other;
  }

  StripModule strips;
  std::string directory;
  ModelContext context;
};
