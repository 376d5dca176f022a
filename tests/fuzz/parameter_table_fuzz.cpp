// Feeds arbitrary text as the brace block of a land-use, multilayer and soil
// table entry: a malformed entry must end in its table's exit code, and the
// lookups of an accepted one must stay within their tables.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/landuse_class.h"
#include "config/multilayer_landuse_class.h"
#include "config/soil_class.h"

namespace {

template <typename Parse> bool accepted(Parse parse, int code) {
  try {
    parse();
    return true;
  } catch (int thrown) {
    if (thrown != code) std::abort();
    return false;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string block(reinterpret_cast<const char*>(data), size);
  const double x = size > 0 ? data[0] / 255.0 : 0.5;

  landuse_class landuse;
  if (accepted([&] { parseLanduseEntry(landuse, nullptr, block, "fuzz"); }, 51)) {
    for (long day : {1L, 59L, 60L, 200L, 365L, 366L}) {
      const double value = landuse.getAlbedoByDate(1000.0 * x, day, 1, 2020, 1, 1);
      if (!std::isfinite(value)) std::abort();
    }
    int count = 0;
    const int* list = nullptr;
    landuse.getSoilTillage(count, list);
    if (count < 0 || !list) std::abort();
  }

  multilayer_landuse_class multilayer;
  if (accepted([&] { parseMultilayerEntry(multilayer, nullptr, block, "fuzz"); }, 53) &&
      multilayer.getLayerCount() < 1)
    std::abort();

  soil_class soil;
  if (accepted([&] { parseSoilEntry(soil, nullptr, block, "MultipleHorizons"); }, 52)) {
    for (int layer = 1; layer <= soil.getLayerCount(); ++layer) {
      const double theta = soil.thetaFromSuction(layer, std::pow(10.0, 6.0 * x - 2.0));
      const double suction = soil.suctionFromTheta(layer, theta);
      const double krel = soil.krelFromTheta(layer, theta, soil.getThetaSat(layer) * x);
      if (!(theta <= soil.getThetaSat(layer)) || !(suction >= 0.0) || !(krel >= 0.0) ||
          !(krel <= 1.0))
        std::abort();
    }
  }
  return 0;
}
