#include <algorithm>
#include <cmath>
#include <sstream>

#include "routing/numbered_allocation.h"
#include "routing/routingclass.h"

namespace {

// Limit of the queue positions of one channel: beyond it the flow times are
// not those of a river.
constexpr double maxQueuePositions = 1.0e7;

double positiveOr(double value, double fallback) { return value > 0.0 ? value : fallback; }

std::string text(double value) {
  std::ostringstream s;
  s << value;
  return s.str();
}

} // namespace

void routingclass::BuildRoutingTables(int c, int code, const std::vector<int>& subbasinCodes,
                                      double storageMain, double storageFlood, double widthMainArg,
                                      double widthFloodArg, double depthMainArg,
                                      double manningMainArg, double manningFloodArg, double slope,
                                      double length, double area, double qMinArg, double qMaxArg,
                                      double intervals, bool divideByAreaFactor) {
  if (c < 1 || c > channelCount()) {
    *diag << "FATAL: routing: subbasin " << subbasinCode << " has no channel " << c
          << "; the routing description lists " << channelCount() << "[end-entry]";
    throw 17;
  }
  channelCode[c] = code;
  const bool summed = c > tributaries && !isInflowChannel(c);
  subbasinList[c] = summed ? subbasinCodes : std::vector<int>{};
  if (isInflowChannel(c) && code < 1) channelFailure(c, "the inflow code must be 1 or more");
  channelColumns[c] = isInflowChannel(c) ? subbasins + code : columnOfSubbasin(code);
  memberColumns[c].clear();
  for (int member : subbasinList[c]) memberColumns[c].push_back(columnOfSubbasin(member));

  storageConstMain[c] = positiveOr(storageMain, 0.01);
  storageConstFlood[c] = positiveOr(storageFlood, 0.01);
  widthMain[c] = positiveOr(widthMainArg, 0.1);
  widthFlood[c] = positiveOr(widthFloodArg, 0.1);
  depthMain[c] = positiveOr(depthMainArg, 0.1);
  manningMain[c] = positiveOr(manningMainArg, 1.0);
  manningFlood[c] = positiveOr(manningFloodArg, 1.0);
  sqrtSlope[c] = slope > 0.0 ? std::sqrt(slope) : 0.0316;
  channelLength[c] = positiveOr(length, 1.0);
  catchmentArea[c] = positiveOr(area, 1e-6);
  qMin[c] = qMinArg;
  qMax[c] = qMaxArg;
  tableIntervals[c] = intervals;
  if (!(qMinArg > 0.0))
    channelFailure(c, "the smallest specific discharge of the table (" + text(qMinArg) +
                          " l/s/km^2) must be above 0");
  if (!(qMaxArg >= qMinArg))
    channelFailure(c, "the largest specific discharge of the table (" + text(qMaxArg) +
                          " l/s/km^2) is below the smallest (" + text(qMinArg) + ")");
  if (!(intervals >= 1.0) || intervals > maxQueuePositions)
    channelFailure(c, "the table needs 1 to " + text(maxQueuePositions) + " intervals, not " +
                          text(intervals));
  const int N = static_cast<int>(intervals);
  logStep[c] = std::log(qMaxArg / qMinArg) / N;

  RoutingTable& w = wqtab[c];
  const std::size_t rows = static_cast<std::size_t>(N) + 2;
  std::vector<double>* const rowArrays[] = {&w.q, &w.qmm, &w.Q,  &w.v,  &w.vm, &w.vf,
                                            &w.t, &w.Rm,  &w.Rf, &w.dm, &w.df};
  int number = 1017;
  for (std::vector<double>* array : rowArrays) allocateNumbered(diag, "", *array, rows, number++);
  allocateNumbered(diag, "", w.delta, rows, 1028);
  allocateNumbered(diag, "", w.floodShare, rows, 1029);
  fillTableRows(c, divideByAreaFactor);
  finishTable(c);
}

void routingclass::fillTableRows(int c, bool divideByAreaFactor) {
  RoutingTable& w = wqtab[c];
  const int N = static_cast<int>(tableIntervals[c]);
  double velocity = 1.0;
  for (int k = N + 1; k >= 1; --k) {
    const double qk = std::exp(std::log(qMax[c]) - (N + 1 - k) * logStep[c]);
    w.q[k] = qk;
    w.qmm[k] = qk * 0.0036 * timeStep / 60.0;
    double Q = qk / 1000.0 * catchmentArea[c];
    if (divideByAreaFactor) Q /= areaFactor;
    double Qm = Q;
    double Qf = 0.0;
    w.df[k] = w.vf[k] = w.Rf[k] = 0.0;
    w.vm[k] = velocity;
    SolveManningDepth(Qm, widthMain[c], w.dm[k], w.Rm[k], w.vm[k], 50, manningMain[c], sqrtSlope[c],
                      0.005);
    if (w.dm[k] > depthMain[c]) splitFloodPlain(c, Qm, Qf, k);
    velocity = w.vm[k];
    const double total = Qm + Qf;
    w.v[k] = total > 0.0 ? Qm / total * w.vm[k] + Qf / total * w.vf[k] : 0.0;
    w.Q[k] = Q;
    w.floodShare[k] = total > 0.0 ? Qf / total : 0.0;
    w.t[k] = channelLength[c] / w.v[k] / 3600.0;
    if (!(w.v[k] > 0.0) || !std::isfinite(w.t[k]))
      channelFailure(c, "no flow velocity for " + text(qk) + " l/s/km^2 (row " + std::to_string(k) +
                            "), so no flow time");
  }
}

// Moves discharge between main channel and flood plain until the water level
// of the flood plain stands at the bank-full depth below that of the main
// channel.
void routingclass::splitFloodPlain(int c, double& Qm, double& Qf, int k) {
  RoutingTable& w = wqtab[c];
  double& dm = w.dm[k];
  double& df = w.df[k];
  w.vf[k] = w.vm[k];
  for (int pass = 0; pass < 50; ++pass) {
    const double dmOld = dm;
    const double dmNew = (df + dm + depthMain[c]) / 2.0;
    df = dmNew - depthMain[c];
    const double dd = std::fabs(dmNew - dmOld);
    const double moved = std::min(dd * widthMain[c] * w.vm[k], dd * widthFlood[c] * w.vf[k]);
    if (dmNew < dmOld) {
      Qm -= moved;
      Qf += moved;
    } else {
      Qf -= moved;
      Qm += moved;
    }
    SolveManningDepth(Qm, widthMain[c], dm, w.Rm[k], w.vm[k], 50, manningMain[c], sqrtSlope[c],
                      0.005);
    SolveManningDepth(Qf, widthFlood[c], df, w.Rf[k], w.vf[k], 50, manningFlood[c], sqrtSlope[c],
                      0.005);
    if (std::fabs(dm - df - depthMain[c]) <= 0.01) break;
  }
}

int routingclass::findSubChannelCount(const RoutingTable& w) const {
  const int last = static_cast<int>(w.t.size()) - 1;
  const double dtH = timeStep / 60.0;
  if (w.t[1] <= dtH + w.t[last]) return 1;
  if ((w.t[1] - w.t[last]) / dtH > maxQueuePositions) return -1;
  // Within one sub-channel the flow times of the slowest and the fastest
  // discharge differ by at most one time step.
  int n = 2;
  while (w.t[last] / n + dtH < w.t[1] / n) ++n;
  return n;
}

void routingclass::finishTable(int c) {
  RoutingTable& w = wqtab[c];
  const int subChannels = findSubChannelCount(w);
  double largest = 0.0;
  for (std::size_t k = 1; subChannels > 0 && k < w.t.size(); ++k)
    largest = std::max(largest, std::trunc(w.t[k] / subChannels / timeStep * 60.0 * subIntervals));
  if (subChannels < 1 || (subIntervals + largest) * subChannels > maxQueuePositions)
    channelFailure(c, "flow times from " + text(w.t.back()) + " to " + text(w.t[1]) +
                          " h need more than " + text(maxQueuePositions) +
                          " translation queue positions");
  w.nSubChannels = subChannels;
  for (std::size_t k = 1; k < w.t.size(); ++k)
    w.delta[k] = static_cast<int>(w.t[k] / subChannels / timeStep * 60.0 * subIntervals);
  w.maxDelta = static_cast<int>(largest);
  w.nStorage = (subIntervals + w.maxDelta) * subChannels;

  const std::size_t slots = static_cast<std::size_t>(subChannels) + 2;
  w.Qaus = matrix(0, subChannels + 1, 0, subIntervals + 1, subChannels + 1);
  w.outflowConcentration.assign(
      w.concentrationIndex(tracerCount + 1, 0, 0, subIntervals), 0.0);
  allocateNumbered(diag, "", w.qvzuq, slots, 1031);
  allocateNumbered(diag, "", w.queuePos, slots, 1032);
  // Room for requeue to copy a whole segment, so that the step allocates nothing.
  const std::size_t copied = static_cast<std::size_t>(w.segmentLength(subIntervals) + 1) *
                             (static_cast<std::size_t>(tracerCount) + 1);
  if (queueCopy.size() < copied) queueCopy.resize(copied);

  // Storage constants are hours; the factors apply once per time step.
  const double dtH = timeStep / 60.0;
  storageConstMain[c] = std::exp(-dtH / storageConstMain[c]);
  storageConstFlood[c] = std::exp(-dtH / storageConstFlood[c]);
}

void routingclass::SolveManningDepth(double flow, double width, double& depth, double& radius,
                                     double& velocity, int maxIterations, double manning,
                                     double sqrtSlopeArg, double tolerance) const {
  for (int count = 1;; ++count) {
    const double previous = velocity;
    const double area = velocity > 0.0 ? flow / velocity : 0.0;
    depth = area / width;
    const double perimeter = 2.0 * depth + width;
    if (perimeter <= 0.0) {
      radius = 0.0;
      velocity = 0.0;
    } else {
      radius = area / perimeter;
      velocity = radius > 0.0 ? manning * std::pow(radius, 0.66667) * sqrtSlopeArg : 0.0;
    }
    if (count >= maxIterations || std::fabs(previous - velocity) <= tolerance) return;
  }
}

int routingclass::FindTableRow(int c, double q) const {
  if (logStep[c] <= 0.0) return 1;
  const double lastRow = std::trunc(1.0 + tableIntervals[c]);
  const double x = std::max(1e-7, 16666.668 / timeStep * q);
  const double row = std::ceil(std::log(x / qMin[c]) / logStep[c]);
  return static_cast<int>(std::max(1.0, std::min(row, lastRow)));
}
