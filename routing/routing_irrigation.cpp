// Channel routing and irrigation: the elements draw the subbasins'
// surface-water demand from the rivers, and the water drawn upstream is
// counted as available below, where irrigation takes it off again.
#include <algorithm>

#include "routing/abflussmodellklasse.h"

void abflussmodellklasse::setIrrigationDemand(ZoneRecord* records) {
  if (flowControl <= 0) return;
  irrigationDemand = records;
  for (std::size_t d = 1; d < elements.size(); ++d) elements[d]->SetIrrigationRecords(records);
}

// The demand becomes the mean over the subbasin, less what the reservoirs
// give; the elements find it in valueSum.
void abflussmodellklasse::prepareIrrigationDemand() {
  if (!irrigationDemand) return;
  for (int i = 1; i <= subbasins; ++i) {
    for (int t = 0; t <= tracerCount; ++t) maxirrig[static_cast<std::size_t>(t)][i] = 0.0;
    ZoneRecord& r = irrigationDemand[i];
    const double mean = r.effectiveWeight > 0.0 ? r.valueSum / r.effectiveWeight : 0.0;
    r.valueSum = std::max(0.0, mean - maxirrigFromReservoirs[0][i]);
  }
}

// A subbasin with an element passes its demand down its channel; one without
// passes only what its runoff fell below zero.
void abflussmodellklasse::passIrrigationDown() {
  if (!irrigationDemand) return;
  const std::vector<int>& list = topology.tributaries;
  const auto area = [&](int i) { return irrigationDemand[i].areaFraction; };
  for (std::size_t k = 1; k < list.size(); ++k) {
    const int s = list[k];
    if (s < 1 || s > subbasins) continue;
    double amount = irrigationDemand[s].valueSum;
    if (topology.description[static_cast<std::size_t>(s)] < 1)
      amount = area(s) > 0.0 ? -stepRunoff[0][s] * abfrel[0][s] / area(s) : 0.0;
    amount = std::max(0.0, amount);
    for (int u = topology.downstream[static_cast<std::size_t>(s)]; u > 0;
         u = topology.downstream[static_cast<std::size_t>(u)])
      if (area(u) > 0.0) maxirrig[0][u] += amount * area(s) / area(u);
  }
}

// The fields do not borrow while their river is in debt: the channels pay
// first from their next inflows.
void abflussmodellklasse::offerLessOwed() {
  if (!irrigationDemand) return;
  for (int i = 1; i <= subbasins; ++i) {
    const double owed = irrigationLedger.owed[static_cast<std::size_t>(i)];
    if (owed > 0.0) maxirrig[0][i] = std::max(0.0, maxirrig[0][i] - owed);
  }
}
