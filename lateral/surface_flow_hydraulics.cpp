// Hydraulics of surface routing: Strickler roughness with crop stems and
// residue cover, velocities and fluxes towards the neighbours, the stable
// inner step and the volumes a cell exchanges.
#include <algorithm>
#include <cmath>

#include "lateral/surface_flow_directions.h"
#include "lateral/surfaceroutingclass.h"

using namespace surface_flow;

namespace {

constexpr double g = 9.8159;
constexpr double eightG = 78.5272;
constexpr double crossSectionWidth = 1.4142135;

// Velocity from the Strickler law iterated to a fixed point, starting from
// v; the flow depth follows the velocity when depthFromVelocity is set.
template <typename Strickler>
double iterateVelocity(double v, double tolerance, int maxSteps, double slopeTerm,
                       Strickler&& strickler, double& depth, double& K, bool depthFromVelocity,
                       double dischargePerWidth) {
  double previous = v;
  double current = v;
  for (int steps = 0; (std::fabs(previous - current) > tolerance || steps == 0) && steps < maxSteps;
       ++steps) {
    const double mid = depthFromVelocity ? (previous + current) / 2.0 : current;
    if (depthFromVelocity) depth = dischargePerWidth / mid;
    K = strickler(mid, depth);
    previous = current;
    current = K * std::pow(depth, 0.66667) * slopeTerm;
  }
  return current;
}

} // namespace

double surfaceroutingclass::stricklerCoefficient(double v, double h, double r, double s, long row,
                                                 long col, int code, int cultivation) {
  const landuse_class& record = (*context.landuseTable)[static_cast<size_t>(code)];
  const double k0 = record.getSR_K_ST();
  if (cultivation == 1) {
    const double Re = 4000000.0 * v * h;
    double a = 0.0, b = 0.0, c = 0.0;
    if (Re < 20000.0)
      record.getSR_rough_coeff1(a, b, c);
    else
      record.getSR_rough_coeff2(a, b, c);
    return std::pow(Re, c) / (a * std::pow(100.0 * r, b));
  }
  if (cultivation != 2) return k0;

  const double dP = record.getSR_StemDiameterByDate(diag, currentDate.day, currentDate.month,
                                                    currentDate.year, row, col);
  const double ax = record.getSR_CropDistX();
  const double ay = record.getSR_CropDistY();
  double lambdaP = 0.0;
  if (dP >= 0.001 && h >= minFlowDepthCrops) {
    const double ReP = v * dP * 1000000.0;
    double cInf = 1.0;
    if (ReP < 800.0)
      cInf = 3.07 * std::pow(ReP, -0.168);
    else if (ReP >= 10000.0)
      cInf = record.getSR_C_WR();
    else if (ReP >= 8000.0)
      cInf = 1.2;
    const double sEff = cInf * s / (v * v) > 0.04 ? v * v / cInf / 25.0 : s;
    // Wake length of a stem.
    double anl = 50.0 * dP;
    if (anl > maxErrorANL && maxIterANL > 0) {
      double previous = 0.0;
      for (int i = 0; i < maxIterANL; ++i) {
        anl = 128.9 * cInf * dP * std::pow(1.0 + g * anl * sEff / (v * v / 2.0), -2.14);
        if (std::fabs(anl - previous) <= maxErrorANL) break;
        previous = anl;
      }
    }
    const double p3 = std::pow(anl / ax, -0.48);
    const double p4 = std::pow(0.24 * std::pow(anl, 0.59) * std::pow(cInf * dP, 0.41) / ay, 1.1);
    double Fr = v / std::sqrt(g * h);
    const double ayEff = ay <= 5.0 * dP ? 5.0 * dP : ay;
    const double q = ayEff / (ayEff - dP); // blockage ratio
    const double q3 = q * q * q;
    if (q3 * Fr > 0.666) Fr = 2.0 / (3.0 * q3);
    double X = 799.9999999999999;
    if (Fr >= 0.05)
      X = 2.0 / (Fr * Fr);
    else
      Fr = 0.05;
    // Water-level ratio before and behind a stem row.
    double y = 0.6;
    double yNext = 0.6;
    for (int i = 0; i < maxIterANL; ++i) {
      yNext = (y - q) * 2.0 * Fr / (y * y - 1.0);
      if (std::fabs(y - yNext) <= 0.0001) break;
      y = yNext;
    }
    lambdaP = (4.0 * h * dP / (ayEff * ax)) * (1.31 * cInf * (1.15 * p3 + 0.5 * p4) +
                                               X * (1.0 - yNext));
  }
  const double t = std::pow(h, 0.3333);
  const double lambda = eightG / (k0 * k0 * t) + lambdaP;
  const double radicand = eightG / (t * lambda);
  return radicand > 0.0 ? std::sqrt(radicand) : 0.001;
}

void surfaceroutingclass::computeVelocities(long row, long col, long pass, long refreshPass,
                                            int cellClass) {
  const double H = headGrid[row][col];
  double* V = velocityStack[row][col];
  double* Q = fluxesStack[row][col];
  double* W = weightsStack[row][col];
  const double d = header.cellsize;
  const double d2 = d * d;
  const bool reuse = W[0] >= 8.0 && pass != 0 && pass != refreshPass && flowPathMethod != 5;
  if (reuse) {
    // The fluxes were bounded by the depth they were computed with; the
    // cell may hold less water now.
    double sum = 0.0;
    for (int k = 1; k <= 8; ++k) sum += Q[k] > 0.0 ? Q[k] : 0.0;
    const double limit = H > 0.0 ? d2 * H / maxSubTimeStep : 0.0;
    if (sum > limit) {
      const double ratio = sum > 0.0 ? limit / sum : 0.0;
      for (int k = 1; k <= 8; ++k)
        if (Q[k] > 0.0) Q[k] *= ratio;
    }
  } else {
    int layer = 0;
    int code = -1;
    for (int k = nLanduseLayers; k >= 1 && code < 0; --k)
      if (landuseGrids[k][row][col] != -9999.0) {
        code = static_cast<int>(landuseGrids[k][row][col]);
        layer = k;
      }
    const landuse_class& record = (*context.landuseTable)[static_cast<size_t>(std::max(code, 0))];
    const int cultivation = record.getSR_cultivation();
    const double cover = cultivation == 1 || cultivation == 2
                             ? record.getSR_ResidCovrgByDate(diag, currentDate.day,
                                                             currentDate.month, currentDate.year,
                                                             layer, row, col)
                             : 0.5;
    const double k0 = record.getSR_K_ST();
    Q[0] = 0.0;
    fluxesGrid[row][col] = 0.0;
    const double level = demGrid[row][col] + waterDepth(row, col);
    double boundSum = 0.0;
    for (int k = 1; k <= 8; ++k) {
      if (W[k] <= 0.0 || H <= 0.0) {
        V[k] = 0.0;
        Q[k] = 0.0;
        reportFPE(row, col, 99, k, W[k], V[k], Q[k], 0.0, 0.0);
        continue;
      }
      if (V[k] <= 0.0) V[k] = 0.1;
      const double L = isDiagonal(k) ? crossSectionWidth * d : d;
      const long rk = row + rowStep[k], ck = col + columnStep[k];
      const double levelK = demGrid[rk][ck] + waterDepth(rk, ck);
      const double drop = level - levelK;
      double I = drop / L;
      if (cellClass == 2 && demGrid[row][col] <= levelK) {
        const long ro = row + rowStep[opposite(k)], co = col + columnStep[opposite(k)];
        I = (demGrid[ro][co] + waterDepth(ro, co) - levelK) / (2.0 * L);
      }
      const double s = I > 0.0 ? std::sqrt(I) : 0.0;
      const double bound = 2.0 * W[k] * d2 * drop / maxSubTimeStep;
      const double qMax = std::min(bound, W[k] * d2 * H / maxSubTimeStep);
      boundSum += bound;
      if (flowPathMethod == 5) {
        V[k] = std::min(L / (20.0 * minSubTimeStep), 10.0 * std::pow(H, 0.66667) * s);
        Q[k] = H * V[k] * L;
        Q[0] += Q[k];
        reportFPE(row, col, 99, k, W[k], V[k], Q[k], 0.0, 0.0);
        continue;
      }
      const auto strickler = [&](double v, double h) {
        return stricklerCoefficient(v, h, cover, s, row, col, std::max(code, 0), cultivation);
      };
      double hf = 0.0;
      double K = k0;
      double v = iterateVelocity(V[k], maxErrorVelocity, maxIterVelocity, s, strickler, hf, K,
                                 true, qMax / L);
      double c = 1.0;
      if (concentrationFactor > 1.0 &&
          criticalShearStressGrid[row][col] <= 9815.0 * hf * s * s * std::pow(K / k0, 1.5)) {
        c = concentrationFactor;
        v = iterateVelocity(v, maxErrorVelocity, maxIterVelocity, s, strickler, hf, K, true,
                            c * qMax / L);
      }
      if (H < hf / c) {
        hf = c * H;
        v = iterateVelocity(v, maxErrorVelocity, maxIterVelocity, s, strickler, hf, K, false, 0.0);
      }
      if (hf < 0.0001) {
        v = 0.0;
        hf = 0.0;
      }
      V[k] = v;
      Q[k] = v * L * hf / c;
      Q[0] += Q[k];
      reportFPE(row, col, 99, k, W[k], V[k], Q[k], 0.0, 0.0);
    }
    fluxesGrid[row][col] = Q[0];
    // A cell sends no more than it holds within the longest inner step,
    // and no more than the drops towards its receivers allow.
    if (Q[0] > 0.0) {
      const double ratio = std::min(boundSum, d2 * H / maxSubTimeStep) / Q[0];
      if (ratio < 1.0) {
        Q[0] = 0.0;
        for (int k = 1; k <= 8; ++k) {
          if (Q[k] > 0.0) Q[k] *= ratio;
          Q[0] += Q[k];
        }
        fluxesGrid[row][col] = Q[0];
      }
    }
  }
  const int m = static_cast<int>(V[0]);
  if (m >= 1 && m <= 8) Q[0] = Q[m];
  fluxesGrid[row][col] = Q[0];
}

double surfaceroutingclass::courantTimeStep() {
  const double d = header.cellsize;
  const bool heads = flowPathMethod == 6;
  double shortest = 1e36;
  const OwnCells& own = cells;
#pragma omp parallel for schedule(runtime) reduction(min : shortest)
  for (long r = own.firstRow; r <= own.lastRow; ++r) {
    const long last = own.lastColumn(r);
    for (long c = own.firstColumn(r); c <= last; ++c) {
      if (!own.owns(r, c)) continue;
      const double* V = velocityStack[r][c];
      const double* W = weightsStack[r][c];
      for (int k = 1; k <= 8; ++k) {
        if (heads ? V[k] != 0.0 : W[k] > 0.0001 && V[k] > 1e-5)
          shortest = std::min(shortest, std::fabs(d / V[k]));
      }
    }
  }
  return shortest;
}

void surfaceroutingclass::cellInOutVolumes(long row, long col, double dt) {
  const size_t n = concQDGrids.empty() ? 0 : tracers.size();
  double qIn = 0.0;
  for (size_t t = 0; t < n; ++t) tracers[t]->concflux[row][col] = 0.0;
  for (int k = 1; k <= 8; ++k) {
    const long r = row + rowStep[k];
    const long c = col + columnStep[k];
    if (!inDomain(r, c)) continue;
    const double flux = fluxesStack[r][c][opposite(k)];
    qIn += flux;
    for (size_t t = 0; t < n; ++t) tracers[t]->concflux[row][col] += flux * tracers[t]->concstor[r][c];
  }
  for (size_t t = 0; t < n; ++t) tracers[t]->concflux[row][col] *= dt * 1000.0;
  double out = 0.0;
  const double* Q = fluxesStack[row][col];
  for (int k = 1; k <= 8; ++k) out += Q[k] > 0.0 ? Q[k] : 0.0;
  qInGrid[row][col] = qIn * dt;
  qOutGrid[row][col] = out * dt;
}
