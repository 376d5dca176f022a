// The water balance of a routing element: the volumes its channels and
// reservoirs hold, and the water that entered or left it in a step.
#include "routing/routingclass.h"

namespace {

double ratio(double a, double b) { return b == 0.0 ? 0.0 : a / b; }

// What a linear storage with recession factor k per step holds per unit of
// its outflow: its outflow q = (1 - k) x + k q' holds k / (1 - k) q.
double heldPerOutflow(double k) { return k < 1.0 ? k / (1.0 - k) : 0.0; }

} // namespace

double routingclass::summedAreaSum(int c) const {
  double sum = ratio(cellCount(channelColumn(c)), columnAreaFactor(channelColumn(c)));
  for (int member : memberColumns[c]) sum += ratio(cellCount(member), columnAreaFactor(member));
  return sum;
}

// The factors under which addChannelToElement adds the channel's flow to the
// element's depth.
double routingclass::channelVolumeFactor(int c) const {
  double perElementDepth;
  if (isInflowChannel(c))
    perElementDepth = ratio(catchmentArea[c], elementArea) * areaFactor;
  else if (c > tributaries)
    perElementDepth = ratio(areaFactor, cellCount(ownColumn)) * summedAreaSum(c);
  else
    perElementDepth = ratio(areaShares[c], columnAreaFactor(channelColumn(c)));
  return perElementDepth * elementVolumeFactor();
}

double routingclass::columnVolumeFactor(int c, int col) const {
  if (c > tributaries)
    return elementVolumeFactor() * ratio(areaFactor, cellCount(ownColumn)) *
           ratio(cellCount(col), columnAreaFactor(col));
  return elementVolumeFactor() * areaShares[c] * (1.0 / columnAreaFactor(col));
}

// The runoff of the own subbasin and of every column a channel other than
// an inflow routes, before anything is withdrawn from it.
double routingclass::columnsVolume() const {
  const double perInterval = 1.0 / subIntervals;
  double volume = 0.0;
  for (int n = 1; n <= subIntervals; ++n)
    volume += areaShares[0] * subRunoff[0][n][ownColumn] * perInterval * elementVolumeFactor();
  for (int c = 1; c <= tributaries + summedTributaries; ++c) {
    const auto add = [&](int col) {
      for (int n = 1; n <= subIntervals; ++n)
        volume += columnVolumeFactor(c, col) * subRunoff[0][n][col] * perInterval;
    };
    if (c > tributaries)
      for (int member : memberColumns[c]) add(member);
    add(channelColumn(c));
  }
  return volume;
}

double routingclass::channelInputVolume(int c) const {
  double depth = 0.0;
  for (int n = 1; n <= subIntervals; ++n) depth += channelFlow[0][n] / subIntervals;
  return depth * channelVolumeFactor(c);
}

// Per sub-channel the queue's slots behind those the step released, and
// what main channel and flood plain hold after the step.
double routingclass::channelContent(int c) const {
  const RoutingTable& w = wqtab[c];
  const int col = channelColumn(c);
  if (isConnected(col) || !routeQueue || !routeQueue[0][col]) return 0.0;
  const double* queue = routeQueue[0][col];
  const int length = w.segmentLength(subIntervals);
  const double main = heldPerOutflow(storageConstMain[c]);
  const double flood = heldPerOutflow(storageConstFlood[c]);
  double depth = 0.0;
  for (int s = 1; s <= static_cast<int>(w.nSubChannels); ++s) {
    const int base = (s - 1) * length;
    for (int i = base + subIntervals + 1; i <= w.queuePos[s]; ++i) depth += queue[i];
    const double held = (1.0 - w.qvzuq[s]) * main + w.qvzuq[s] * flood;
    for (int n = 1; n <= subIntervals; ++n) depth += held * w.Qaus[s][n];
  }
  return depth / subIntervals * channelVolumeFactor(c);
}

double routingclass::channelVolume() const {
  double volume = 0.0;
  for (int c = 1; c <= channelCount(); ++c) volume += channelContent(c);
  return volume;
}

double routingclass::reservoirVolume() const {
  double volume = 0.0;
  for (int k = 1; k <= reservoirs; ++k) volume += reservoir(k).getVolume();
  return volume;
}

double routingclass::outletDrawFactor() const {
  const ZoneRecord& record = irrigationDemand[ownColumn];
  const double cells = cellCount(ownColumn);
  if (!(record.areaFraction > 0.0) || !(cells > 0.0)) return 0.0;
  return record.areaFraction / cells * areaFactor * elementVolumeFactor();
}

// Each column's owed depth by the factor under which its draw took the
// element's water.
double routingclass::irrigationOwedVolume() const {
  if (!ledger || !irrigationDemand) return 0.0;
  const std::vector<double>& owed = ledger->owed;
  double volume = owed[static_cast<std::size_t>(ownColumn)] * outletDrawFactor();
  for (int c = 1; c <= tributaries + summedTributaries; ++c) {
    const auto add = [&](int col) {
      if (drawsFromChannel(col))
        volume += owed[static_cast<std::size_t>(col)] * columnVolumeFactor(c, col);
    };
    for (int member : memberColumns[c]) add(member);
    add(channelColumn(c));
  }
  return volume;
}
