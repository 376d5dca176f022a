#pragma once

#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/soil/unsatzon_fixture.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"

// The ragged catchment of the MPI tests with every grid the unsaturated
// zone takes from others.
inline double surfaceOf(long r, long c) { return 100.0 + r + 0.1 * c; }
// Two soil types in a checkerboard; the second has thicker layers.
inline int soilOf(long r, long c) { return (r + c) % 2 + 1; }
inline double subbasinOf(long, long c) { return c <= 6 ? 1.0 : 2.0; }

// The unsaturated zone on this process's share of the ragged catchment:
// the registry the set-up would leave, every grid it takes from others.
struct DecomposedUnsatzon {
  // edit changes the section's lines after the defaults.
  explicit DecomposedUnsatzon(const std::string& name, const std::string& extraSections = "",
                              const std::function<void(std::vector<std::string>&)>& edit = nullptr)
      : strips(name, ragged(worldSize())), directory(makeTestDirectory(name + "_files", true)),
        registry(gridRegistrySize), soils(3) {
    char* full = realpath(directory.c_str(), nullptr);
    directory = full;
    std::free(full);
    parseSoilEntry(soils[1], nullptr, siltLoam(4, 0.25), "MultipleHorizons");
    parseSoilEntry(soils[2], nullptr, siltLoam(4, 0.3), "MultipleHorizons");
    soils[0].setCode(2);
    soils[0].setLayerCount(4);
    soils[1].setCode(1);
    soils[2].setCode(2);
    add("[zone_grid]", subbasinOf);
    add("[elevation_model]", surfaceOf);
    add("MPIRegions", strips.regions);
    add("MPIHelper", strips.helper);
    add("soil_types", [](long r, long c) { return double(soilOf(r, c)); });
    add("slope_angle", [](long, long) { return 10.0; });
    for (const char* g :
         {"landuse1", "root_depth1", "vegetation_coverage_degree1", "leaf_area_index1",
          "SurfaceCanopyResistance1", "SurfaceIntercepResistance1", "RoughnessLength1",
          "pot_transpiration0", "pot_transpiration1", "real_transpiration0", "real_transpiration1",
          "SurfaceEvaporationResistance", "albedo", "potential_evaporation", "real_evaporation"})
      add(g, [](long, long) { return 1.0; });

    std::vector<std::string> lines = unsatzonLines(directory);
    lines[7] = "2  ini_gw_level";
    lines[72] = "6 5  control point";
    lines[79] = "1 2  codes";
    if (edit) edit(lines);
    add("precipitation", [](long r, long c) { return double((3 * r + c) % 7); });
    // One writer: a process rewriting the file while another reads it would
    // hand the reader a cut control file.
    if (strips.rank == 0)
      writeFile(directory + "/model.ctl.intern", unsatzonSection(lines) + extraSections);
    MPI_Barrier(MPI_COMM_WORLD);
    shareStrips(context, strips);
    context.controlFileName = directory + "/model.ctl.intern";
    context.registry = registry.data();
    context.outputDirectory = directory + "/";
    context.soilTable = &soils;
  }

  // Builds the module in the test's folder, where it writes its logs, and
  // with `started` starts its runoff; call inside ASSERT_NO_FATAL_FAILURE.
  void build(std::unique_ptr<TestUnsatzon>& module, bool started = true) {
    WorkingDirectory cd(directory);
    int code = 0;
    module = constructSubmodel<TestUnsatzon>(code, context, &soils);
    ASSERT_EQ(code, 0);
    if (started) {
      ASSERT_EQ(startRunoff(*module), 0);
    }
  }

  template <typename F> void add(const std::string& name, F f) {
    add(name, strips.catchmentGrid(f));
  }
  void add(const std::string& name, Grid grid) {
    registerTestGrid(registry, name, name, grid, strips.lo, strips.hi);
  }
  const GridRegistryEntry& entry(const std::string& name) const {
    for (const GridRegistryEntry& e : registry)
      if (e.hasName && e.name == name) return e;
    ADD_FAILURE() << "no grid " << name;
    return registry[0];
  }

  StripModule strips;
  std::string directory;
  std::vector<GridRegistryEntry> registry;
  std::vector<soil_class> soils;
  ModelContext context;
};
