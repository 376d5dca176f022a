// The reservoirs of a routing element: their set-up from the routing
// description and the rule sections, and their place in the routing step.
#include <cstdio>

#include "core/diag_stream.h"
#include "routing/routing_description.h"
#include "routing/routingclass.h"

void routingclass::SetSpeicherParams(FILE* controlFile, int item, RoutingDescriptionText& text,
                                     int subIntervalsArg) {
  const int k = item - channelCount() - abstractions;
  if (k < 1 || k > reservoirs) {
    *diag << "FATAL: routing: subbasin " << subbasinCode << ": element " << item
          << " is no reservoir of the " << reservoirs << " counted in its description"
          << "[end-entry]";
    throw 17;
  }
  subIntervals = subIntervalsArg;
  text.expect("SP", "the number of SP " + std::to_string(k));
  const int code = text.integer("the number of SP " + std::to_string(k));
  reservoirCodes[static_cast<std::size_t>(k)] = code;
  // The reservoir's own text ends where the next reservoir begins.
  const std::size_t from = text.offset();
  const std::size_t next = text.text().find("SP", from);
  const std::string own = text.text().substr(from, next == std::string::npos ? next : next - from);
  text.moveTo(next == std::string::npos ? text.text().size() : next);
  SP_class& r = reservoir(k);
  r.ReadParameters(controlFile, code, own);
  r.InitLake();
  if (r.isLake() && readGrids == 0) r.SetLakeCells(r.getVolume());
}

void routingclass::CreateOutputTables() {
  for (int k = 1; k <= abstractions; ++k) abstraction(k).CreateOutputTable();
  for (int k = 1; k <= reservoirs; ++k) reservoir(k).WriteOutputHeader();
}

void routingclass::ReadReservoirRules(FILE* controlFile) {
  for (int k = 1; k <= reservoirs; ++k)
    reservoir(k).ReadAbstractionRules(controlFile, controlFileName);
}

void routingclass::SetLevelRegistry(LevelRegistry* registry) {
  levelRegistry = registry;
  for (int k = 1; k <= reservoirs; ++k) reservoir(k).RegisterLevel(*registry);
}

void routingclass::SetHydraulicConnectionMap(HydraulicConnectionMap* map) {
  connections = map;
  if (reservoirs > 0) reservoir(reservoirs).RegisterHydraulicConnection(*map, ownColumn);
}

void routingclass::InitReservoirOutflows(const ModelDate& start) {
  for (int k = 1; k <= reservoirs; ++k) {
    SP_class& r = reservoir(k);
    r.checkHydraulicConnection();
    double q = r.ComputeOutflow(0.0, timeStep, static_cast<int>(start.year),
                                static_cast<int>(start.month), static_cast<int>(start.day),
                                static_cast<int>(start.hour), static_cast<int>(start.minute));
    if (q * timeStep * 60.0 > r.getVolume()) q = r.getVolume() / 60.0 / timeStep;
    r.setOutflow(q);
  }
}

void routingclass::restartLakesFromCells(const ModelDate& start) {
  for (int k = 1; k <= reservoirs; ++k) {
    SP_class& r = reservoir(k);
    if (!r.isLake()) continue;
    r.InitLakeStateFromCells();
    r.SetLakeCells(r.getVolume());
    r.setVolumeHistory({}, timeStep);
  }
  InitReservoirOutflows(start);
}

void routingclass::setLakeCellsFromVolumes() {
  for (int k = 1; k <= reservoirs; ++k)
    if (reservoir(k).isLake()) reservoir(k).SetLakeCells(reservoir(k).getVolume());
}

void routingclass::CollectReservoirs(std::vector<SP_class*>& list) {
  for (int k = 1; k <= reservoirs; ++k) list.push_back(&reservoir(k));
}

void routingclass::FlushOutputs() {
  for (int j = 1; j <= abstractions; ++j) abstraction(j).FlushBuffer(1);
  for (int k = 1; k <= reservoirs; ++k) reservoir(k).FlushOutput(1);
}

// A lake's cells may have lost in the step some of the water its fields
// were offered at the start of it: what the lake could not give, the
// element owes them, and pays it first from the runoff of its next steps.
void routingclass::oweIrrigation(double volume) {
  if (!(volume > 0.0) || !ledger || !irrigationDemand) return;
  const double factor = outletDrawFactor();
  if (!(factor > 0.0)) return;
  ledger->owed[static_cast<std::size_t>(ownColumn)] += volume / factor;
  waterBalance.withdrawn += volume;
}

void routingclass::routeReservoirs(int year, int month, int day, int hour, int minute) {
  const double ratio = areaRatio();
  for (int k = 1; k <= reservoirs; ++k) {
    SP_class& r = reservoir(k);
    const bool last = k == reservoirs && month >= 1;
    const double seconds = timeStep * 60.0;
    const double irrigation = last ? reservoirIrrigationVolume(month) : 0.0;
    const double channelDraws =
        last ? DepthToFlow(abstractedTotal, ratio, timeStep) * seconds : 0.0;
    const double inflow = DepthToFlow(stepRunoff[0][ownColumn], ratio, timeStep);
    // Withdrawals by rule draw from the last reservoir alone, where the
    // element's other withdrawals are booked: each one's water leaves once.
    AbstractionList* draws = k == reservoirs && abstractions > 0 ? &abstractionList : nullptr;
    r.Balance(timeStep, irrigation, channelDraws, stepRunoff, inflow, year, month, day, hour,
              minute, draws);
    waterBalance.withdrawn += r.term(SP_class::Irrig).m3;
    oweIrrigation(irrigation - r.term(SP_class::Irrig).m3);
    if (draws)
      for (int j = 1; j <= abstractions; ++j) {
        AL_class& al = abstraction(j);
        if (al.getMode() != AL_class::internFromReservoir) continue;
        alFlow[0] = al.valueRow()[0];
        for (int t = 1; t <= tracerCount; ++t) alFlow[t] = r.getConcentration(t);
        deliverAbstraction(j, year > 0, year, month, day, hour, minute);
      }
    stepRunoff[0][ownColumn] = FlowToDepth(r.getOutflow(), ratio, timeStep);
    for (int t = 1; t <= tracerCount; ++t) stepRunoff[t][ownColumn] = r.getConcentration(t);
    for (int t = 0; t <= tracerCount; ++t)
      for (int n = 1; n <= subIntervals; ++n) subRunoff[t][n][ownColumn] = stepRunoff[t][ownColumn];
    if (month < 1) continue;
    // What the last reservoir holds, as a depth over the subbasin that
    // irrigation waters.
    if (k == reservoirs && maxirrigFromReservoirs) {
      const double share = ownAreaShare();
      maxirrigFromReservoirs[0][ownColumn] =
          share > 0.0 ? FlowToDepth(r.getVolume() / 60.0 / timeStep, ratio, timeStep) / share : 0.0;
      for (int t = 1; t <= tracerCount; ++t)
        maxirrigFromReservoirs[t][ownColumn] = r.getConcentration(t);
    }
    r.StoreOutputRow(year, month, day, hour, minute);
  }
}
