// The two head solvers of a layer: red-black SOR sweeps and the direct
// sweep along the rows.
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "lateral/gwflowclass.h"

namespace {

// Kinds of a cell in the coefficients of a line sweep.
constexpr double notInRun = 0.0;
constexpr double inRun = 1.0;
constexpr double fixedCell = 2.0;
constexpr double isolatedCell = 3.0;

} // namespace

// The cells of one colour read only neighbours of the other colour, so the
// heads do not depend on how rows are shared among threads and processes.
double gwflowclass::sorSweep(int k) {
  AquiferLayer& l = layers[static_cast<size_t>(k)];
  const Grid leakBelow = l.leakage;
  const Grid leakAbove = k > 1 ? layers[static_cast<size_t>(k - 1)].leakage : nullptr;
  const double dt = deltaT(), a = alpha, omegaFixed = sorParameter;
  const bool adaptive = adaptiveSor;
  const OwnCells cells = ownCells();
  double largest = 0.0, sum = 0.0;
  long count = 0;
  for (long colour = 0; colour < 2; ++colour) {
    if (colour == 1) MPIExchangeGridHalo(l.headIndex);
#pragma omp parallel for schedule(runtime) reduction(max : largest) reduction(+ : sum, count)
    for (long r = cells.firstRow; r <= cells.lastRow; ++r)
      for (long c = cells.firstColumn(r); c <= cells.lastColumn(r); ++c) {
        if ((r + c) % 2 != colour || !cells.owns(r, c) || glacierFraction(r, c) >= 1.0) continue;
        if (l.fixedHead[r][c] != header.nodata) {
          l.head[r][c] = l.headOld[r][c] = l.headOldOld[r][c] = l.fixedHead[r][c];
          continue;
        }
        const double previous = l.head[r][c], old = l.headOld[r][c];
        const double x = dx(r, c), y = dy(r, c), area = x * y;
        double weighted = 0.0, conductance = 0.0;
        auto add = [&](long r2, long c2, double t, double ratio) {
          if (!inZone(r2, c2) || !(t > 0.0)) return;
          const double cn = ratio * t;
          conductance += cn;
          weighted += cn * ((1.0 - a) * l.headOld[r2][c2] + a * l.head[r2][c2]);
        };
        if (r > 1) add(r - 1, c, l.ty[r - 1][c], x / y);
        if (r < header.nrows) add(r + 1, c, l.ty[r][c], x / y);
        if (c < header.ncols) add(r, c + 1, l.tx[r][c], y / x);
        if (c > 1) add(r, c - 1, l.tx[r][c - 1], y / x);
        const double s = storageOf(k, r, c);
        double q = fixedFlux(k, r, c) + old * s / dt + leakBelow[r][c];
        if (leakAbove) q -= leakAbove[r][c];
        const double target = (area * q + weighted - (1.0 - a) * conductance * old) /
                              (a * conductance + area * s / dt);
        const double delta = target - previous;
        const double change = old >= l.top[r][c] ? std::fabs(delta) / 5.0 : std::fabs(delta);
        largest = std::max(largest, change);
        double omega = omegaFixed;
        if (adaptive) {
          omega = 1.0;
          if (l.headIter[r][c] != previous) {
            omega = delta / (previous - l.headIter[r][c]) + 1.0;
            omega = omega <= 0.0 ? 1.0 : std::min(omega, 2.0);
          }
          l.headIter[r][c] = previous;
          sum += omega;
          ++count;
        }
        l.head[r][c] = omega == 1.0 ? target : previous + omega * delta;
      }
  }
  relaxationSum = sum;
  relaxationCount = count;
  return largest;
}

double gwflowclass::lineSweep(int k) {
  AquiferLayer& l = layers[static_cast<size_t>(k)];
  const Grid leakBelow = l.leakage;
  const Grid leakAbove = k > 1 ? layers[static_cast<size_t>(k - 1)].leakage : nullptr;
  const double dt = deltaT();
  const long ncols = header.ncols;
  const OwnCells cells = ownCells();
  const size_t threads = static_cast<size_t>(omp_get_max_threads());
  if (threadScratch.size() < 2 * threads)
    threadScratch.assign(2 * threads, std::vector<double>(static_cast<size_t>(ncols) + 2, 0.0));

    // Coefficients of every own cell: west, diagonal, east, right side, kind.
#pragma omp parallel for schedule(runtime)
  for (long r = cells.firstRow; r <= cells.lastRow; ++r)
    for (long c = 1; c <= ncols; ++c) {
      kind[r][c] = notInRun;
      if (!cells.owns(r, c) || glacierFraction(r, c) >= 1.0) continue;
      if (l.fixedHead[r][c] != header.nodata) {
        kind[r][c] = fixedCell;
        rhs[r][c] = l.fixedHead[r][c];
        continue;
      }
      const double s = storageOf(k, r, c), x = dx(r, c), y = dy(r, c), old = l.headOld[r][c];
      const double west = c > 1 && joins(r, c, r, c - 1) ? l.tx[r][c - 1] : 0.0;
      const double east = c < ncols && joins(r, c, r, c + 1) ? l.tx[r][c] : 0.0;
      const double north = r > 1 && joins(r, c, r - 1, c) ? l.ty[r - 1][c] : 0.0;
      const double south = r < header.nrows && joins(r, c, r + 1, c) ? l.ty[r][c] : 0.0;
      double source = fixedFlux(k, r, c) + leakBelow[r][c];
      if (leakAbove) source -= leakAbove[r][c];
      if (!(west > 0.0) && !(east > 0.0) && !(north > 0.0) && !(south > 0.0)) {
        kind[r][c] = isolatedCell;
        rhs[r][c] = l.head[r][c] + source * dt / s;
        continue;
      }
      const double fn = north > 0.0 ? north / dy(r - 1, c) * (l.headOld[r - 1][c] - old) / y : 0.0;
      const double fs = south > 0.0 ? south / dy(r + 1, c) * (l.headOld[r + 1][c] - old) / y : 0.0;
      lower[r][c] = west > 0.0 ? west / dx(r, c - 1) : 0.0;
      upper[r][c] = east > 0.0 ? east / dx(r, c + 1) : 0.0;
      diagonal[r][c] = -x * s / dt - lower[r][c] - upper[r][c];
      rhs[r][c] = x * (-s * l.head[r][c] / dt - fn - fs - source);
      kind[r][c] = inRun;
    }
  shareSharedRowCoefficients(cells);

  // Every process solves the whole of each row it shares and keeps its cells.
  double largest = 0.0;
#pragma omp parallel for schedule(runtime) reduction(max : largest)
  for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
    const size_t t = 2 * static_cast<size_t>(omp_get_thread_num());
    std::vector<double>& cp = threadScratch[t];
    std::vector<double>& dp = threadScratch[t + 1];
    auto settle = [&](long c, double value) {
      if (!cells.owns(r, c)) return;
      largest = std::max(largest, std::fabs(value - l.head[r][c]));
      l.head[r][c] = value;
    };
    for (long c = 1; c <= ncols;) {
      if (kind[r][c] == fixedCell || kind[r][c] == isolatedCell) settle(c, rhs[r][c]);
      if (kind[r][c] != inRun) {
        ++c;
        continue;
      }
      long end = c;
      while (end < ncols && kind[r][end + 1] == inRun && upper[r][end] > 0.0) ++end;
      // A fixed head next to the run moves to the right side.
      double first = rhs[r][c], last = rhs[r][end];
      if (c > 1 && kind[r][c - 1] == fixedCell) first -= lower[r][c] * rhs[r][c - 1];
      if (end < ncols && kind[r][end + 1] == fixedCell) {
        if (end == c)
          first -= upper[r][end] * rhs[r][end + 1];
        else
          last -= upper[r][end] * rhs[r][end + 1];
      }
      for (long i = c; i <= end; ++i) {
        const double d = i == c ? first : (i == end ? last : rhs[r][i]);
        const double lo = i == c ? 0.0 : lower[r][i];
        const double denominator =
            diagonal[r][i] - lo * (i == c ? 0.0 : cp[static_cast<size_t>(i - 1)]);
        cp[static_cast<size_t>(i)] = i == end ? 0.0 : upper[r][i] / denominator;
        dp[static_cast<size_t>(i)] =
            (d - lo * (i == c ? 0.0 : dp[static_cast<size_t>(i - 1)])) / denominator;
      }
      double next = 0.0;
      for (long i = end; i >= c; --i) {
        const double h = dp[static_cast<size_t>(i)] - cp[static_cast<size_t>(i)] * next;
        settle(i, h);
        next = h;
      }
      c = end + 1;
    }
  }
  return largest;
}

// A row shared by several processes is one system: each sends the
// coefficients of its cells in the row to the others. Who owns a cell comes
// from "MPIRegions" alone, which every process holds whole in its rows: the
// zone grid holds another process's cells only in the halo, and a count from
// it would miss the cells of the row beyond.
void gwflowclass::shareSharedRowCoefficients(const OwnCells& cells) {
  if (mpiSize < 2) return;
  struct Transfer {
    long row;
    int peer;
    std::vector<double> out, in;
  };
  std::vector<Transfer> transfers;
  const Grid fields[5] = {lower, diagonal, upper, rhs, kind};
  for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
    std::vector<long> cellsOf(static_cast<size_t>(mpiSize), 0);
    for (long c = 1; c <= header.ncols; ++c) {
      const int owner = ownerOf(r, c);
      if (owner >= 0) ++cellsOf[static_cast<size_t>(owner)];
    }
    if (cellsOf[static_cast<size_t>(mpiRank)] == 0) continue;
    for (int p = 0; p < mpiSize; ++p) {
      if (p == mpiRank || cellsOf[static_cast<size_t>(p)] == 0) continue;
      Transfer t{
          r, p, {}, std::vector<double>(5 * static_cast<size_t>(cellsOf[static_cast<size_t>(p)]))};
      for (long c = 1; c <= header.ncols; ++c)
        if (ownerOf(r, c) == mpiRank)
          for (Grid f : fields) t.out.push_back(f[r][c]);
      transfers.push_back(std::move(t));
    }
  }
  std::vector<MPI_Request> requests(2 * transfers.size(), MPI_REQUEST_NULL);
  for (size_t i = 0; i < transfers.size(); ++i)
    checkMPI(*diag,
             MPI_Irecv(transfers[i].in.data(), static_cast<int>(transfers[i].in.size()), MPI_DOUBLE,
                       transfers[i].peer, static_cast<int>(transfers[i].row), MPI_COMM_WORLD,
                       &requests[2 * i]),
             "MPI_Irecv of a shared row");
  for (size_t i = 0; i < transfers.size(); ++i)
    checkMPI(*diag,
             MPI_Isend(transfers[i].out.data(), static_cast<int>(transfers[i].out.size()),
                       MPI_DOUBLE, transfers[i].peer, static_cast<int>(transfers[i].row),
                       MPI_COMM_WORLD, &requests[2 * i + 1]),
             "MPI_Isend of a shared row");
  checkMPI(*diag,
           MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE),
           "MPI_Waitall of the shared rows");
  for (const Transfer& t : transfers) {
    size_t i = 0;
    for (long c = 1; c <= header.ncols; ++c)
      if (ownerOf(t.row, c) == t.peer)
        for (Grid f : fields) f[t.row][c] = t.in[i++];
  }
}
