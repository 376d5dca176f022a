// The abstractions of a routing element: their set-up from the routing
// description and the rule sections, and their place in the routing step.
#include <cstdio>

#include "core/diag_stream.h"
#include "routing/routing_description.h"
#include "routing/routingclass.h"

void routingclass::SetAblaufModus(FILE* /*controlFile*/, int item, RoutingDescriptionText& text,
                                  int subIntervalsArg, const ModelDate& start) {
  const int j = item - channelCount();
  if (j < 1 || j > abstractions) {
    *diag << "FATAL: routing: subbasin " << subbasinCode << ": element " << item
          << " is no abstraction of the " << abstractions << " counted in its description"
          << "[end-entry]";
    throw 17;
  }
  subIntervals = subIntervalsArg;
  text.expect("AL", "the number of AL " + std::to_string(j));
  const int code = text.integer("the number of AL " + std::to_string(j));
  // The number names the abstraction's table, rule section and inflow.
  if (code < 1) text.refuse("the number of AL " + std::to_string(j), code, "must be 1 or more");
  abstractionLinks[static_cast<std::size_t>(j)] = code;
  AL_class& al = abstraction(j);
  al.ReadParameters(code, text, static_cast<int>(start.year), static_cast<int>(start.month),
                    static_cast<int>(start.day), static_cast<int>(start.hour),
                    static_cast<int>(start.minute));
  if (al.getMode() == AL_class::internFromReservoir && reservoirs == 0) {
    *diag << "FATAL: routing: subbasin " << subbasinCode << ": abstraction AL " << code
          << " draws from a reservoir (\"intern_with_rule_from_reservoir\"), but the routing "
             "description has no SP; add the reservoir or take the water from the channel"
          << "[end-entry]";
    throw 44;
  }
}

void routingclass::ReadAbstractionRules(FILE* controlFile) {
  for (int j = 1; j <= abstractions; ++j)
    abstraction(j).ReadAbstractionRules(controlFile, controlFileName);
}

// Irrigation's share is a depth over the subbasin, which it waters: the
// volume its fields got, m^3 (not through m^3/s, whose rounded constant
// would take 2e-9 more than they got).
double routingclass::reservoirIrrigationVolume(int month) const {
  if (month < 1 || !irrigationDemand || !maxirrigFromReservoirs) return 0.0;
  return maxirrigFromReservoirs[0][ownColumn] * ownAreaShare() * elementVolumeFactor();
}

// Without reservoirs the abstractions take from the element's outflow, else
// from what the last reservoir holds beyond irrigation's share; the
// reservoir then books their total.
void routingclass::abstractFromChannel(int year, int month, int day, int hour, int minute) {
  if (abstractions < 1) return;
  const double ratio = areaRatio();
  availableWater =
      reservoirs == 0
          ? stepRunoff[0][ownColumn]
          : FlowToDepth((reservoir(reservoirs).getVolume() - reservoirIrrigationVolume(month)) /
                            timeStep / 60.0,
                        ratio, timeStep);
  for (int j = 1; j <= abstractions; ++j) {
    AL_class& al = abstraction(j);
    if (al.getMode() == AL_class::internFromReservoir) continue;
    const double a =
        al.Abstract(stepRunoff[0], abstractedTotal, availableWater, year, month, day, hour, minute);
    alFlow[0] = DepthToFlow(a, ratio, timeStep);
    for (int t = 1; t <= tracerCount; ++t)
      alFlow[t] =
          reservoirs == 0 ? stepRunoff[t][ownColumn] : reservoir(reservoirs).getConcentration(t);
    if (reservoirs == 0) {
      stepRunoff[0][ownColumn] -= a;
      for (int n = 1; n <= subIntervals; ++n) subRunoff[0][n][ownColumn] -= a;
    }
    deliverAbstraction(j, month >= 1, year, month, day, hour, minute);
  }
}

// An internal inflow takes its water in m^3/s; the receiving element turns
// it into a depth over the inflow channel's area.
void routingclass::deliverAbstraction(int j, bool store, int year, int month, int day, int hour,
                                      int minute) {
  AL_class& al = abstraction(j);
  if (store) al.StoreStep(year, month, day, hour, minute, alFlow.data());
  (al.isInternal() ? waterBalance.internalAbstraction : waterBalance.externalAbstraction) +=
      alFlow[0] * timeStep * 60.0;
  if (!al.isInternal()) return;
  const int k = subbasins + abstractionLinks[static_cast<std::size_t>(j)];
  for (int n = 1; n <= subIntervals; ++n)
    for (int t = 0; t <= tracerCount; ++t) subRunoff[t][n][k] = alFlow[t];
  stepRunoff[0][k] = alFlow[0];
}
