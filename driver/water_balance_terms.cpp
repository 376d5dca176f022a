#include "driver/water_balance_terms.h"

#include <algorithm>
#include <iterator>

std::vector<BalanceTerm> waterBalanceTerms() {
  using K = BalanceKind;
  std::vector<BalanceTerm> terms = {
      {"meteo", "precipitation", K::input, {"precipitation"}},
      {"soil", "irrigation", K::input, {"irrigation_amounts"}},
      // What an external groundwater table and the bounds of the soil
      // water add to the columns.
      {"soil", "soil_water_added", K::input, {"Balance"}},
      {"vertical", "interception_evaporation", K::output, {"interception_evaporation0"}},
      {"vertical", "snow_evaporation", K::output, {"snow_evaporation"}},
      {"vertical", "soil_evaporation", K::output, {"real_evaporation"}},
      {"vertical", "transpiration", K::output, {"real_transpiration#"}},
      {"soil", "direct_runoff", K::output, {"directflow"}, 1.0, false, true},
      // The drains' water is part of the interflow ("drainage_flow" its share).
      {"soil", "interflow", K::output, {"interflow"}, 1.0, false, true},
      {"soil", "baseflow", K::output, {"baseflow"}, 1000.0, false, true, true},
      {"vertical", "interception_storage", K::storage, {"interception_storage0"}},
      // The snow the canopy holds and what of it sublimates never reach the
      // buckets below.
      {"vertical", "canopy_snow_storage", K::storage, {"Snow_canopy_load"}},
      {"vertical", "canopy_sublimation", K::output, {"Snow_canopy_sublim"}},
      {"snow", "snow_storage", K::storage, {"snow_storage_total"}},
      // The wind's deposition scales a cell's snowfall: what it adds (takes)
      // comes from (goes to) other cells or beyond the catchment.
      {"snow", "snow_deposition", K::input, {"snow_deposition"}},
      // What slides brought to the packs, each over its part of a cell: it
      // leaves other cells of the subbasin.
      {"snow", "snow_slides", K::input, {"snow_slides"}},
      // A dynamic glacier's annual balance takes what lies beyond the
      // largest pack beside it onto the glacier, and empties that pack,
      // the liquid water of the snow layers with it, where the glacier
      // covers the whole cell.
      {"snow", "snow_reset_on_glacier", K::output, {"SnowReset_onGlacier"}},
      {"soil", "ponding_storage", K::storage, {"ponding_storage"}},
      {"soil", "soil_water", K::storage, {"theta"}, 1000.0, true},
      {"lateral", "surface_storage", K::storage, {"SurfStorSiltingUp"}},
  };
  // On a cell partly under a glacier the weather, the canopy, the pack, the
  // soil and their fluxes are those of the part beside the glacier, per
  // unit of its area: the glacier's part has its own pack below. A cell
  // wholly under a glacier has no canopy and no soil; its snow and weather
  // are its own, unless the glacier keeps a pack of its own, which takes
  // them there: the pack beside it then stands for no area, and what it
  // takes, holds and loses is no water of the catchment. What slides moved
  // is weighed by the parts already.
  const char* const packBeside[] = {"precipitation", "snow_evaporation", "snow_storage",
                                    "snow_deposition", "snow_reset_on_glacier"};
  auto ofPackBeside = [&](const std::string& label) {
    return std::find(std::begin(packBeside), std::end(packBeside), label) != std::end(packBeside);
  };
  for (BalanceTerm& t : terms)
    t.glacier = t.label == "snow_slides" ? glacierPart::whole
                : t.label.rfind("interception_", 0) == 0 || t.label.rfind("canopy_", 0) == 0 ||
                        t.label == "soil_water" || t.label == "ponding_storage"
                    ? glacierPart::free
                : ofPackBeside(t.label) ? glacierPart::besidePack
                                        : glacierPart::beside;
  for (BalanceTerm& t : terms)
    t.column = (t.module == "soil" && t.label != "irrigation") || t.label == "soil_evaporation" ||
               t.label == "transpiration";
  // A dynamic glacier's own pack on its part of a cell: what falls on it,
  // evaporates and leaves it for the glacier's runoff storages, and what
  // the annual balance turns into firn.
  const BalanceTerm glacierPack[] = {
      {"snow", "glacier_precipitation", K::input, {"Precipitation_onGlacier"}},
      {"snow", "glacier_snow_storage", K::storage, {"TotalSnowStorage_onGlacier"}},
      {"snow", "glacier_snow_evaporation", K::output, {"SnowEvaporation_onGlacier"}},
      {"snow", "glacier_snow_outflow", K::output, {"SnowMelt_onGlacier"}},
      {"snow", "glacier_snow_to_firn", K::output, {"SnowToFirn_onGlacier"}}};
  for (BalanceTerm t : glacierPack) {
    t.glacier = glacierPart::fraction;
    terms.push_back(t);
  }
  // Irrigation waters the fields through the precipitation grid. Without
  // snow and interception silting-up hands the soil its water in that grid.
  terms.front().less = {"irrigation_amounts"};
  terms.front().beforeSiltingUp = true;
  // The weather and the canopy are every
  // cell's own where response units copy the rest from their master cell.
  for (BalanceTerm& t : terms)
    t.ownInUnits = t.label == "precipitation" ||
                   t.label.rfind("interception_", 0) == 0 || t.label.rfind("canopy_", 0) == 0;
  // The ice of the snow layers is the snow model's pack; their liquid water
  // is the melt and rain that entered the column on its way to the soil,
  // level 0 what layers the snow model took away left for the soil.
  BalanceTerm layerLiquid{"soil", "snow_layer_liquid", K::storage, {"SnowWaterEquivalentLiquid"}};
  layerLiquid.stackLevels = true;
  layerLiquid.glacier = glacierPart::besidePack;
  terms.push_back(layerLiquid);
  return terms;
}
