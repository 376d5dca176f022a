// What the soil, the snow and open water make of the potentials: snow
// evaporation before the snow step, the totals of the real
// evapotranspiration after the soil's sub-steps, the soil bucket of a model
// without a soil module, and the lake settings.
#include <algorithm>

#include "config/control_file_session.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "vertical/verdunstungsmodellklasse.h"

namespace {

constexpr int lakeGridCode = 28;
constexpr int lakeMethodCode = 211;
constexpr int closeFailedCode = 11;

// Snow methods whose energy balance computes the snow's evaporation itself:
// here the snow only keeps the potentials from acting.
bool balancesSnowEnergy(int method) {
  return method == 5 || method == 6 || method == 7 || method == 11;
}

} // namespace

int verdunstungsmodellklasse::setRadiationCorrectionGrid(Grid grid) {
  if (flowControl == 0) return flowControl;
  radiationCorrection = grid;
  // The corrected radiation replaces the input in its grid.
  if (grid && radiation && !rewrittenRadiation.grid) rewrittenRadiation = rewrittenGrid(radiation);
  return flowControl;
}

void verdunstungsmodellklasse::computeSnowEvaporation(long minute, long hour, long day, long month,
                                                      long year) {
  if (flowControl == 0 || !snowStorage) return;
  reportModelTime(minute, hour, day, month, year, "snow_evaporation");
  if (!glacierGridsTaken) {
    glacierGridsTaken = true;
    const int evaporation = findGrid("SnowEvaporation_onGlacier", 1);
    if (evaporation > 0 && findGrid("TotalSnowStorage_onGlacier", 1) > 0) {
      glacierSnowEvaporation = registry[evaporation].grid;
      glacierSnowStorage = registry[requireGrid("SolidSnowStorage_onGlacier")].grid;
    }
  }
  evrsSeries.statistic->resetZones();

  const double nodata = header.nodata;
  cells.forEach([&](long r, long c) {
    double& storage = snowStorage[r][c];
    if (balancesSnowEnergy(snowMethod)) {
      if (!(storage > 0.0)) return;
      double removed = potentialEvaporation.grid[r][c];
      potentialEvaporation.grid[r][c] = 0.0;
      for (int k = 1; k <= layers; ++k)
        if (landuse[k][r][c] != nodata) {
          removed += potentialTranspiration[k].grid[r][c];
          potentialTranspiration[k].grid[r][c] = 0.0;
        }
      double& sum = potentialTranspiration[0].grid[r][c];
      sum = std::max(0.0, sum - removed);
      return;
    }
    snowEvaporation.grid[r][c] = 0.0;
    if (glacierSnowEvaporation) glacierSnowEvaporation[r][c] = 0.0;
    double g = 0.0;
    double w = 1.0;
    glacierWeights(r, c, g, w);
    if (g < 1.0 && storage > 0.0) evaporateSnow(r, c, storage, snowEvaporation.grid, true);
    // The glacier's snow meets what the snow beside it has left.
    if (g > 0.0 && glacierSnowEvaporation)
      evaporateSnow(r, c, glacierSnowStorage[r][c], glacierSnowEvaporation, false);
  });

  std::vector<Grid> copied = {potentialEvaporation.grid, snowEvaporation.grid, snowStorage};
  for (int k = 0; k <= layers; ++k)
    copied.insert(copied.end(), {potentialTranspiration[k].grid, potentialInterception[k].grid});
  if (glacierSnowEvaporation)
    copied.insert(copied.end(), {glacierSnowEvaporation, glacierSnowStorage});
  copyFromMasterCells(copied);

  book.addToSeries({{&evrsSeries, valueOf(snowEvaporation.grid)}});
  book.storeSteps({&evrsSeries}, currentDate);
  writeOutputGrids(snowEvaporation.index, 1, 0);
}

// Takes from the storage what the potentials of the layers, then of the
// soil, ask for, until it runs out. The potentials lose it when they
// evaporate the snow beside the glacier; the glacier's snow meets the same
// demand without taking it from them.
void verdunstungsmodellklasse::evaporateSnow(long r, long c, double& storage, Grid evaporation,
                                             bool reducePotentials) {
  double taken = 0.0;
  auto take = [&](double& potential) {
    const double part = std::min(storage - taken, potential);
    taken += part;
    if (reducePotentials) potential -= part;
  };
  for (int k = 1; k <= layers; ++k)
    if (landuse[k][r][c] != header.nodata) take(potentialTranspiration[k].grid[r][c]);
  take(potentialEvaporation.grid[r][c]);
  storage -= taken;
  evaporation[r][c] += taken;
  if (reducePotentials) {
    double& sum = potentialTranspiration[0].grid[r][c];
    sum = std::max(0.0, sum - taken);
  }
}

void verdunstungsmodellklasse::glacierWeights(long r, long c, double& g, double& w) const {
  const double fraction = glacierFraction ? glacierFraction[r][c] : 0.0;
  g = std::clamp(fraction, 0.0, 1.0);
  w = 1.0 - g;
}

void verdunstungsmodellklasse::beginSubsteps(long minute, long hour, long day, long month,
                                             long year) {
  if (flowControl == 0) return;
  reportModelTime(minute, hour, day, month, year, "real evapotranspir.");
  // The interception module may come later into being than this one.
  if (!interceptionEvaporation) {
    const int index = findGrid("interception_evaporation0", 1);
    if (index > 0) interceptionEvaporation = registry[index].grid;
  }
  for (Series& s : etrSeries) s.statistic->resetZones();
  evarSeries.statistic->resetZones();
}

void verdunstungsmodellklasse::doSubstep() {}

// The total is every part: what the canopy intercepted, the snow, the soil
// and the layers evaporated.
void verdunstungsmodellklasse::endSubsteps(long minute, long hour, long day, long month,
                                           long year) {
  if (flowControl == 0) return;
  reportModelTime(minute, hour, day, month, year, "real evapotranspir.");
  const double nodata = header.nodata;
  allCells.forEach([&](long r, long c) {
    double total = snowEvaporation.grid[r][c] + realEvaporation.grid[r][c];
    if (interceptionEvaporation) total += interceptionEvaporation[r][c];
    for (int k = 1; k <= layers; ++k)
      if (landuse[k][r][c] != nodata) total += realTranspiration[k].grid[r][c];
    realTranspiration[0].grid[r][c] = total;
  });
  // A glacier's share of the cell counts with its snow evaporation alone.
  const Grid onGlacier = glacierSnowEvaporation ? glacierSnowEvaporation : snowEvaporation.grid;
  const Grid total = realTranspiration[0].grid;
  StatisticJobs jobs;
  for (int k = 1; k <= layers; ++k)
    jobs.push_back({&etrSeries[k], unglacierized(realTranspiration[k].grid, k)});
  jobs.push_back({&etrSeries[0], [&](zonalstatistic& s, long r, long c, long z) {
                    double g = 0.0;
                    double w = 1.0;
                    glacierWeights(r, c, g, w);
                    s.addValue(r, c, z, w * total[r][c] + g * onGlacier[r][c], 1.0);
                  }});
  jobs.push_back({&evarSeries, unglacierized(realEvaporation.grid)});
  book.addToSeries(jobs);
  storeRealStatistics();
}

void verdunstungsmodellklasse::storeRealStatistics() {
  std::vector<Series*> layerSeries;
  for (Series& s : etrSeries) layerSeries.push_back(&s);
  book.storeSteps(layerSeries, currentDate);
  for (const OwnGrid& g : realTranspiration) writeOutputGrids(g.index, 1, 0);
  book.storeSteps({&evarSeries}, currentDate);
  writeOutputGrids(realEvaporation.index, 1, 0);
}

void verdunstungsmodellklasse::setSoilStorageGrids() {
  if (flowControl == 0) return;
  soilStorage = registry[requireGrid("soil_storage")].grid;
  availableSoilMoisture = registry[requireGrid("available_soil_moisture")].grid;
}

// The relative storage of the bucket below 0.6 reduces the transpiration;
// lakes give their ponded water.
void verdunstungsmodellklasse::computeRealEvapotranspirationBucket(long minute, long hour, long day,
                                                                   long month, long year) {
  if (flowControl == 0) return;
  beginSubsteps(minute, hour, day, month, year);
  const double nodata = header.nodata;
  allCells.forEach(
      [&](long r, long c) {
        double g = 0.0;
        double w = 1.0;
        glacierWeights(r, c, g, w);
        if (g >= 1.0) return;
        const bool lake = lakeFlag != 0 && lakeCodes[r][c] != nodata && ponding[r][c] > 1.0;
        const double theta = availableSoilMoisture[r][c] > 0.0 ? soilStorage[r][c] : 1.0;
        double total = 0.0;
        for (int k = 1; k <= layers; ++k) {
          double& real = realTranspiration[k].grid[r][c];
          if (landuse[k][r][c] == nodata) {
            real = 0.0;
            continue;
          }
          double& potential = potentialTranspiration[k].grid[r][c];
          double taken = 0.0;
          if (lake) {
            taken = std::min(potential, ponding[r][c]);
            ponding[r][c] -= taken;
            potential -= taken;
          } else {
            taken = takeFromBucket(r, c, theta < 0.6 ? potential * theta / 0.6 : potential);
          }
          real += taken;
          total += real;
        }
        // The soil evaporates once, under all layers.
        if (lake)
          realEvaporation.grid[r][c] = 0.0;
        else
          realEvaporation.grid[r][c] += takeFromBucket(r, c, potentialEvaporation.grid[r][c]);
        total += snowEvaporation.grid[r][c] + realEvaporation.grid[r][c];
        if (interceptionEvaporation) total += interceptionEvaporation[r][c];
        realTranspiration[0].grid[r][c] = total;
      },
      [&](long r, long c) {
        for (const OwnGrid& g : realTranspiration) g.grid[r][c] = nodata;
      });
  // Cells all glacier keep out of the statistics.
  auto besideGlaciers = [this](CellStatistic add) -> CellStatistic {
    return [this, add](zonalstatistic& s, long r, long c, long z) {
      double g = 0.0;
      double w = 1.0;
      glacierWeights(r, c, g, w);
      if (g < 1.0) add(s, r, c, z);
    };
  };
  StatisticJobs jobs;
  for (int k = 0; k <= layers; ++k)
    jobs.push_back({&etrSeries[k], besideGlaciers(unglacierized(realTranspiration[k].grid))});
  jobs.push_back({&evarSeries, besideGlaciers(unglacierized(realEvaporation.grid))});
  book.addToSeries(jobs);
  storeRealStatistics();
}

// What the bucket gives of the demand; an empty bucket stops at 0. A cell
// without storable water has no bucket to draw down.
double verdunstungsmodellklasse::takeFromBucket(long r, long c, double demand) {
  const double capacity = availableSoilMoisture[r][c];
  if (!(capacity > 0.0)) return demand;
  double& storage = soilStorage[r][c];
  storage -= demand / capacity;
  if (storage < 0.0) {
    demand += storage * capacity;
    storage = 0.0;
  }
  return demand;
}

void verdunstungsmodellklasse::readLakeCodes(const std::string& section) {
  if (flowControl == 0) return;
  const int lakeIndex = findGrid("lake_codes", 1);
  if (lakeIndex == 0) {
    *diag << "INFO: no LAKE-grid was found in " << moduleName << "\n"
          << "Lake modelling is switched off for " << moduleName << ".\n"
          << "[end-entry]";
    return;
  }
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag);
  seekSection(section, true);
  readControlValue(controlFile, "%d", lakeFlag, "flow control parameter for ");
  if (context.hruFlag != 0) {
    lakeFlag = 0;
  } else if (lakeFlag != 0) {
    readControlValue(controlFile, "%d", lakeInitialization, "initialization method for ");
    readControlValue(controlFile, "%lf", openWaterAlbedo, "Albedo_OpenWater for ");
    readControlValue(controlFile, "%lf", openWaterRoughness, "z0_OpenWater for ");
    // The roughness length enters a logarithm: 0 or below has none.
    if (!(openWaterAlbedo >= 0.0 && openWaterAlbedo <= 1.0))
      refuseControlValue(section, "Albedo_OpenWater for ", openWaterAlbedo, "must be 0 ... 1", 17);
    if (!(openWaterRoughness > 0.0 && openWaterRoughness <= 1.0))
      refuseControlValue(section, "z0_OpenWater for ", openWaterRoughness,
                         "must be above 0 and at most 1 (m)", 17);
    lakeCodes = registry[lakeIndex].grid;
    int pond = findGrid("ponding_storage", 1);
    if (pond == 0) pond = findGrid("ponding_storage_top", 1);
    if (pond == 0) {
      *diag << "FATAL: \n=======================================\n!!!! ERROR !!!! \n\n"
               "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
               "\nboth grids as well as the MAXPOND grid must be present."
               "\n\n=======================================\n"
            << "[end-entry]";
      throw lakeGridCode;
    }
    ponding = registry[pond].grid;
    if (lakeInitialization != 1 && lakeInitialization != 2) {
      *diag << "FATAL: \n=======================================\n!!!! ERROR !!!! \n\n "
            << "Error in initialization method for " << section << ".\n"
            << "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
               "In either case, theta_soil will be set to saturated, if the cell is marked as "
               "lake and POND is > 0.\n\n=======================================\n"
            << "[end-entry]";
      throw lakeMethodCode;
    }
  }
  if (!session.close()) {
    *diag << "FATAL: error closing " << controlFileName
          << "after reading initialization method for " << section << "[end-entry]";
    throw closeFailedCode;
  }
}
