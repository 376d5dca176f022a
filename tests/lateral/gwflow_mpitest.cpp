#include <gtest/gtest.h>
#include <omp.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/lateral/aquifer_fixture.h"

namespace {

// Two layers under a rough catchment: conductivities and storage that vary
// from cell to cell, fixed heads along the west edge of layer 1 and in one
// cell of layer 2, fixed fluxes, leakage and a dry cell.
struct Catchment {
  long nrows, ncols;
  bool ragged;
  bool inside(long r, long c) const {
    if (!ragged) return true;
    return (r * 7 + c * 3) % 11 != 0 && c > r / 3 && c < ncols - (nrows - r) / 4;
  }
  double fixedHead1(long r, long c) const {
    return c == 1 + (ragged ? r / 3 : 0) && r % 4 != 0 ? 47.0 + 0.05 * r : nodata;
  }
  double fixedHead2(long r, long c) const { return r == 5 && c == 20 ? 52.0 : nodata; }
  double flux(int k, long r, long c) const {
    return k == 2 && (r + c) % 9 == 0 ? 2e-8 * (1 + r % 3) : (k == 1 && r == 7 ? -1e-8 : nodata);
  }
  double storage(int k, long r, long c) const {
    return k == 1 ? 0.1 + 0.01 * (c % 5) : 1e-3 * (1 + r % 4);
  }
  double distance(long r, long c) const { return r == 12 && c == 12 ? -20.0 : -1.0 - 0.02 * c; }
};

struct CatchmentRun {
  std::vector<std::vector<double>> substeps; // per sub-step the grids of interest, rank 0
  std::vector<double> volumeErrors;          // per sub-step, rank 0
  std::vector<std::vector<double>> layerVolumes; // per sub-step: layers 1, 2, inflow (m^3)
  std::vector<std::vector<double>> stepVolumes;  // per sub-step: the module's, rank 0
  std::vector<double> largestBalance;
  std::string controlPoints;
};

// Gathers a registry grid onto rank 0 (its values at the catchment's cells).
std::vector<double> gathered(AquiferModel& m, const std::string& name, const Catchment& k) {
  const int index = m.module->findGrid(name);
  Grid whole = m.module->MPIGatherGridCopy(index);
  const Grid g = whole ? whole : m.registry.entries[static_cast<size_t>(index)].grid;
  std::vector<double> values;
  for (long r = 1; worldRank() == 0 && r <= k.nrows; ++r)
    for (long c = 1; c <= k.ncols; ++c) values.push_back(k.inside(r, c) ? g[r][c] : nodata);
  if (whole) m.module->free_matrix(whole, 1, k.nrows, 1, k.ncols);
  return values;
}

// Storage change of the free cells of layer 1 and of layer 2 and what the
// fixed heads and the fixed fluxes brought in over the sub-step, in m^3; the
// storage coefficient is the one the solver takes (its own below the top
// of a layer only for layer 1).
std::vector<double> layerVolumes(const Catchment& k, double alpha, double dt, double area,
                                 std::vector<std::vector<double>> g
                                 /* h1 ho1 tx1 ty1 h2 ho2 tx2 ty2 L1 top2 */) {
  auto at = [&](int grid, long r, long c) {
    return g[static_cast<size_t>(grid)][static_cast<size_t>((r - 1) * k.ncols + c - 1)];
  };
  auto fixed = [&](int layer, long r, long c) {
    return (layer == 1 ? k.fixedHead1(r, c) : k.fixedHead2(r, c)) != nodata;
  };
  double change[3] = {}, inflow = 0.0;
  for (int layer = 1; layer <= 2; ++layer) {
    const int h = layer == 1 ? 0 : 4;
    auto hw = [&](long r, long c) { return alpha * at(h, r, c) + (1 - alpha) * at(h + 1, r, c); };
    for (long r = 1; r <= k.nrows; ++r)
      for (long c = 1; c <= k.ncols; ++c) {
        if (!k.inside(r, c)) continue;
        if (!fixed(layer, r, c)) {
          const double top = layer == 1 ? 50.0 : at(9, r, c);
          const double s = at(h + 1, r, c) >= top ? k.storage(layer, r, c) : k.storage(1, r, c);
          change[layer] += (at(h, r, c) - at(h + 1, r, c)) * s * area;
          const double q = k.flux(layer, r, c);
          if (q > nodata) inflow += q * area * dt;
        }
        // faces toward the east and the south between a fixed and a free cell
        for (int d = 0; d < 2; ++d) {
          const long r2 = r + d, c2 = c + 1 - d;
          if (r2 > k.nrows || c2 > k.ncols || !k.inside(r2, c2)) continue;
          if (fixed(layer, r, c) == fixed(layer, r2, c2)) continue;
          const double t = at(h + 2 + d, r, c);
          const double flow = dt * t * (hw(r, c) - hw(r2, c2)); // into (r2, c2)
          inflow += fixed(layer, r, c) ? flow : -flow;
        }
      }
  }
  for (long r = 1; r <= k.nrows; ++r)
    for (long c = 1; c <= k.ncols; ++c) {
      if (!k.inside(r, c) || fixed(1, r, c) == fixed(2, r, c)) continue;
      const double up = at(8, r, c) * area * dt; // from layer 2 into layer 1
      inflow += fixed(2, r, c) ? up : -up;
    }
  return {change[1], change[2], inflow};
}

CatchmentRun runCatchment(const Catchment& k, int method, double alpha, double maxerror, bool split,
                          int threads, int steps) {
  omp_set_num_threads(threads);
  AquiferSection s;
  s.layers = 2;
  s.method = method;
  s.alpha = alpha;
  s.maxiter = 5000;
  s.maxerror = maxerror;
  s.sor = method == 1 ? 1.3 : 1.0;
  s.control = "6 9";
  const std::string name = "gw_catchment_" + std::to_string(k.ragged) + std::to_string(method) +
                           std::to_string(split) + std::to_string(threads);
  AquiferModel m(name,
                 blockOwners(k.nrows, k.ncols, split ? worldSize() : 1,
                             [&](long r, long c) { return k.inside(r, c); }),
                 s);
  for (int layer = 1; layer <= 2; ++layer) {
    const std::string d = std::to_string(layer);
    m.set("gw_k_x_" + d, [&](long r, long c) { return 1e-4 * (1 + (r * c) % 3); });
    m.set("gw_k_y_" + d, [&](long r, long c) { return 5e-5 * (1 + (r + c) % 4); });
    m.set("gw_storage_coeff_" + d, [&, layer](long r, long c) { return k.storage(layer, r, c); });
    m.set("gw_boundary_fix_q_" + d, [&, layer](long r, long c) { return k.flux(layer, r, c); });
  }
  m.set("gw_boundary_fix_h_1", [&](long r, long c) { return k.fixedHead1(r, c); });
  m.set("gw_boundary_fix_h_2", [&](long r, long c) { return k.fixedHead2(r, c); });
  m.set("gw_kolmation_1", 2e-8);
  m.set("groundwater_distance", [&](long r, long c) { return k.distance(r, c); });
  m.build();
  CatchmentRun run;
  EXPECT_EQ(m.code, 0) << m.log();
  if (!m.module) return run;
  m.module->followBalance();
  const double dt = m.module->deltaT();
  const char* names[] = {"gw_head_1",
                         "gw_head_old_1",
                         "gw_transmissivity_x_1",
                         "gw_transmissivity_y_1",
                         "gw_head_2",
                         "gw_head_old_2",
                         "gw_transmissivity_x_2",
                         "gw_transmissivity_y_2",
                         "gw_leakage_1",
                         "aquifer_upper_limit2",
                         "gw_balance1",
                         "gw_balance2",
                         "gw_flow_x_2",
                         "gw_flow_y_1",
                         "baseflow"};
  for (int i = 0; i < steps; ++i) {
    m.step(1, 3);
    m.module->writeGroundwaterOutputs();
    std::vector<std::vector<double>> grids;
    for (const char* n : names) grids.push_back(gathered(m, n, k));
    if (worldRank() != 0) continue;
    std::vector<double> all;
    for (const auto& g : grids) all.insert(all.end(), g.begin(), g.end());
    using V = gwflowclass::StepVolume;
    std::vector<double> volumes;
    for (V v : {V::storage, V::lateral, V::fixedFlux, V::fixedHeads, V::solver, V::baseflow})
      volumes.push_back(m.module->stepVolume(v).at(1));
    all.insert(all.end(), volumes.begin(), volumes.end());
    run.substeps.push_back(all);
    run.stepVolumes.push_back(volumes);
    const std::vector<double> l = layerVolumes(k, method == 1 ? alpha : 1.0, dt, 1e4, grids);
    run.layerVolumes.push_back(l);
    run.volumeErrors.push_back(l[0] + l[1] - l[2]);
    double largest = 0.0;
    for (int b = 10; b <= 11; ++b)
      for (double v : grids[static_cast<size_t>(b)])
        if (v != nodata) largest = std::max(largest, std::fabs(v));
    run.largestBalance.push_back(largest);
  }
  m.module->flushGroundwaterOutputs();
  if (worldRank() == 0) run.controlPoints = readFile(m.dir + "/cp.txt");
  omp_set_num_threads(1);
  return run;
}

// Every sub-step the free cells store what the fixed heads and fluxes
// brought in, and the cells' balances follow "maxerror_allowed".
TEST(GroundwaterMpi, SubstepsConserveWater) {
  const Catchment block{30, 40, false};
  for (double alpha : {1.0, 0.5}) {
    SCOPED_TRACE(alpha);
    const CatchmentRun coarse = runCatchment(block, 1, alpha, 1e-5, true, 1, 3);
    const CatchmentRun fine = runCatchment(block, 1, alpha, 1e-9, true, 1, 3);
    if (worldRank() != 0) continue;
    for (size_t i = 0; i < fine.volumeErrors.size(); ++i) {
      EXPECT_LT(std::fabs(fine.volumeErrors[i]), 1e-5) << i; // m^3 over 1200 cells of 1 ha
      EXPECT_LT(fine.largestBalance[i], 1e-3) << i;          // mm
      EXPECT_LT(fine.largestBalance[i], coarse.largestBalance[i] / 100.0) << i;
      // The water balance's volumes of the step: the change of layer 2's
      // storage, layer 1's change handed back, the boundaries, and the
      // solver's error.
      const std::vector<double>& v = fine.stepVolumes[i];
      const std::vector<double>& l = fine.layerVolumes[i];
      const double stored = v[0];
      const double scale = 1e-9 * (std::fabs(l[0]) + std::fabs(l[1]) + std::fabs(l[2])) + 1e-9;
      EXPECT_NEAR(stored, l[1], scale) << i;
      EXPECT_NEAR(v[5], -l[0], scale) << i;
      EXPECT_NEAR(v[1] + v[2] - v[3], l[2], scale) << i;
      EXPECT_NEAR(v[4], fine.volumeErrors[i], scale) << i;
      EXPECT_NE(v[3], 0.0) << i;
      EXPECT_NE(v[2], 0.0) << i;
    }
  }
}

// Heads, fluxes, balances, baseflow, the water balance's volumes and the
// control-point file do not depend on the number of processes or threads.
TEST(GroundwaterMpi, ResultsDoNotDependOnProcessesOrThreads) {
  struct Case {
    Catchment catchment;
    int method;
  } cases[] = {
      {{30, 40, false}, 1}, {{30, 40, false}, 2}, {{60, 80, true}, 1}, {{60, 80, true}, 2}};
  for (const Case& t : cases) {
    SCOPED_TRACE(std::to_string(t.catchment.nrows) + " method " + std::to_string(t.method));
    const CatchmentRun whole = runCatchment(t.catchment, t.method, 0.7, 1e-8, false, 1, 2);
    for (int threads : {1, 4}) {
      const CatchmentRun split = runCatchment(t.catchment, t.method, 0.7, 1e-8, true, threads, 2);
      if (worldRank() != 0) continue;
      EXPECT_EQ(split.substeps, whole.substeps) << threads;
      EXPECT_EQ(split.controlPoints, whole.controlPoints) << threads;
    }
  }
}

// Strip layouts the decomposition can draw, with ranks capped at the last
// process: rows shared at both ends of a strip, a strip within one row, a
// row of three processes, nodata gaps between two processes' runs.
const std::vector<OwnerMap> oddLayouts = {
    {"..2222222...", ".22222222222", "222221111111", "11111111....", "111100000000", "000000000000",
     "..0000000000"},
    {".2222222222.", "222222222222", "22221111000.", "000000000000", "0000000000.."},
    {"....222.....", "..22.2111...", ".1111111111.", "11111.000000", "0000000000..",
     "...000.00..."}};

// Heads of layer 1 after two sub-steps of the line sweeps, gathered onto
// rank 0 (nodata outside the catchment).
std::vector<double> lineSweepHeads(const OwnerMap& map, const std::string& name) {
  AquiferSection s;
  s.method = 2;
  s.maxiter = 1;
  AquiferModel m(name, map, s);
  const long nrows = static_cast<long>(map.size()), ncols = static_cast<long>(map[0].size());
  m.set("gw_k_x_1", [](long r, long c) { return 1e-4 * (1 + (r * c) % 3); });
  m.set("gw_k_y_1", [](long r, long c) { return 5e-5 * (1 + (r + c) % 4); });
  m.set("gw_storage_coeff_1", [](long r, long c) { return 0.05 + 0.01 * ((r + 2 * c) % 5); });
  m.set("gw_boundary_fix_h_1", [](long r, long c) { return r == 4 && c == 11 ? 46.0 : nodata; });
  m.set("gw_boundary_fix_q_1", [](long r, long c) { return (r + c) % 7 == 0 ? 3e-8 : nodata; });
  m.set("groundwater_distance", [](long r, long c) { return -0.5 - 0.1 * c - 0.05 * r; });
  // Workers hold another process's cells only in their halo, as the set-up
  // leaves the grids it scatters.
  for (auto& input : m.inputs)
    for (long r = m.strips.lo; r <= m.strips.hi; ++r)
      for (long c = 1; c <= ncols; ++c)
        if (m.strips.rank != 0 && m.strips.owner[r][c] != m.strips.rank &&
            !m.strips.isHalo(m.strips.rank, r, c))
          input.second[r][c] = nodata;
  m.build();
  EXPECT_EQ(m.code, 0) << m.log();
  if (!m.module) return {};
  m.step(2, 3);
  const int index = m.module->findGrid("gw_head_1");
  Grid whole = m.module->MPIGatherGridCopy(index);
  const Grid g = whole ? whole : m.grid("gw_head_1");
  std::vector<double> heads;
  for (long r = 1; worldRank() == 0 && r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      heads.push_back(map[static_cast<size_t>(r - 1)][static_cast<size_t>(c - 1)] == '.' ? nodata
                                                                                         : g[r][c]);
  if (whole) m.module->free_matrix(whole, 1, nrows, 1, ncols);
  return heads;
}

// A row that several processes share is solved as one system: each process
// finds the heads one process finds, whichever cells of the row lie beyond
// its halo.
TEST(GroundwaterMpi, LineSweepsSolveSharedRowsOnEveryStripLayout) {
  for (size_t i = 0; i < oddLayouts.size(); ++i) {
    SCOPED_TRACE(i);
    OwnerMap alone = oddLayouts[i];
    for (std::string& row : alone) std::replace_if(row.begin(), row.end(), ::isdigit, '0');
    const std::vector<double> split =
        lineSweepHeads(oddLayouts[i], "gw_odd_split_" + std::to_string(i));
    const std::vector<double> whole = lineSweepHeads(alone, "gw_odd_whole_" + std::to_string(i));
    if (worldRank() != 0) continue;
    EXPECT_EQ(split, whole);
    // The sweeps moved the heads: the rows were solved, not left as found.
    size_t moved = 0;
    for (long r = 1, k = 0; r <= static_cast<long>(alone.size()); ++r)
      for (long c = 1; c <= static_cast<long>(alone[0].size()); ++c, ++k)
        if (whole[static_cast<size_t>(k)] != nodata &&
            std::fabs(whole[static_cast<size_t>(k)] - (49.5 - 0.1 * c - 0.05 * r)) > 1e-6)
          ++moved;
    EXPECT_GT(moved, whole.size() / 2);
  }
}

// A warm start reads the heads of a former run: every process finds the
// values of the files in its own cells.
TEST(GroundwaterMpi, HeadsOfAFormerRunReachEveryProcess) {
  const long nrows = 12, ncols = 10;
  auto head = [](long r, long c, double shift) { return 40.0 + 0.5 * r + 0.01 * c + shift; };
  AquiferSection s;
  s.readGrid = 1;
  AquiferModel m("gw_read_heads", blockOwners(nrows, ncols, worldSize()), s);
  m.section.headFile = m.dir + "/heads_%d.asc";
  if (worldRank() == 0)
    for (const char* old : {"", "_old"}) {
      std::string text = "ncols 10\nnrows 12\nxllcorner 0\nyllcorner 0\ncellsize 100\n"
                         "nodata_value -9999\n";
      for (long r = 1; r <= nrows; ++r)
        for (long c = 1; c <= ncols; ++c)
          text += std::to_string(head(r, c, *old ? 1.0 : 0.0)) + (c == ncols ? "\n" : " ");
      writeFile(m.dir + "/heads_1" + old + ".asc", text);
    }
  MPI_Barrier(MPI_COMM_WORLD);
  m.build();
  ASSERT_EQ(m.code, 0) << m.log();
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (m.strips.owner[r][c] == m.strips.rank) {
        EXPECT_NEAR(m.grid("gw_head_1")[r][c], head(r, c, 0.0), 1e-6) << r << " " << c;
        EXPECT_NEAR(m.grid("gw_head_old_1")[r][c], head(r, c, 1.0), 1e-6) << r << " " << c;
      }
}

} // namespace
