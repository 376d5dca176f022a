#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/grid_registry.h"

// The main of the benchmark programs: MPI around Google Benchmark. Every
// process runs the benchmarks, which may be collective; rank 0 alone
// reports. prepare, when given, runs on every process after MPI_Init.
int runBenchmarksUnderMPI(int argc, char** argv, const std::function<void()>& prepare = {});

int worldRank();

// Seconds of a collective step on the slowest process.
double slowest(const std::function<void()>& step);

// Moves the process into a work folder of its own, <prefix>_rank<r>, with a
// speed file that makes all processes equally fast (the timings leave the
// speed measurement out) and the control file "bench.ctl" holding text.
void enterBenchWorkFolder(const std::string& prefix, const std::string& controlText);

// Registers a grid of rows 1 .. lastRow in the first free entry of the
// registry, under the name as file and lookup name.
void registerBenchGrid(std::vector<GridRegistryEntry>& registry, const std::string& name, Grid grid,
                       long lastRow);
