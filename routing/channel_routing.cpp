#include <algorithm>
#include <cmath>

#include "config/tracer_ini_class.h"
#include "routing/routingclass.h"

namespace {

// a / b, 0 where the divisor is 0 (an empty area adds nothing).
double ratio(double a, double b) { return b == 0.0 ? 0.0 : a / b; }

} // namespace

double routingclass::FlowToDepth(double flow, double area, double step) const {
  return flow * 0.06 * step / area;
}

double routingclass::DepthToFlow(double depth, double area, double step) const {
  return depth * area * 16.6666667 / step;
}

double routingclass::mixConcentration(double c1, double c2, double w1, double w2) const {
  const double a1 = std::fabs(w1);
  const double a2 = std::fabs(w2);
  return a1 + a2 == 0.0 ? 0.0 : (a1 * c1 + a2 * c2) / (a1 + a2);
}

double routingclass::MaxOfSubIntervals(const double* values) const {
  double largest = values[1];
  for (int n = 2; n <= subIntervals; ++n) largest = std::max(largest, values[n]);
  return largest;
}

bool routingclass::observedDischarge(int column, double& value) const {
  if (specDischargeFiles != 1 || !specDischarge || !specColumns || column < 1 ||
      column > subbasins || specColumns[column] < 1)
    return false;
  value = specDischarge[10][specColumns[column]];
  return value > header.nodata;
}

bool routingclass::isConnected(int col) const {
  if (!connections) return false;
  const auto connection = connections->find(col);
  return connection != connections->end() && connection->second;
}

void routingclass::InitChannelStates() {
  for (int c = 1; c <= channelCount(); ++c) {
    RoutingTable& w = wqtab[c];
    const double runoff = stepRunoff[0][channelColumn(c)];
    const int delay = w.delta[FindTableRow(c, runoff)];
    const int length = w.segmentLength(subIntervals);
    for (int s = 1; s <= static_cast<int>(w.nSubChannels); ++s) {
      for (int n = 1; n <= subIntervals; ++n) {
        w.Qaus[s][n] = runoff;
        for (int t = 1; t <= tracerCount; ++t)
          w.concentrationOf(t, s, n, subIntervals) = stepRunoff[t][channelColumn(c)];
      }
      w.qvzuq[s] = 0.0;
      w.queuePos[s] = subIntervals + length * (s - 1) + delay;
    }
  }
}

void routingclass::Route(int year, int month, int day, int hour, int minute) {
  const bool initialisation = month < 1;
  const bool irrigation = !initialisation && irrigationDemand && maxirrig && ledger;
  waterBalance = ElementWaterBalance{};
  waterBalance.received = columnsVolume();
  const double owedBefore = irrigation ? irrigationOwedVolume() : 0.0;
  if (irrigation) drawIrrigationFromTributaries();

  // What the channels and the own subbasin take; the rest of what they
  // received, and what the channels gave of the water they held, was
  // withdrawn.
  double taken = 0.0;
  double paidFromChannels = 0.0;
  for (int n = 1; n <= subIntervals; ++n) {
    elementOut[0][n] = areaShares[0] * subRunoff[0][n][ownColumn];
    for (int t = 1; t <= tracerCount; ++t) elementOut[t][n] = subRunoff[t][n][ownColumn];
    taken += elementOut[0][n] / subIntervals * elementVolumeFactor();
  }

  for (int c = 1; c <= channelCount(); ++c) {
    const int col = channelColumn(c);
    if (!initialisation && riverflowTable && !isInflowChannel(c)) giveToSoil(c);
    if (irrigation && !isInflowChannel(c)) paidFromChannels += payIrrigationFromChannel(c);
    if (c > tributaries && !isInflowChannel(c)) mixSummedChannel(c);
    const int j = c - tributaries - summedTributaries;
    if (isInflowChannel(c) && inflowMode[j] == 3) {
      // An abstraction delivers this inflow in m^3/s.
      for (int n = 1; n <= subIntervals; ++n)
        subRunoff[0][n][col] = FlowToDepth(subRunoff[0][n][col], catchmentArea[c], timeStep);
      for (int t = 0; t <= tracerCount; ++t) stepRunoff[t][col] = subRunoff[t][1][col];
    }
    takeChannelInput(c, col);
    if (!isInflowChannel(c))
      taken += channelInputVolume(c);
    else if (inflowMode[j] == 3)
      waterBalance.internalInflow += channelInputVolume(c);
    else
      waterBalance.externalInflow += channelInputVolume(c);
    if (isConnected(col)) {
      for (int t = 0; t <= tracerCount; ++t)
        for (int n = 1; n <= subIntervals; ++n) routeQueue[t][col][n] = subRunoff[t][n][col];
    } else {
      for (int s = static_cast<int>(wqtab[c].nSubChannels); s >= 1; --s) routeSubChannel(c, col, s);
    }
    addChannelToElement(c);
  }

  waterBalance.withdrawn = waterBalance.received - taken + paidFromChannels;
  finishElementOutflow();
  if (irrigation) {
    irrigateAtOutlet();
    // What the fields drew beyond the water given is owed: drawn all the same.
    waterBalance.withdrawn += irrigationOwedVolume() - owedBefore;
  }
  abstractedTotal = 0.0;
  abstractFromChannel(year, month, day, hour, minute);
  routeReservoirs(year, month, day, hour, minute);
  waterBalance.outflow = stepRunoff[0][ownColumn] * elementVolumeFactor();
}

// Each column pays what it owes the fields first from this step's runoff,
// before it enters the channel; what that lacks stays owed until the
// channel pays it from the water it held (payIrrigationFromChannel).
void routingclass::drawIrrigationFromTributaries() {
  const auto draw = [&](int col) {
    if (!drawsFromChannel(col)) return;
    for (int t = 0; t <= tracerCount; ++t) maxirrig[t][col] = subRunoff[t][1][col];
    double& owed = ledger->owed[static_cast<std::size_t>(col)];
    owed = drawFromColumn(col, owed + irrigationDemand[col].valueSum);
  };
  for (int c = 1; c <= tributaries + summedTributaries; ++c) {
    for (int member : memberColumns[c]) draw(member);
    draw(channelColumn(c));
  }
}

double routingclass::drawFromColumn(int col, double amount) {
  double lacked = 0.0;
  for (int n = 1; n <= subIntervals; ++n) {
    double& runoff = subRunoff[0][n][col];
    lacked += std::max(0.0, amount - runoff);
    runoff = std::max(0.0, runoff - amount);
  }
  for (int n = 1; n <= subIntervals && lacked > 0.0; ++n) {
    double& runoff = subRunoff[0][n][col];
    const double paid = std::min(runoff, lacked);
    runoff -= paid;
    lacked -= paid;
  }
  return lacked / subIntervals;
}

// The soil of the river cells took in the step from the water the channel
// held at the end of the last one, each column's cells at most the
// column's share of it (offerHeldWater): the channel gives it from its
// queue and its storages alike, before this step's runoff enters.
void routingclass::giveToSoil(int c) {
  double volume = 0.0;
  const auto take = [&](int col) {
    ReinfiltrationRecord& record = riverflowTable[col];
    if (!(record.catchmentArea > 0.0)) return;
    record.withdrawal = FlowToDepth(record.withdrawal, record.catchmentArea, timeStep);
    volume += record.withdrawal * columnVolumeFactor(c, col);
  };
  for (int member : memberColumns[c]) take(member);
  take(channelColumn(c));
  waterBalance.toSoil += volume;
  // A channel that holds nothing offered nothing.
  const double content = channelContent(c);
  if (!(volume > 0.0) || !(content > 0.0)) return;
  // Beyond the content only by the rounding of the record's units.
  keepInChannel(c, std::max(0.0, 1.0 - volume / content));
}

// The fields took their water in the step, before the soil of the river
// cells took what the channel offered it: the channel pays them from what
// is left of the water it held.
double routingclass::payIrrigationFromChannel(int c) {
  std::vector<double>& owed = ledger->owed;
  double volume = 0.0;
  const auto add = [&](int col) {
    if (drawsFromChannel(col))
      volume += owed[static_cast<std::size_t>(col)] * columnVolumeFactor(c, col);
  };
  for (int member : memberColumns[c]) add(member);
  add(channelColumn(c));
  const double content = channelContent(c);
  if (!(volume > 0.0) || !(content > 0.0)) return 0.0;
  const double paid = std::min(volume, content);
  keepInChannel(c, 1.0 - paid / content);
  const double left = 1.0 - paid / volume;
  const auto settle = [&](int col) {
    if (drawsFromChannel(col)) owed[static_cast<std::size_t>(col)] *= left;
  };
  for (int member : memberColumns[c]) settle(member);
  settle(channelColumn(c));
  return paid;
}

void routingclass::keepInChannel(int c, double keep) {
  RoutingTable& w = wqtab[c];
  double* queue = routeQueue[0][channelColumn(c)];
  const int length = w.segmentLength(subIntervals);
  for (int s = 1; s <= static_cast<int>(w.nSubChannels); ++s) {
    const int base = (s - 1) * length;
    for (int i = base + subIntervals + 1; i <= w.queuePos[s]; ++i) queue[i] *= keep;
    for (int n = 1; n <= subIntervals; ++n) w.Qaus[s][n] *= keep;
  }
}

// The listed subbasins and the channel's own subbasin flow into one channel:
// their runoff is mixed by area into the channel's column.
void routingclass::mixSummedChannel(int c) {
  const int col = channelColumn(c);
  for (int n = 1; n <= subIntervals; ++n) {
    double areaSum = 0.0;
    double weighted = 0.0;
    std::fill(mixSums.begin(), mixSums.end(), 0.0);
    const auto add = [&](int m) {
      const double a = ratio(cellCount(m), columnAreaFactor(m));
      double flow = subRunoff[0][n][m];
      observedDischarge(m, flow);
      const double w = a * flow;
      areaSum += a;
      weighted += w;
      for (int t = 1; t <= tracerCount; ++t) mixSums[t] += w * subRunoff[t][n][m];
    };
    for (int member : memberColumns[c]) add(member);
    add(col);
    subRunoff[0][n][col] = ratio(weighted, areaSum);
    for (int t = 1; t <= tracerCount; ++t) subRunoff[t][n][col] = ratio(mixSums[t], weighted);
    mixSums[0] = areaSum;
  }
}

void routingclass::takeChannelInput(int c, int col) {
  double observed = 0.0;
  const bool replaced =
      (c <= tributaries || isInflowChannel(c)) && observedDischarge(col, observed);
  for (int n = 1; n <= subIntervals; ++n) {
    channelFlow[0][n] = replaced ? observed : subRunoff[0][n][col];
    for (int t = 1; t <= tracerCount; ++t) channelFlow[t][n] = subRunoff[t][n][col];
  }
}

void routingclass::routeSubChannel(int c, int col, int s) {
  const RoutingTable& w = wqtab[c];
  const int base = (s - 1) * w.segmentLength(subIntervals);
  const int delay = w.delta[FindTableRow(c, MaxOfSubIntervals(channelFlow[0].data()))];
  for (int t = 1; t <= tracerCount; ++t) {
    const double halfTime = (*tracerRecords)[t].halfTime;
    decayFactor[t] = halfTime > 0.0 ? std::exp(-(delay * timeStep / subIntervals / 60.0 / 24.0) /
                                               (halfTime * 1.442695041111))
                                    : 1.0;
  }
  translate(c, col, s, base, delay);
  retain(c, col, s, base);
}

// Spreads the water queued in `from` slots beginning at `first` over `to`
// slots, in order and with its volume: each new slot takes the old slots'
// flows over its share of the old span. Tracers mix by volume.
void routingclass::requeue(int col, int first, int from, int to) {
  const std::size_t need = static_cast<std::size_t>(from) + 1;
  if (queueCopy.size() < need * (tracerCount + 1)) queueCopy.resize(need * (tracerCount + 1));
  for (int t = 0; t <= tracerCount; ++t)
    for (int k = 0; k < from; ++k) queueCopy[t * need + k] = routeQueue[t][col][first + k];
  const double span = to > 0 ? static_cast<double>(from) / to : 0.0;
  for (int j = 0; j < to; ++j) {
    const double lo = j * span;
    const double hi = (j + 1) * span;
    double volume = 0.0;
    std::fill(queueMix.begin(), queueMix.end(), 0.0);
    for (int k = static_cast<int>(lo); k < from && k < hi; ++k) {
      const double w = queueCopy[k] * (std::min(hi, k + 1.0) - std::max(lo, static_cast<double>(k)));
      volume += w;
      for (int t = 1; t <= tracerCount; ++t) queueMix[t] += w * queueCopy[t * need + k];
    }
    routeQueue[0][col][first + j] = volume;
    for (int t = 1; t <= tracerCount; ++t)
      routeQueue[t][col][first + j] = volume != 0.0 ? queueMix[t] / volume : 0.0;
  }
}

// Writes the sub-channel's inflow into its queue `delay` sub-intervals ahead
// of the outflow window and moves the queue on by one time step. Where the
// delay changed since the last step, the water still queued is spread over
// the new delay; with no delay left it leaves with the step's inflow.
void routingclass::translate(int c, int col, int s, int base, int delay) {
  RoutingTable& w = wqtab[c];
  double* queue = routeQueue[0][col];
  const int first = base + 1 + subIntervals;
  const int p = first + delay;
  const int queued = w.queuePos[s] - first + 1;
  // Slots from p that already hold queued water the inflow joins.
  int joined = 0;
  if (queued != delay) {
    joined = delay == 0 && queued > 0 ? subIntervals : 0;
    requeue(col, first, queued, delay > 0 ? delay : joined);
  }
  for (int n = 1; n <= subIntervals; ++n) {
    const int i = p + n - 1;
    // A tracer decays over the time it spends in the queue, once.
    for (int t = 1; t <= tracerCount; ++t) {
      const double inflowing = channelFlow[t][n] * decayFactor[t];
      routeQueue[t][col][i] = n <= joined ? mixConcentration(routeQueue[t][col][i], inflowing,
                                                             queue[i], channelFlow[0][n])
                                          : inflowing;
    }
    queue[i] = (n <= joined ? queue[i] : 0.0) + channelFlow[0][n];
  }
  const int length = w.segmentLength(subIntervals);
  for (int t = 0; t <= tracerCount; ++t) {
    double* q = routeQueue[t][col];
    for (int i = base + 1; i <= base + length; ++i) q[i] = q[i + subIntervals];
  }
  w.queuePos[s] = p - 1;
}

// Linear storages of main channel and flood plain. Their outflows are carried
// apart (as the flood-plain share of the sub-channel's outflow), so that a
// changing share moves no water between them. The outflow mixes what passes
// through of the queue's water with what the storages held, at the
// concentration of their last outflow: a channel whose inflow ceased still
// gives its stored water at that water's concentration.
void routingclass::retain(int c, int col, int s, int base) {
  RoutingTable& w = wqtab[c];
  const double* queue = routeQueue[0][col];
  const double fp = w.floodShare[FindTableRow(c, MaxOfSubIntervals(queue + base))];
  const double km = storageConstMain[c];
  const double kf = storageConstFlood[c];
  const double previousShare = w.qvzuq[s];
  double floodOut = 0.0;
  double totalOut = 0.0;
  for (int n = 1; n <= subIntervals; ++n) {
    const double x = queue[base + n];
    const double y = w.Qaus[s][n];
    const double passing = (1.0 - fp) * x * (1.0 - km) + fp * x * (1.0 - kf);
    const double held = (1.0 - previousShare) * y * km + previousShare * y * kf;
    const double main = (1.0 - fp) * x * (1.0 - km) + (1.0 - previousShare) * y * km;
    const double flood = fp * x * (1.0 - kf) + previousShare * y * kf;
    channelFlow[0][n] = w.Qaus[s][n] = main + flood;
    for (int t = 1; t <= tracerCount; ++t) {
      double& C = w.concentrationOf(t, s, n, subIntervals);
      C = mixConcentration(routeQueue[t][col][base + n], C, passing, held);
      channelFlow[t][n] = C;
    }
    floodOut += flood;
    totalOut += main + flood;
  }
  w.qvzuq[s] = totalOut > 0.0 ? floodOut / totalOut : fp;
}

void routingclass::addChannelToElement(int c) {
  const double elementCells = cellCount(ownColumn);
  const double tributaryFactor = columnAreaFactor(channelColumn(c));
  for (int n = 1; n <= subIntervals; ++n) {
    const double x = channelFlow[0][n];
    double add;
    if (isInflowChannel(c))
      add = ratio(x * catchmentArea[c], elementArea) * areaFactor;
    else if (c > tributaries)
      add = ratio(x * areaFactor, elementCells) * mixSums[0];
    else
      add = ratio(areaShares[c], tributaryFactor) * x;
    for (int t = 1; t <= tracerCount; ++t)
      elementOut[t][n] =
          mixConcentration(elementOut[t][n], channelFlow[t][n], elementOut[0][n], add);
    elementOut[0][n] += add;
  }
}

void routingclass::finishElementOutflow() {
  for (int t = 0; t <= tracerCount; ++t) elementOut[t][0] = 0.0;
  for (int n = 1; n <= subIntervals; ++n) {
    for (int t = 0; t <= tracerCount; ++t) subRunoff[t][n][ownColumn] = elementOut[t][n];
    elementOut[0][0] += elementOut[0][n];
  }
  if (elementOut[0][0] > 0.0)
    for (int t = 1; t <= tracerCount; ++t)
      for (int n = 1; n <= subIntervals; ++n)
        elementOut[t][0] += elementOut[0][n] / elementOut[0][0] * elementOut[t][n];
  stepRunoff[0][ownColumn] = elementOut[0][0] / subIntervals;
  for (int t = 1; t <= tracerCount; ++t) stepRunoff[t][ownColumn] = elementOut[t][0];
}

// The element's outflow pays what its own subbasin owes the fields and
// its demand of the step, as far as it goes; the rest stays owed.
void routingclass::irrigateAtOutlet() {
  const ZoneRecord& record = irrigationDemand[ownColumn];
  const double cells = cellCount(ownColumn);
  if (maxirrig[0][ownColumn] != 0.0 || !(record.areaFraction > 0.0) || !(cells > 0.0)) return;
  maxirrig[0][ownColumn] = cells / record.areaFraction * stepRunoff[0][ownColumn] / areaFactor;
  for (int t = 1; t <= tracerCount; ++t) maxirrig[t][ownColumn] = stepRunoff[t][ownColumn];
  double& owed = ledger->owed[static_cast<std::size_t>(ownColumn)];
  const double draw = record.areaFraction / cells * (owed + record.valueSum) * areaFactor;
  double lacked = 0.0;
  for (int n = 1; n <= subIntervals; ++n) {
    double& runoff = subRunoff[0][n][ownColumn];
    const double left = std::max(0.0, runoff - draw);
    lacked += std::max(0.0, draw - runoff);
    waterBalance.withdrawn += (runoff - left) / subIntervals * elementVolumeFactor();
    runoff = left;
  }
  double sum = 0.0;
  for (int n = 1; n <= subIntervals; ++n) {
    double& runoff = subRunoff[0][n][ownColumn];
    const double paid = std::min(runoff, lacked);
    if (paid > 0.0) {
      waterBalance.withdrawn += paid / subIntervals * elementVolumeFactor();
      runoff -= paid;
      lacked -= paid;
    }
    sum += runoff;
  }
  stepRunoff[0][ownColumn] = sum / subIntervals;
  owed = lacked / subIntervals / (record.areaFraction / cells * areaFactor);
}
