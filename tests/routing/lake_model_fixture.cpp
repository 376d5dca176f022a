#include "tests/routing/lake_model_fixture.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <filesystem>

namespace {

const double transpired = 0.5; // mm per step
const double rain = 2.0;       // mm per step

} // namespace

LakeModelRun::LakeModelRun(const std::string& name, const std::string& extraSections)
    : s(name), strips(name + "_strips", ragged(worldSize())), registry(gridRegistrySize) {
  const long nrows = strips.nrows;
  const long ncols = strips.ncols;
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (strips.owner[r][c] == strips.rank) {
        ownFirst = ownFirst <= ownLast ? ownFirst : r;
        ownLast = r;
      }
  const auto add = [&](const std::string& gridName, Grid g, long first, long last) {
    registerTestGrid(registry, gridName, gridName + ".asc", g, first, last);
  };
  const auto whole = [&](const std::string& gridName, auto value) {
    add(gridName, strips.catchmentGrid(value), strips.lo, strips.hi);
  };
  const auto inLake = [this](double v) {
    return [this, v](long r, long c) { return isLake(r, c) ? v : nodata; };
  };
  whole("[zone_grid]", [](long, long) { return 1.0; });
  add("MPIRegions", strips.regions, strips.lo, strips.hi);
  add("MPIHelper", strips.helper, strips.lo, strips.hi);
  whole("zonegrid_soilmodel", [](long, long) { return 1.0; });
  whole("[elevation_model]", [](long r, long c) { return bottom(r, c); });
  whole("lake_codes", inLake(1.0));
  whole("max_ponding_storage", [](long r, long c) { return (103.0 - bottom(r, c)) * 1000.0; });
  whole("precipitation", [](long, long) { return rain; });
  // The soil's grids: this process's rows alone, rank 0 too, registered
  // after its stacks as the soil does.
  add("theta", nullptr, ownFirst, ownLast);
  for (Grid* g : {&ponding, &transpiration}) {
    *g = memory.matrix(ownFirst, ownLast, 1, ncols, nrows);
    for (long r = ownFirst; r <= ownLast; ++r)
      for (long c = 1; c <= ncols; ++c) (*g)[r][c] = g == &ponding ? 0.0 : transpired;
  }
  add("ponding_storage", ponding, ownFirst, ownLast);
  add("real_transpiration0", transpiration, ownFirst, ownLast);

  ModelContext& x = s.context;
  baseHeader = x.header;
  x.registry = registry.data();
  x.header = strips.m.getHeader();
  x.rowColumnRange = strips.ranges.data();
  x.cellsPerProcess = &strips.cells;
  x.haloSendList = &strips.sends;
  x.haloReceiveList = &strips.receives;
  x.outputDirectory = std::filesystem::absolute(s.log.directory).string() + "/";
  x.controlFileName = std::filesystem::absolute(x.controlFileName).string();
  s.extraSections = "[lake_model]\n1 lake model\nx\nx\nx\n0 readgrids\n\n"
                    "[abstraction_rule_reservoir_1]\n2\n0 0\n1e9 0\n\n" +
                    extraSections;
  s.writeControlFile("TG 1 (AREA = 0.0001, F = 1) SP 1 (file = lake1.txt V0 = 20 C0 = 0 0 0 0 0 "
                     "0 0 0 0)\n");
}

LakeModelRun::~LakeModelRun() {
  // The base setup frees its own grids with its own header.
  s.context.header = baseHeader;
  for (Grid g : {ponding, transpiration}) memory.free_matrix(g, ownFirst, ownLast, 1, strips.ncols);
}

long LakeModelRun::lakeCells() const {
  long n = 0;
  for (long r = 1; r <= strips.nrows; ++r)
    for (long c = 1; c <= strips.ncols; ++c) n += isLake(r, c) ? 1 : 0;
  return n;
}

double LakeModelRun::bottomSum() const {
  double sum = 0.0;
  for (long r = 1; r <= strips.nrows; ++r)
    for (long c = 1; c <= strips.ncols; ++c) sum += isLake(r, c) ? bottom(r, c) : 0.0;
  return sum;
}

void LakeModelRun::rainOnLake(double mm) {
  for (long r = ownFirst; r <= ownLast; ++r)
    for (long c = 1; c <= strips.ncols; ++c)
      if (strips.owner[r][c] == strips.rank && isLake(r, c) && ponding[r][c] > 0.0)
        ponding[r][c] += mm;
}

double LakeModelRun::sharedLevel() const {
  double W = strips.rank == 0 ? s.model->getElement(1).reservoir(1).getLevel() : 0.0;
  MPI_Bcast(&W, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  return W;
}

void LakeModelRun::spoilOtherRows() {
  for (const char* name :
       {"lake_codes", "zonegrid_soilmodel", "max_ponding_storage", "[elevation_model]"}) {
    const Grid g = registry[static_cast<std::size_t>(s.model->findGrid(name))].grid;
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols && (r < ownFirst || r > ownLast); ++c)
        g[r][c] = std::nan("");
  }
}

double LakeModelRun::pondingDeviation(double W) const {
  double largest = 0.0;
  for (long r = ownFirst; r <= ownLast; ++r)
    for (long c = 1; c <= strips.ncols; ++c)
      if (strips.owner[r][c] == strips.rank && isLake(r, c))
        largest = std::max(largest, std::fabs(ponding[r][c] - (W - bottom(r, c)) * 1000.0));
  return largest;
}
