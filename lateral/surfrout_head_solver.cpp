// Method 6 of surface routing: face conductances, the implicit head
// iteration with its check for heads that are not numbers, and the fluxes
// and velocities that follow from the heads.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "lateral/surfaceroutingclass.h"

namespace {

constexpr int closeAfterDumpCode = 199;

void raiseToMaximum(std::atomic<double>& shared, double value) {
  double seen = shared.load();
  while (value > seen && !shared.compare_exchange_weak(seen, value)) {
  }
}

} // namespace

// A neighbour whose zone differs counts only when the method keeps zones apart.
bool surfaceroutingclass::neighbourCounts(long row, long col, long r, long c) const {
  if (!inDomain(r, c)) return false;
  return flowControl != 3 || zoneGrid[r][c] == zoneGrid[row][col];
}

double surfaceroutingclass::transmissivity(long r, long c) const {
  if (isRiverCell(r, c)) return manningCoeffGrid[r][c];
  return (headGrid[r][c] - demGrid[r][c]) * manningCoeffGrid[r][c];
}

void surfaceroutingclass::runConductanceSweep() {
  cells.forEach(
      [&](long r, long c) {
        double Tc = transmissivity(r, c);
        const bool east = c < header.ncols && neighbourCounts(r, c, r, c + 1);
        const bool south = r < header.nrows && neighbourCounts(r, c, r + 1, c);
        double Te = east ? transmissivity(r, c + 1) : 0.0;
        double Ts = south ? transmissivity(r + 1, c) : 0.0;
        const double H = headGrid[r][c];
        const double wetting = manningCoeffGrid[r][c];
        // Water advances onto a dry face from the wet, higher side, in
        // either direction of both axes.
        if (Tc <= 0.0 && Te > 0.0 && headGrid[r][c + 1] > H && wetting > 0.0)
          Tc = Te;
        else if (Tc > 0.0 && Te <= 0.0 && east && headGrid[r][c + 1] < H &&
                 manningCoeffGrid[r][c + 1] > 0.0)
          Te = Tc;
        double TcSouth = Tc;
        if (TcSouth <= 0.0 && Ts > 0.0 && headGrid[r + 1][c] > H && wetting > 0.0)
          TcSouth = Ts;
        else if (TcSouth > 0.0 && Ts <= 0.0 && south && headGrid[r + 1][c] < H &&
                 manningCoeffGrid[r + 1][c] > 0.0)
          Ts = TcSouth;
        Tc = std::max(Tc, 0.0);
        TcSouth = std::max(TcSouth, 0.0);
        Te = std::max(Te, 0.0);
        Ts = std::max(Ts, 0.0);
        roughnessXGrid[r][c] = Tc + Te > 0.0 ? 2.0 * Tc * Te / (Tc + Te) : 0.0;
        roughnessYGrid[r][c] = TcSouth + Ts > 0.0 ? 2.0 * TcSouth * Ts / (TcSouth + Ts) : 0.0;
      },
      [&](long r, long c) { roughnessXGrid[r][c] = roughnessYGrid[r][c] = 0.0; });
}

surfaceroutingclass::CellFaces surfaceroutingclass::cellFaces(long row, long col) const {
  CellFaces f;
  f.dx = cellDx(row, col);
  f.dy = cellDy(row, col);
  const double H = headGrid[row][col];
  const double z = demGrid[row][col];
  const auto face = [&](long r, long c, double conductance) {
    Face k;
    k.inside = r >= 1 && r <= header.nrows && c >= 1 && c <= header.ncols;
    k.conductance = conductance;
    if (!k.inside) {
      k.head = H;
      k.depth = H - z;
    } else if (isRiverCell(r, c)) {
      k.head = z;
    } else if (H < demGrid[r][c]) {
      k.depth = headGrid[r][c] - demGrid[r][c];
      k.head = H + k.depth;
    } else {
      k.head = std::max(z, headGrid[r][c]);
      k.depth = k.head == z ? 0.0 : headGrid[r][c] - demGrid[r][c];
    }
    return k;
  };
  const double xy = f.dy / f.dx;
  const double yx = f.dx / f.dy;
  f.e = face(row, col + 1, xy * roughnessXGrid[row][col]);
  f.w = face(row, col - 1, col > 1 ? xy * roughnessXGrid[row][col - 1] : roughnessXGrid[row][col]);
  f.s = face(row + 1, col, yx * roughnessYGrid[row][col]);
  f.n = face(row - 1, col, row > 1 ? yx * roughnessYGrid[row - 1][col] : roughnessYGrid[row][col]);
  return f;
}

// Red-black order: a cell reads only cells of the other colour, which the
// halo exchange between the colours brings up to date, so that the heads
// depend on neither threads nor processes.
double surfaceroutingclass::runHeadIterationSweep(long iteration, double dt) {
  std::atomic<double> largest{0.0};
  std::atomic<int> stop{0};
  for (int colour = 0; colour < 2; ++colour) {
    const OwnCells& own = cells;
#pragma omp parallel
    {
      double threadLargest = -std::numeric_limits<double>::infinity();
      int threadStop = 0;
#pragma omp for schedule(runtime)
      for (long r = own.firstRow; r <= own.lastRow; ++r) {
        const long last = own.lastColumn(r);
        for (long c = own.firstColumn(r); c <= last; ++c) {
          if ((r + c) % 2 != colour || !own.owns(r, c)) continue;
          const bool width = riverWidthGrid[r][c] != header.nodata;
          const bool depth = riverDepthGrid[r][c] != header.nodata;
          if (width && depth) {
            if (isRiverCell(r, c)) headGrid[r][c] = headOldGrid[r][c] = demGrid[r][c];
            continue;
          }
          const bool active = (c > 1 && roughnessXGrid[r][c - 1] > 0.0) ||
                              roughnessXGrid[r][c] > 0.0 ||
                              (r > 1 && roughnessYGrid[r - 1][c] > 0.0) ||
                              roughnessYGrid[r][c] > 0.0;
          if (!active) continue;
          const CellFaces f = cellFaces(r, c);
          const double before = headGrid[r][c];
          const double storage = f.dx * f.dy / dt;
          double sumC = 0.0, sumCH = 0.0;
          for (const Face* k : {&f.n, &f.e, &f.s, &f.w}) {
            sumC += k->conductance;
            sumCH += k->conductance * k->head;
          }
          const double denominator = storage + sumC;
          const double after = denominator == 0.0 ? demGrid[r][c]
                                                  : (storage * headOldGrid[r][c] + sumCH) / denominator;
          headGrid[r][c] = after;
          if (dumpMode && !(std::fabs(after) <= std::numeric_limits<double>::max())) {
            reportNonFiniteHead(r, c, iteration, dt, before, after, f);
            if (closeAfterDump) threadStop = closeAfterDumpCode;
          }
          threadLargest = std::max(threadLargest, std::fabs(after - before));
        }
      }
      raiseToMaximum(largest, threadLargest);
      if (threadStop != 0) stop.store(threadStop);
    }
    if (dumpMode && closeAfterDump) {
      if (stop.load() != 0) {
        *diag << "FATAL: \n\n -------- command line option -closeAfterDump active! "
                 "---------------------------------------------\n\n"
              << " a dumpfile has been written and Horva aborts now.\n"
              << "------------------------------------------------------------------------"
                 "-----------------\n"
              << "[end-entry]";
      }
      shareExitCode(*diag, stop.load());
    }
    if (colour == 0) MPIExchangeGridHalo(registryIndex[headSlot]);
  }
  return largest.load();
}

void surfaceroutingclass::reportNonFiniteHead(long row, long col, long iteration, double dt,
                                              double before, double after, const CellFaces& f) {
  const long long event = dumpCount.fetch_add(1);
  if (maxDumpFiles != 0 && event >= maxDumpFiles) return;
#pragma omp critical(surfrout_dump)
  {
    std::printf("NaN or Inf found for HEAD[%ld][%ld] (value: %g) in rank %d\n", row, col, after,
                mpiRank);
    std::printf("writing dump file...\n");
    std::fflush(stdout);
    writeDumpFile(row, col, iteration, dt, before, after, f);
  }
}

void surfaceroutingclass::writeDumpFile(long row, long col, long iteration, double dt,
                                        double before, double after, const CellFaces& f) const {
  constexpr double reserved = -9999.0;
  const long rows[5] = {row, row - 1, row, row + 1, row};
  const long cols[5] = {col, col, col + 1, col, col - 1};
  const auto around = [&](Grid grid, double* out) {
    for (int i = 0; i < 5; ++i) {
      const bool inside =
          rows[i] >= 1 && rows[i] <= header.nrows && cols[i] >= 1 && cols[i] <= header.ncols;
      out[i] = inside ? grid[rows[i]][cols[i]] : reserved;
    }
  };
  double v[59];
  v[0] = dt;
  double z[5];
  around(demGrid, z);
  for (int i = 0; i < 4; ++i) v[1 + i] = z[i];
  for (int i = 0; i < 5; ++i) v[5 + i] = z[i];
  around(roughnessYGrid, v + 10);
  for (int i = 15; i < 20; ++i) v[i] = reserved;
  around(riverDepthGrid, v + 20);
  around(riverWidthGrid, v + 25);
  double heads[5];
  around(headGrid, heads);
  heads[0] = before;
  for (int i = 0; i < 5; ++i) v[30 + i] = heads[i];
  v[35] = after;
  const Face* faces[4] = {&f.n, &f.e, &f.s, &f.w};
  v[36] = v[41] = v[46] = reserved;
  double sumC = 0.0, sumCH = 0.0;
  for (int i = 0; i < 4; ++i) {
    v[37 + i] = faces[i]->head;
    v[42 + i] = faces[i]->conductance;
    v[47 + i] = faces[i]->conductance * faces[i]->head;
    sumC += faces[i]->conductance;
    sumCH += faces[i]->conductance * faces[i]->head;
  }
  v[51] = f.dx;
  v[52] = f.dy;
  v[53] = before;
  v[54] = sumC;
  v[55] = sumCH;
  v[56] = f.dx * f.dy / dt + sumC;
  v[57] = v[58] = reserved;
  char name[200];
  std::snprintf(name, sizeof name, "surfrout_dump_row_%ld_col_%ld_iteration_%ld_%ld%02ld%02ld%02ld.dmp",
                row, col, iteration, currentDate.year, currentDate.month, currentDate.day,
                currentDate.hour);
  FILE* file = std::fopen(name, "wb");
  if (!file) return; // a dump is a help, not a result
  std::fwrite(v, sizeof(double), 59, file);
  std::fclose(file);
}

void surfaceroutingclass::runFluxSweeps() {
  const double nodata = header.nodata;
  const auto setMain = [&](long r, long c) {
    double* Q = fluxesStack[r][c];
    double* V = velocityStack[r][c];
    Q[0] = std::sqrt(std::pow(std::fabs(Q[1]) + std::fabs(Q[5]), 2) +
                     std::pow(std::fabs(Q[3]) + std::fabs(Q[7]), 2));
    V[0] = std::sqrt(std::pow(std::fabs(V[1]) + std::fabs(V[5]), 2) +
                     std::pow(std::fabs(V[3]) + std::fabs(V[7]), 2));
    fluxesGrid[r][c] = Q[0];
    velocityGrid[r][c] = V[0];
  };
  const auto isLand = [&](long r, long c) {
    return riverWidthGrid[r][c] == nodata || riverDepthGrid[r][c] == nodata;
  };
  cells.forEach([&](long r, long c) {
    if (!isLand(r, c)) return;
    double* Q = fluxesStack[r][c];
    double* V = velocityStack[r][c];
    for (int k = 0; k <= 8; ++k) Q[k] = V[k] = 0.0;
    const bool active = (c > 1 && roughnessXGrid[r][c - 1] > 0.0) || roughnessXGrid[r][c] > 0.0 ||
                        (r > 1 && roughnessYGrid[r - 1][c] > 0.0) || roughnessYGrid[r][c] > 0.0;
    if (active) {
      const CellFaces f = cellFaces(r, c);
      const double H = headGrid[r][c];
      const double depth = H - demGrid[r][c];
      const auto conductance = [](const Face& k) { return k.inside ? k.conductance : 0.0; };
      Q[1] = conductance(f.n) * f.dx * (f.n.head - H) / f.dy;
      Q[3] = conductance(f.e) * f.dy * (H - f.e.head) / f.dx;
      Q[5] = conductance(f.s) * f.dx * (H - f.s.head) / f.dy;
      Q[7] = conductance(f.w) * f.dy * (f.w.head - H) / f.dx;
      const auto velocity = [&](double q, double width, const Face& k) {
        const double mean = (depth + k.depth) / 2.0;
        return conductance(k) == 0.0 || mean == 0.0 ? 0.0 : q / (width * mean);
      };
      V[1] = velocity(Q[1], f.dx, f.n);
      V[3] = velocity(Q[3], f.dy, f.e);
      V[5] = velocity(Q[5], f.dx, f.s);
      V[7] = velocity(Q[7], f.dy, f.w);
    }
    setMain(r, c);
  });
  MPIExchangeStackHalo(registryIndex[fluxesSlot], 10);
  MPIExchangeStackHalo(registryIndex[velocitySlot], 10);
  static const int from[4][3] = {{-1, 0, 5}, {0, 1, 7}, {1, 0, 1}, {0, -1, 3}};
  cells.forEach([&](long r, long c) {
    if (isLand(r, c)) return;
    double* Q = fluxesStack[r][c];
    double* V = velocityStack[r][c];
    for (int k = 0; k <= 8; ++k) Q[k] = V[k] = 0.0;
    for (int i = 0; i < 4; ++i) {
      const long rn = r + from[i][0];
      const long cn = c + from[i][1];
      if (!neighbourCounts(r, c, rn, cn)) continue;
      const double q = fluxesStack[rn][cn][from[i][2]];
      Q[2 * i + 1] = q == nodata ? 0.0 : q;
      V[2 * i + 1] = q == nodata ? 0.0 : velocityStack[rn][cn][from[i][2]];
    }
    setMain(r, c);
  });
}
