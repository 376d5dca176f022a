#include "config/multilayer_landuse_class.h"

#include "config/parameter_table_entry.h"

void parseMultilayerEntry(multilayer_landuse_class& r, DiagStream* diag, const std::string& block,
                          const std::string& where) {
  using Entry = ParameterTableEntry;
  try {
    const Entry e(block);
    const std::vector<double> codes = e.numbers("layers", 0);
    Entry::requireIntegers("layers", codes);
    Entry::requireRange("layers", codes, -2147483647.0, 2147483647.0);
    r.layerCodes.assign(1, 0);
    for (double c : codes) r.layerCodes.push_back(static_cast<int>(c));
    // Leaves of any canopy take some light, and none more than five times
    // their area's share; the aerodynamic resistance grows by at most 1000
    // s/m per unit of leaf area above a layer.
    r.k_extinct = e.number("k_extinct", 0.3);
    Entry::requireAbove("k_extinct", {r.k_extinct}, 0.0);
    Entry::requireRange("k_extinct", {r.k_extinct}, 0.0, 5.0);
    r.LAI_scale = e.number("LAI_scale", 10.0);
    Entry::requireRange("LAI_scale", {r.LAI_scale}, 0.0, 1000.0);
    e.requireAllKeysKnown();
  } catch (const Entry::Fault& fault) {
    reportTableEntryFault(diag, where, r.name, fault.reason, 53);
  }
}
