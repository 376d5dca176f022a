// The solutes of the aquifer: per tracer and layer a stored concentration
// with its zone statistic.
#include <cmath>
#include <cstdio>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "lateral/gwflowclass.h"

namespace {

constexpr int registryFullCode = 12;
constexpr int statisticDecimals = 99;
constexpr double meanLifePerHalfLife = 1.442695041111;

} // namespace

void gwflowclass::initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                              StatisticTableEntry* statisticTable, long tableSize) {
  errorCode = 0;
  if (!active || tracerCount < 1) return;
  const int failure = catchModuleFailure([&] {
    if (table.size() < static_cast<size_t>(tracerCount) + 1) {
      *diag << "FATAL: " << moduleName << ": the tracer table holds " << table.size()
            << " records for " << tracerCount << " tracers"
            << "[end-entry]";
      throw 103;
    }
    if (zones.records.empty()) rankZones(zones);
    for (int t = 1; t <= tracerCount; ++t)
      setUpLayerTracer(t, table[static_cast<size_t>(t)], statisticTable, tableSize);
  });
  errorCode = agreeOnFailure(failure, failure != 0 ? failure : mpiCallFailed).code;
}

// The store holds the concentration from the start: an initial value given
// as a storage is divided by the water of the layer once.
void gwflowclass::setUpLayerTracer(int t, const TracerRecord& record,
                                   StatisticTableEntry* statisticTable, long tableSize) {
  layerTracers.push_back(std::make_unique<LayerTracer>());
  LayerTracer& tracer = *layerTracers.back();
  tracer.record = record;
  if (record.radioactive)
    tracer.decayFactor = record.halfTime > 0.0
                             ? std::exp(-(timeStepMinutes / substeps / 60.0 / 24.0) /
                                        (meanLifePerHalfLife * record.halfTime))
                             : 0.0;
  const size_t n = static_cast<size_t>(layerCount) + 1;
  tracer.store.assign(n, nullptr);
  tracer.storeIndex.assign(n, -1);
  tracer.zoneRecords.assign(n, zones.records);
  tracer.zoneData.assign(n, nullptr);
  tracer.statistic.resize(n);
  tracer.statisticFile.assign(n, std::string());
  const std::string name3 = record.name.substr(0, 3);
  std::vector<int> listed(1, 0);
  const int mode = record.statCode / 1000;
  if ((mode == 5 || mode == 6) && context.outputList)
    listed.insert(listed.end(), context.outputList->begin(), context.outputList->end());
  for (int k = 1; k <= layerCount; ++k) {
    const size_t layer = static_cast<size_t>(k);
    const std::string digit = std::to_string(k).substr(0, 1);
    tracer.zoneData[layer] = tracer.zoneRecords[layer].data();
    tracer.statisticFile[layer] =
        record.path + name3 + moduleName.substr(0, 4) + digit + "." + record.statExt;
    int failed = 0;
    tracer.statistic[layer] = std::make_unique<zonalstatistic>(
        failed, diag, statisticTable, tableSize, cellWeights, static_cast<int>(header.nrows),
        static_cast<int>(header.ncols), &tracer.zoneData[layer], zones.zoneCount, record.statCode,
        statisticDecimals, tracer.statisticFile[layer], outputDirectory,
        static_cast<int>(listed.size()) - 1, listed.data(), timeStepMinutes < 60.0);
    if (failed != 0) throw failed;
    char title[300];
    std::snprintf(title, sizeof title, "tracer concentration for tracer %d in layer %d (%s) ", t, k,
                  record.name.c_str());
    tracer.statistic[layer]->writeHeader(moduleName, title, statisticTable, tableSize);

    const int index = tracerRegistryIndex();
    const std::string file =
        record.path + name3 + digit + moduleName.substr(0, 4) + "." + record.gridExt;
    const AquiferLayer& l = layers[layer];
    Grid store = newGrid(record.gwIni, header.nodata);
    if (readHeads == 1) {
      readGrid(file, store, 0, false, false, false, 0, false, true, header.nodata);
    } else if (record.gwIniIsStorage) {
      ownCells().forEach([&](long r, long c) {
        const double water = thickness(k, r, c) * l.storage[r][c] * 1000.0;
        store[r][c] = water > 0.0 ? record.gwIni / water : 0.0;
      });
    }
    tracer.store[layer] = store;
    tracer.storeIndex[layer] = index;
    char gridName[200];
    std::snprintf(gridName, sizeof gridName, "concstor_tracer_%d_layer_%d_%s", t, k,
                  moduleName.c_str());
    registerGrid(index, file, store, nullptr, 0, gridName, record.gridCode, firstRow, lastRow);
    MPIExchangeGridHalo(index);
    Grid work = newGrid(0.0, header.nodata);
    ownCells().forEach([&](long r, long c) { work[r][c] = store[r][c]; });
    layers[layer].tracerWork.push_back(work);
  }
  tracer.flux = newGrid(0.0, header.nodata);
  tracer.fluxIndex = tracerRegistryIndex();
  registerGrid(tracer.fluxIndex, "concflux_tracer_" + std::to_string(t) + "_" + moduleName,
               tracer.flux, nullptr, 0, "concflux_tracer_" + std::to_string(t) + "_" + moduleName,
               0, firstRow, lastRow);
}

int gwflowclass::tracerRegistryIndex() {
  const int index = firstFreeRegistryIndex();
  if (index < gridRegistryLimit) return index;
  *diag << "FATAL: no free grid left " << gridRegistryLimit << "[end-entry]";
  throw registryFullCode;
}

void gwflowclass::freeTracers() {
  for (auto& tracer : layerTracers) {
    for (int k = 1; k <= layerCount; ++k) {
      const size_t layer = static_cast<size_t>(k);
      if (tracer->statistic[layer]) tracer->statistic[layer]->release();
      tracer->statistic[layer].reset();
      if (tracer->storeIndex[layer] > 0) unregisterGrid(tracer->storeIndex[layer]);
      freeGrid(tracer->store[layer]);
    }
    if (tracer->fluxIndex > 0) unregisterGrid(tracer->fluxIndex);
    freeGrid(tracer->flux);
  }
  layerTracers.clear();
  for (size_t k = 1; k < layers.size(); ++k) {
    for (Grid& g : layers[k].tracerWork) freeGrid(g);
    layers[k].tracerWork.clear();
  }
  teilmodellklasse::freeTracers();
}
