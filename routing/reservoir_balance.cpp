// The water and tracer balance of a reservoir over one routing step.
#include <algorithm>
#include <cmath>

#include "routing/sp_class.h"

double SP_class::MixConcentration(double a, double b, double volumeA, double volumeB) const {
  const double wa = std::fabs(volumeA);
  const double wb = std::fabs(volumeB);
  return wa + wb == 0.0 ? 0.0 : (wa * a + wb * b) / (wa + wb);
}

// Precipitation, evaporation and groundwater exchange of the wet lake cells,
// then the lake's state as its cells hold it.
void SP_class::bookLakeCells(double stepSeconds) {
  const LakeCells& g = *lakeCells;
  const double cellArea2 = cellArea();
  double etr = 0.0;
  double qgw = 0.0;
  double prec = 0.0;
  // In row order on one thread: a reduction over threads would add the
  // cells in an order that depends on their number, and the lake's state
  // would differ in its last bits between runs with other thread counts.
  for (std::size_t i : ownCells) {
    if (!(g.ponding[i] > 0.0)) continue;
    etr += cellArea2 * g.transpiration[i] / 1000.0;
    if (g.groundwater) {
      const double q = g.bottomFlux[i];
      if (std::fabs(q) > 1e-10)
        qgw += stepSeconds * cellArea2 * q;
      else
        qgw -= stepSeconds * cellArea2 * g.baseflow[i];
    }
    prec += cellArea2 * g.precipitation[i] / 1000.0;
  }
  terms[ETR].m3 = etr;
  terms[QGW].m3 = qgw;
  terms[PREC].m3 = prec;
  LakeStateFromCells(cellState);
  area = cellArea2 * SetLakeCells(cellState[0]);
  previousState = state;
  state = cellState;
}

void SP_class::Balance(double stepMinutes, double irrigation, double abstraction,
                       double** stepRunoff, double inflow, int year, int month, int day, int hour,
                       int minute, AbstractionList* withdrawals) {
  const double dt = 60.0 * stepMinutes;
  for (TermValues& t : terms) t = TermValues{};
  area = 0.0;
  terms[Qin].m3 = dt * inflow;
  if (lake != 0)
    bookLakeCells(dt);
  else
    previousState = state;

  // Nothing is withdrawn that the reservoir does not hold.
  double& V = state[0];
  terms[Irrig].m3 = std::clamp(irrigation, 0.0, std::max(0.0, V));
  V -= terms[Irrig].m3;
  terms[Abstr].m3 = std::clamp(abstraction, 0.0, std::max(0.0, V));
  V -= terms[Abstr].m3;

  date[0] = year;
  date[1] = month;
  date[2] = day;
  date[3] = hour;
  date[4] = minute;
  double inflowVolume = 0.0;
  if (year > 0) {
    const int column = zoneIndex && subbasin >= 0 && subbasin < static_cast<int>(zoneIndex->size())
                           ? (*zoneIndex)[static_cast<std::size_t>(subbasin)]
                           : 0;
    for (int k = 1; k <= tracerCount; ++k) {
      double& C = state[static_cast<std::size_t>(k)];
      C *= decayFactor[static_cast<std::size_t>(k)];
      C = MixConcentration(C, stepRunoff[k][column], V, dt * inflow);
    }
    inflowVolume = dt * inflow;
  }

  double Q = ComputeOutflow(inflow, stepMinutes, year, month, day, hour, minute, withdrawals,
                            stepRunoff ? stepRunoff[0] : nullptr);
  // What the sub-steps drew by rule leaves the reservoir, never more than it
  // holds with the step's inflow; the abstraction delivers what it took.
  if (year > 0 && withdrawals)
    for (const std::unique_ptr<AL_class>& al : *withdrawals) {
      if (!al || al->getMode() != AL_class::internFromReservoir) continue;
      double& q = al->valueRow()[0];
      const double w = std::clamp(dt * q, 0.0, std::max(0.0, V + inflowVolume));
      q = w / dt;
      terms[Abstr].m3 += w;
      V -= w;
    }
  V += inflowVolume;
  if (V < Q * dt) Q = V / dt;
  outflow = Q;
  if (year > 0) {
    V -= dt * Q;
    if (lake != 0) SetLakeCells(V);
  }

  terms[Qout].m3 = dt * Q;
  terms[dV].m3 = terms[QGW].m3 + terms[Qin].m3 + terms[PREC].m3 - terms[ETR].m3 - terms[Irrig].m3 -
                 terms[Abstr].m3 - terms[Qout].m3;
  terms[Err].m3 = V - previousState[0] - terms[dV].m3;
  for (TermValues& t : terms) {
    t.m3s = t.m3 / dt;
    t.mm = area > 0.0 ? t.m3 / area * 1000.0 : 0.0;
  }
}
