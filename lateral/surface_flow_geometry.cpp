// Terrain of surface routing: plan curvature, steepest descent and the flow
// weights of a cell towards its eight neighbours.
#include <algorithm>
#include <cmath>

#include "lateral/surface_flow_directions.h"
#include "lateral/surfaceroutingclass.h"

using namespace surface_flow;

void surfaceroutingclass::fillFromNeighbours(long row, long col, Grid grid) {
  // NE, E, SE, S, SW, W, NW, N
  static const int order[8] = {2, 3, 4, 5, 6, 7, 8, 1};
  double sum = 0.0;
  int count = 0;
  for (int k : order) {
    const long r = row + rowStep[k];
    const long c = col + columnStep[k];
    if (r < 1 || r > header.nrows || c < 1 || c > header.ncols || !grid[r]) continue;
    if (grid[r][c] == header.nodata) continue;
    sum += grid[r][c];
    ++count;
  }
  if (count > 0) grid[row][col] = sum / count;
}

// Zevenbergen-Thorne plan curvature of the elevation model.
void surfaceroutingclass::computePlanCurvature() {
  const long first = header.firstRow;
  const long last = header.lastRow;
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  const double d = header.cellsize;
  Grid z = demGrid;
  Grid k = planCurvatureGrid;
  if (first == 1)
    for (long c = 1; c <= ncols; ++c) k[1][c] = nodata;
  if (last == nrows)
    for (long c = 1; c <= ncols; ++c) k[nrows][c] = nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = std::max(2L, first); r <= std::min(nrows - 1, last); ++r) {
    k[r][1] = nodata;
    k[r][ncols] = nodata;
    for (long c = 2; c <= ncols - 1; ++c) {
      const double z1 = z[r - 1][c - 1], z2 = z[r - 1][c], z3 = z[r - 1][c + 1];
      const double z4 = z[r][c - 1], z5 = z[r][c], z6 = z[r][c + 1];
      const double z7 = z[r + 1][c - 1], z8 = z[r + 1][c], z9 = z[r + 1][c + 1];
      const double block[9] = {z1, z2, z3, z4, z5, z6, z7, z8, z9};
      bool valid = true;
      for (double v : block) valid = valid && v != nodata;
      if (!valid) {
        k[r][c] = nodata;
        continue;
      }
      const double G = (z6 - z4) / (2.0 * d);
      const double H = (z2 - z8) / (2.0 * d);
      if (G == 0.0 && H == 0.0) {
        k[r][c] = 0.0;
        continue;
      }
      const double D = ((z4 + z6) / 2.0 - z5) / (d * d);
      const double E = ((z2 + z8) / 2.0 - z5) / (d * d);
      const double F = (z3 + z7 - z1 - z9) / (4.0 * d * d);
      k[r][c] = 2.0 * (D * H * H + E * G * G - F * G * H) / (G * G + H * H);
    }
  }
  // In order: a filled cell counts for the cells after it.
  cells.forEachInOrder([&](long r, long c) {
    if (z[r][c] != nodata && k[r][c] == nodata) fillFromNeighbours(r, c, k);
  });
}

// Methods 3 to 5 route over the water surface; the others over the ground.
double surfaceroutingclass::waterDepth(long r, long c) const {
  if (flowPathMethod < 3 || flowPathMethod > 5 || !inDomain(r, c)) return 0.0;
  return headGrid[r][c];
}

void surfaceroutingclass::steepestDescent(long row, long col, double& slope, double& aspect,
                                          int& cellClass) {
  slope = 0.0;
  aspect = 0.0;
  cellClass = 0;
  const double d = header.cellsize;
  if (isRiverCell(row, col)) {
    cellClass = 1;
    return;
  }
  bool interior = row > 1 && row < header.nrows && col > 1 && col < header.ncols;
  for (int k = 1; k <= 8 && interior; ++k)
    interior = inDomain(row + rowStep[k], col + columnStep[k]);
  cellClass = interior ? 2 : 3;
  const double level = demGrid[row][col] + waterDepth(row, col);
  double s[9] = {};
  int main = 1;
  for (int k = 1; k <= 8; ++k) {
    const long r = row + rowStep[k];
    const long c = col + columnStep[k];
    if (!inDomain(r, c))
      s[k] = -9999.0;
    else
      s[k] = (level - demGrid[r][c] - waterDepth(r, c)) / (isDiagonal(k) ? 1.414 * d : d);
    if (s[k] > s[main]) main = k;
  }
  slope = s[main];
  aspect = (main - 1) * 45.0;
  int ties = 0;
  for (int k = 2; k <= 8; ++k) ties += s[k] == slope ? 1 : 0;
  if (ties < 2) return;

  // A tie takes the aspect from central differences of the four neighbours.
  double side[9] = {};
  for (int k = 1; k <= 7; k += 2) {
    const long r = row + rowStep[k];
    const long c = col + columnStep[k];
    const long ro = row + rowStep[opposite(k)];
    const long co = col + columnStep[opposite(k)];
    if (inDomain(r, c))
      side[k] = demGrid[r][c] + waterDepth(r, c);
    else if (cellClass == 3 && inDomain(ro, co))
      side[k] = 2.0 * level - demGrid[ro][co];
    else
      side[k] = level;
  }
  const double G = (side[3] - side[7]) / (2.0 * d);
  const double H = (side[1] - side[5]) / (2.0 * d);
  if (cellClass == 3) {
    if (G == 0.0 && H == 0.0) {
      slope = 0.0;
      aspect = 0.0;
      return;
    }
    slope = std::atan(std::sqrt(G * G + H * H)) * degreesPerRadian;
  }
  if (G == 0.0)
    aspect = H > 0.0 ? 180.0 : 0.0;
  else
    aspect = 180.0 - std::atan(H / G) * degreesPerRadian + (G / std::fabs(G)) * 90.0;
}

void surfaceroutingclass::computeFlowWeights(long row, long col, int& cellClass, long pass,
                                             double slope, double aspect) {
  if (cellClass == 1) return;
  double* W = weightsStack[row][col];
  double* V = velocityStack[row][col];
  double old[9] = {};
  for (int k = 1; k <= 8; ++k) {
    old[k] = W[k];
    W[k] = 0.0;
  }
  const double level = demGrid[row][col] + waterDepth(row, col);
  const auto drop = [&](int k) {
    const long r = row + rowStep[k];
    const long c = col + columnStep[k];
    return level - demGrid[r][c] - waterDepth(r, c);
  };
  const bool shared = flowPathMethod == 1 || flowPathMethod == 3;
  bool multipleFlow = slope == 0.0 || cellClass == 3;
  if (!multipleFlow) {
    double a = aspect;
    if (a >= 337.5) a -= 360.0;
    const int k = static_cast<int>(std::floor((a + 22.5) / 45.0));
    const int m = k + 1;
    W[m] = 1.0;
    V[0] = m;
    velocityGrid[row][col] = m;
    if (shared) {
      double r = a - 45.0 * k;
      if (r > 22.5) r -= 360.0;
      double beta = r >= 0.0 ? 45.0 - r : r + 45.0;
      r *= 0.017453;
      beta *= 0.017453;
      // The larger share goes to the side the aspect leans to.
      double toward = std::fabs(std::cos(r) * std::cos(beta));
      double away = std::fabs(std::cos(r) * std::sin(beta));
      if (r <= 0.0) std::swap(toward, away);
      double w[3] = {away, std::cos(r), toward}; // before m, m, after m
      double sum = 0.0;
      for (double& v : w) {
        if (v < 0.0001) v = 0.0;
        sum += v;
      }
      for (double& v : w) v /= sum;
      W[m] = w[1];
      if (planCurvatureGrid[row][col] <= 0.0) {
        W[previousDirection(m)] = w[0];
        W[nextDirection(m)] = w[2];
      }
    }
    double sum = 0.0;
    for (int j = 1; j <= 8; ++j) {
      if (W[j] > 0.0 && drop(j) < 0.0) W[j] = 0.0;
      sum += W[j];
    }
    if (sum == 0.0) {
      cellClass = 3;
      multipleFlow = true;
    } else {
      for (int j = 1; j <= 8; ++j) W[j] /= sum;
    }
  }
  if (multipleFlow) {
    for (int k = 1; k <= 8; ++k) {
      if (!inDomain(row + rowStep[k], col + columnStep[k])) continue;
      const double h = drop(k);
      if (h > 1e-5) W[k] = isDiagonal(k) ? h / 1.4142135 : h;
    }
    int m = 0;
    double sum = 0.0;
    for (int k = 1; k <= 8; ++k) {
      if (W[k] > 0.0 && (m == 0 || W[k] > W[m])) m = k;
      sum += W[k];
    }
    if (!shared) {
      for (int k = 1; k <= 8; ++k) W[k] = 0.0;
      if (m > 0) W[m] = 1.0;
    } else if (sum > 0.0) {
      for (int k = 1; k <= 8; ++k) W[k] /= sum;
    }
    V[0] = m;
    velocityGrid[row][col] = m;
  }
  V[9] = demGrid[row][col] + surfStorSiltingUpGrid[row][col] / 1000.0;
  W[0] = 0.0;
  if (pass > 0)
    for (int k = 1; k <= 8; ++k) W[0] += std::fabs(old[k] - W[k]) <= 0.01 ? 1.0 : 0.0;
}
