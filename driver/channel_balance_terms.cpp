// The water balance beyond the land: the runoff concentration of every
// subbasin and the channels, reservoirs and abstractions of the routing
// elements, each booked to the subbasin of its element.
#include <cstddef>

#include "driver/modell_application.h"
#include "driver/water_balance.h"
#include "lateral/gwflowclass.h"
#include "lateral/surfaceroutingclass.h"
#include "routing/abflussmodellklasse.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

using K = BalanceKind;

// Per zone the sum of one figure of the routing elements whose subbasin it
// is, m^3.
ZoneBalanceTerm elementTerm(const abflussmodellklasse& routing, const SubmodelZones& zones,
                            const char* label, K kind,
                            double (*figure)(const routingclass& element)) {
  BalanceTerm term{"routing", label, kind, {}};
  return {term, [&routing, &zones, figure](std::vector<double>& values) {
            for (int d = 1; d <= routing.getElementCount(); ++d) {
              const routingclass& e = routing.getElement(d);
              const int code = e.getSubbasinCode();
              if (code < 0 || code >= static_cast<int>(zones.indexOfCode.size())) continue;
              const int zone = zones.indexOfCode[static_cast<std::size_t>(code)];
              if (zone > 0) values[static_cast<std::size_t>(zone)] += figure(e);
            }
          }};
}

void copyRunoff(const std::vector<std::vector<double>>& runoff, std::vector<double>& values) {
  for (std::size_t s = 1; s < values.size() && s < runoff[0].size(); ++s) values[s] = runoff[0][s];
}

} // namespace

void ModellApplication::addChannelBalanceTerms() {
  if (unsatZone->getFlowControl() == 0 || options.routingOnly) return;
  std::vector<ZoneBalanceTerm> terms;
  // Surface routing, where on, takes over the runoff concentration.
  if (surfaceRouting->getFlowControl() != 0) {
    surfaceroutingclass* surface = surfaceRouting;
    terms.push_back({{"lateral", "runoff_concentration", K::storage, {}},
                     [surface](std::vector<double>& v) { v = surface->concentrationStorage(); },
                     true});
    terms.push_back({{"lateral", "subbasin_runoff", K::output, {}},
                     [surface](std::vector<double>& v) { copyRunoff(*surface->getQg(), v); },
                     true});
  } else {
    unsatzonmodellklasse* soil = unsatZone;
    terms.push_back({{"soil", "runoff_concentration", K::storage, {}},
                     [soil](std::vector<double>& v) { v = soil->concentrationStorage(); },
                     true});
    terms.push_back({{"soil", "subbasin_runoff", K::output, {}},
                     [soil](std::vector<double>& v) { copyRunoff(*soil->getQg(), v); },
                     true});
  }
  // Only rank 0 routes: every process takes the terms of the configured switch.
  if (channelRouting->getConfiguredFlowControl() > 0) {
    const abflussmodellklasse& r = *channelRouting;
    const SubmodelZones& z = waterBalance->getZones();
    using E = const routingclass&;
    terms.push_back(elementTerm(r, z, "channel_inflow", K::input,
                                [](E e) { return e.stepBalance().received; }));
    terms.push_back(elementTerm(r, z, "external_inflow", K::input,
                                [](E e) { return e.stepBalance().externalInflow; }));
    terms.push_back(elementTerm(r, z, "internal_inflow", K::input,
                                [](E e) { return e.stepBalance().internalInflow; }));
    terms.push_back(elementTerm(r, z, "lake_exchange", K::input,
                                [](E e) { return e.stepBalance().lakeExchange; }));
    terms.push_back(elementTerm(r, z, "translation", K::input,
                                [](E e) { return e.stepBalance().translation; }));
    terms.push_back(
        elementTerm(r, z, "withdrawal", K::output, [](E e) { return e.stepBalance().withdrawn; }));
    terms.push_back(elementTerm(r, z, "external_abstraction", K::output,
                                [](E e) { return e.stepBalance().externalAbstraction; }));
    terms.push_back(elementTerm(r, z, "internal_abstraction", K::output,
                                [](E e) { return e.stepBalance().internalAbstraction; }));
    terms.push_back(
        elementTerm(r, z, "outflow", K::output, [](E e) { return e.stepBalance().outflow; }));
    terms.push_back(
        elementTerm(r, z, "channel_storage", K::storage, [](E e) { return e.channelVolume(); }));
    terms.push_back(elementTerm(r, z, "reservoir_storage", K::storage,
                                [](E e) { return e.reservoirVolume(); }));
  }
  // With groundwater the soil's baseflow recharges the aquifer, which the
  // balance does not follow; its rivers take what it gives them.
  std::vector<std::string> replaced = {"direct_runoff", "interflow"};
  if (groundwater->getFlowControl() == 0) replaced.push_back("baseflow");
  waterBalance->addZoneTerms(std::move(terms), replaced);
}
