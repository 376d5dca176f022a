// The water balance beyond the land: the runoff concentration of every
// subbasin and the channels, reservoirs and abstractions of the routing
// elements, each booked to the subbasin of its element.
#include <cstddef>
#include <string>

#include "driver/modell_application.h"
#include "driver/water_balance.h"
#include "lateral/gwflowclass.h"
#include "lateral/surfaceroutingclass.h"
#include "routing/abflussmodellklasse.h"
#include "routing/irrigationclass.h"
#include "snow/schneemodellklasse.h"
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

// The runoff concentration's storages and the subbasin runoff it hands on,
// in mm over the subbasin on rank 0.
template <typename Module>
void addConcentrationTerms(std::vector<ZoneBalanceTerm>& terms, const char* name, Module* m) {
  terms.push_back({{name, "runoff_concentration", K::storage, {}},
                   [m](std::vector<double>& v) { v = m->concentrationStorage(); },
                   true});
  terms.push_back({{name, "subbasin_runoff", K::output, {}},
                   [m](std::vector<double>& v) {
                     const std::vector<double>& runoff = (*m->getQg())[0];
                     for (std::size_t s = 1; s < v.size() && s < runoff.size(); ++s)
                       v[s] = runoff[s];
                   },
                   true});
}

// The aquifer's volumes of the step, each on the balance's zone of the
// subbasin code.
void addGroundwaterTerms(std::vector<ZoneBalanceTerm>& terms, gwflowclass& groundwater,
                         const SubmodelZones& zones) {
  groundwater.followBalance();
  using V = gwflowclass::StepVolume;
  // Every volume is the step's; the storage's is its change.
  const struct {
    const char* label;
    K kind;
    V volume;
  } volumes[] = {
      {"groundwater_storage", K::storage, V::storage},
      {"groundwater_lateral_exchange", K::input, V::lateral},
      {"groundwater_fixed_flux", K::input, V::fixedFlux},
      {"groundwater_fixed_heads", K::output, V::fixedHeads},
      {"groundwater_solver_error", K::input, V::solver},
  };
  const gwflowclass* g = &groundwater;
  for (const auto& v : volumes) {
    ZoneBalanceTerm term{{"lateral", v.label, v.kind, {}},
                         [g, &zones, what = v.volume](std::vector<double>& values) {
                           const std::vector<double>& own = g->stepVolume(what);
                           const SubmodelZones& from = g->getZones();
                           for (std::size_t z = 1; z < own.size() && z < from.records.size(); ++z) {
                             const int code = static_cast<int>(from.records[z].code);
                             if (code < 0 || code >= static_cast<int>(zones.indexOfCode.size()))
                               continue;
                             const int zone = zones.indexOfCode[static_cast<std::size_t>(code)];
                             if (zone > 0) values[static_cast<std::size_t>(zone)] += own[z];
                           }
                         }};
    term.stepChange = v.volume == V::storage;
    terms.push_back(std::move(term));
  }
}

// Without the unsaturated zone no module takes the water that reaches the
// ground (the soil's input grid, what silting-up left of it and its direct
// runoff): it leaves the land.
BalanceTerm groundTerm(waterbalanceclass& balance, int interceptionFirst) {
  const char* const inputs[2][3] = {{"throughfall0", "snowcover_outflow", "precipitation"},
                                    {"snowcover_outflow", "throughfall0", "precipitation"}};
  for (const char* name : inputs[interceptionFirst != 0 ? 1 : 0])
    if (balance.findGrid(name, 1) > 0) {
      BalanceTerm term{"soil", "water_to_ground", K::output, {name, "DirectRunoffSiltingUp"}};
      // Response units copy the snow's outflow and what silting-up leaves
      // of the input, not the canopy's throughfall.
      term.ownInUnits = std::string(name) != "snowcover_outflow" &&
                        balance.findGrid("DirectRunoffSiltingUp", 1) == 0;
      // What the pack beside a glacier that keeps a pack of its own lets
      // go on a cell wholly under it is none of the catchment's water.
      term.glacier = glacierPart::besidePack;
      return term;
    }
  return {"soil", "water_to_ground", K::output, {}};
}

} // namespace

void ModellApplication::addChannelBalanceTerms() {
  if (options.routingOnly) return;
  if (unsatZone->getFlowControl() == 0) {
    waterBalance->addCellTerm(groundTerm(*waterBalance, context.interceptionFirst));
    return;
  }
  std::vector<ZoneBalanceTerm> terms;
  // Surface routing, where on, takes over the runoff concentration.
  if (surfaceRouting->getFlowControl() != 0) {
    addConcentrationTerms(terms, "lateral", surfaceRouting);
    // Overland flow takes water from one subbasin's land to another's.
    surfaceRouting->followBorderInflow();
    const surfaceroutingclass* s = surfaceRouting;
    terms.push_back({{"lateral", "surface_exchange", K::input, {}},
                     [s](std::vector<double>& v) { v = s->borderInflow(); }});
  } else {
    addConcentrationTerms(terms, "soil", unsatZone);
  }
  // The glacier's melt joins the subbasin runoff through its own storages.
  if (snow->getFlowControl() != 0 && snow->hasGlacierGrid()) {
    const schneemodellklasse* s = snow;
    terms.push_back({{"snow", "glacier_melt", K::input, {}},
                     [s](std::vector<double>& v) { v = s->getGlacierMeltInput(); },
                     true});
    terms.push_back({{"snow", "glacier_runoff_storage", K::storage, {}},
                     [s](std::vector<double>& v) { v = s->glacierRunoffStorage(); },
                     true});
    if (s->hasDynamicGlaciers())
      terms.push_back({{"snow", "glacier_runoff_extent", K::input, {}},
                       [s](std::vector<double>& v) { v = s->getRunoffExtentChange(); },
                       true});
  }
  // A lake's water lies on its cells as ponding: its precipitation,
  // evaporation and seepage are those of the soil there, and what channel
  // routing adds or takes changes the ponding of its cells.
  const bool lakes =
      channelRouting->getConfiguredFlowControl() > 0 && channelRouting->getLakeModel() != 0;
  const bool riverExchange = unsatZone->getSettings().interaction >= 1;
  // Only rank 0 routes: every process takes the terms of the configured switch.
  if (channelRouting->getConfiguredFlowControl() > 0) {
    const abflussmodellklasse& r = *channelRouting;
    const SubmodelZones& z = waterBalance->getZones();
    using E = const routingclass&;
    const struct {
      const char* label;
      K kind;
      double (*figure)(E);
    } figures[] = {
        {"channel_inflow", K::input, [](E e) { return e.stepBalance().received; }},
        {"external_inflow", K::input, [](E e) { return e.stepBalance().externalInflow; }},
        {"internal_inflow", K::input, [](E e) { return e.stepBalance().internalInflow; }},
        {"withdrawal", K::output, [](E e) { return e.stepBalance().withdrawn; }},
        {"external_abstraction", K::output,
         [](E e) { return e.stepBalance().externalAbstraction; }},
        {"internal_abstraction", K::output,
         [](E e) { return e.stepBalance().internalAbstraction; }},
        {"outflow", K::output, [](E e) { return e.stepBalance().outflow; }},
        {"channel_storage", K::storage, [](E e) { return e.channelVolume(); }},
    };
    for (const auto& f : figures) terms.push_back(elementTerm(r, z, f.label, f.kind, f.figure));
    // What the fields drew that the channels could not pay yet they owe:
    // water the channels no longer hold.
    if (irrigation->getFlowControl() != 0)
      terms.push_back(elementTerm(r, z, "irrigation_owed_by_channels", K::storage,
                                  [](E e) { return -e.irrigationOwedVolume(); }));
    if (riverExchange)
      terms.push_back(elementTerm(r, z, "river_seepage", K::output,
                                  [](E e) { return e.stepBalance().toSoil; }));
    // With the lake model every reservoir is a lake, whose water the land
    // holds (below).
    if (!lakes)
      terms.push_back(elementTerm(r, z, "reservoir_storage", K::storage,
                                  [](E e) { return e.reservoirVolume(); }));
  }
  // The soil's baseflow reaches the subbasin runoff: without groundwater
  // by its formula, with it as the exfiltration of river cells.
  std::vector<std::string> replaced = {"direct_runoff", "interflow", "baseflow"};
  if (groundwater->getFlowControl() != 0) {
    addGroundwaterTerms(terms, *groundwater, waterBalance->getZones());
    // The aquifer's first layer is the soil's saturated zone: what the soil
    // gives it the aquifer receives, and what layer 1 lost and the soil has
    // still to drain, the aquifer already gave on.
    waterBalance->addCellTerm(
        {"soil", "soil_to_groundwater", K::output, {"aquifer_exchange"}, 1.0, false, true});
    waterBalance->addCellTerm(
        {"lateral", "groundwater_from_soil", K::input, {"aquifer_exchange"}, 1.0, false, true});
    waterBalance->addCellTerm(
        {"lateral", "groundwater_owed_by_soil", K::storage, {"groundwater_owed"}, -1.0});
    // Irrigation from groundwater draws on the saturated zone too.
    BalanceTerm fromGroundwater{
        "soil", "irrigation_from_groundwater", K::output, {"irrigation_amounts"}};
    fromGroundwater.groundwaterIrrigation = true;
    fromGroundwater.glacier = glacierPart::beside;
    waterBalance->addCellTerm(fromGroundwater);
  } else {
    // Without it, irrigation from groundwater takes the subbasin's baseflow.
    BalanceTerm fromBaseflow{"soil", "irrigation_from_baseflow", K::output, {"irrigation_amounts"}};
    fromBaseflow.groundwaterIrrigation = true;
    fromBaseflow.glacier = glacierPart::beside;
    waterBalance->addCellTerm(fromBaseflow);
    // What their subbasin's baseflow could not pay the watered cells'
    // saturated zone owes: water the soil holds that is no longer its own.
    BalanceTerm owed{"soil", "irrigation_owed_by_soil", K::storage, {"irrigation_owed"}, -1.0};
    owed.glacier = glacierPart::beside;
    waterBalance->addCellTerm(owed);
  }
  // A cell wholly under a glacier has no soil: what leaves its snow, which
  // interception there passes on whole, leaves the balance. The term falls
  // away without a glacier grid, and where the glacier keeps a pack of its
  // own: the cell's other pack then stands for no area.
  if (!snow->hasDynamicGlaciers()) {
    BalanceTerm covered{"soil", "water_on_glacier", K::output, {"snowcover_outflow"}};
    covered.glacier = glacierPart::covered;
    waterBalance->addCellTerm(covered);
  }
  // Without a glacier model the soil lets the rain on a glacier's part of a
  // cell run off: it falls on the catchment as the rest does.
  if (snow->getFlowControl() == 0 || !snow->hasGlacierGrid()) {
    BalanceTerm rain{"soil", "glacier_precipitation", K::input, {"precipitation"}};
    rain.less = {"irrigation_amounts"};
    rain.glacier = glacierPart::share;
    waterBalance->addCellTerm(rain);
  }
  // The soil of river cells takes river water in, which the channels give
  // up (river_seepage, above).
  if (riverExchange) {
    BalanceTerm infiltration{
        "soil", "river_infiltration", K::input, {"river_infiltration"}, 1.0, false, true};
    infiltration.glacier = glacierPart::beside;
    infiltration.column = true;
    waterBalance->addCellTerm(infiltration);
  }
  if (lakes) replaced.push_back("ponding_storage");
  waterBalance->addZoneTerms(std::move(terms), replaced);
  if (lakes) {
    BalanceTerm land{"soil", "ponding_storage", K::storage, {"ponding_storage"}};
    land.lakes = lakePart::outside;
    land.glacier = glacierPart::free;
    waterBalance->addCellTerm(land);
    BalanceTerm lake{"routing", "lake_storage", K::storage, {"ponding_storage"}};
    lake.lakes = lakePart::inside;
    waterBalance->addCellTerm(lake);
  }
}
