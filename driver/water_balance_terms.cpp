#include "driver/water_balance_terms.h"

std::vector<BalanceTerm> waterBalanceTerms() {
  using K = BalanceKind;
  std::vector<BalanceTerm> terms = {
      {"meteo", "precipitation", K::input, {"precipitation"}},
      {"soil", "irrigation", K::input, {"irrigation_amounts"}},
      {"vertical", "interception_evaporation", K::output, {"interception_evaporation0"}},
      {"vertical", "snow_evaporation", K::output, {"snow_evaporation"}},
      {"vertical", "soil_evaporation", K::output, {"real_evaporation"}},
      {"vertical", "transpiration", K::output, {"real_transpiration#"}},
      {"soil", "direct_runoff", K::output, {"directflow"}, 1.0, false, true},
      {"soil", "interflow", K::output, {"interflow"}, 1.0, false, true},
      {"soil", "baseflow", K::output, {"baseflow"}, 1000.0, false, true, true},
      {"vertical", "interception_storage", K::storage, {"interception_storage0"}},
      {"snow", "snow_storage", K::storage, {"snow_storage_total"}},
      {"soil", "ponding_storage", K::storage, {"ponding_storage"}},
      {"soil", "soil_water", K::storage, {"theta"}, 1000.0, true},
      {"lateral", "surface_storage", K::storage, {"SurfStorSiltingUp"}},
  };
  // Irrigation waters the fields through the precipitation grid.
  terms.front().less = {"irrigation_amounts"};
  return terms;
}
