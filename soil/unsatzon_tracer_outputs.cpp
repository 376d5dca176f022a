// What the tracers of the unsaturated zone give per step: their runoff
// records per cell, the concentrations of every subbasin's runoff, the
// concentration of the top layer and the control point's profiles.

#include <cmath>

#include "soil/unsatzonmodellklasse.h"

namespace {

// The top layer of a cell this dry reports no concentration of its own.
constexpr double driestTopLayer = 0.0001;
constexpr double dryTopLayerConcentration = 99999.0;

double recordMean(const ZoneRecord& r) {
  return r.effectiveWeight > 0.0 ? r.valueSum / r.effectiveWeight : 0.0;
}

} // namespace

// A concentration of water is a mean weighted by the water: each cell counts
// with the runoff it gives, so that cells without runoff do not dilute it.
void unsatzonmodellklasse::addTracerRecords(long r, long c, std::size_t zone, std::size_t flowClass,
                                            double area, double w) {
  if (soilTracers.empty() || !(w > 0.0)) return;
  const SolverGrids& s = solverGrids;
  const double direct = s.directflow[r][c];
  const double inter = s.interflow[r][c];
  const double base = baseflowAmount(r, c);
  const soil_class& soil = (*context.soilTable)[static_cast<size_t>(soilTypes[r][c])];
  const int table = static_cast<int>(tableLayer[r][c]);
  for (int k = 1; k <= tracerCount; ++k) {
    const size_t i = static_cast<size_t>(k);
    const SoilTracer& t = *soilTracers[i - 1];
    auto add = [&](RunoffRecords& records, size_t at, double concentration, double runoff) {
      if (runoff > 0.0)
        records.add(at, area * w * concentration * runoff, w * runoff, area * w * runoff);
    };
    // The saturated zone is mixed: its table layer gives its concentration.
    double saturated = 0.0;
    if (table >= 1 && table <= soil.getLayerCount()) {
      const double water = theta[r][c][table] * soil.getThickness(table) * 1000.0;
      saturated = t.tracer.record.takenFromOtherStore != 0 ? t.store[r][c][table]
                  : water > 0.0                            ? t.store[r][c][table] / water
                                                           : 0.0;
    }
    add(directRecords[i][zone], flowClass, t.directflow[r][c], direct);
    add(interflowRecords[i][zone], flowClass, t.interflow[r][c], inter);
    add(baseflowRecords[i], zone, saturated, base);
  }
}

void unsatzonmodellklasse::recordTracerPoints(const ModelDate& date) {
  const long r = settings.controlRow;
  const long c = settings.controlColumn;
  for (std::unique_ptr<SoilTracer>& t : soilTracers) {
    if (!t->point) continue;
    double* row = t->point->append(date.year, date.month, date.day, date.hour);
    for (int k = 1; k <= layers; ++k) row[k - 1] = layerConcentration(*t, r, c, k);
    if (t->point->full()) writePointBuffer(*t->point);
  }
}

void unsatzonmodellklasse::computeTopConcentration(SoilTracer& t) {
  const bool copied = t.tracer.record.takenFromOtherStore != 0;
  forEachOwnColumn([&](long r, long c, const soil_class& soil) {
    const double water = theta[r][c][1];
    const double stored = t.store[r][c][1];
    t.top[r][c] = copied                   ? stored
                  : water > driestTopLayer ? stored / (water * 1000.0 * soil.getThickness(1))
                                           : dryTopLayerConcentration;
  });
}

void unsatzonmodellklasse::concentrateTracers(long minute, long hour, long day, long month,
                                              long year) {
  if (soilTracers.empty()) return;
  takeLateSnowIntoPacks();
  const size_t n = static_cast<size_t>(zones.zoneCount);
  if (mpiRank == 0) {
    for (size_t s = 1; s <= n; ++s) {
      const double cd = routingConcentration ? 0.0 : std::exp(-timeStepMinutes / kelsqd[s]);
      const double ci = routingConcentration ? 0.0 : std::exp(-timeStepMinutes / kelsqi[s]);
      for (size_t k = 1; k <= static_cast<size_t>(tracerCount); ++k) {
        QD[k][s] = recordMean(directRecords[k][s][1]);
        QI[k][s] = recordMean(interflowRecords[k][s][1]);
        QBb[k][s] = recordMean(baseflowRecords[k][s]);
        // Each storage mixes what flows in with what it kept of the step
        // before.
        auto mixed = [](double inflowConcentration, double inflow, double kept,
                        double keptConcentration, double outflow) {
          if (!(outflow > 0.0)) return 0.0;
          const double fresh = inflow * (1.0 - kept);
          return (inflowConcentration * fresh +
                  keptConcentration * std::max(0.0, outflow - fresh)) /
                 outflow;
        };
        QDout[k][s] = mixed(QD[k][s], QD[0][s], cd, QDout[k][s], QDout[0][s]);
        QIout[k][s] = mixed(QI[k][s], QI[0][s], ci, QIout[k][s], QIout[0][s]);
        const double water = QBb[0][s] + QDout[0][s] + QIout[0][s];
        Qg[k][s] =
            water > 0.0
                ? (QBb[0][s] * QBb[k][s] + QDout[0][s] * QDout[k][s] + QIout[0][s] * QIout[k][s]) /
                      water
                : 0.0;
        ZoneRecord& record = soilTracers[k - 1]->tracer.zoneRecords[s];
        record.weightSum = record.effectiveWeight = 1.0;
        record.valueSum = Qg[k][s];
      }
    }
  }
  for (std::unique_ptr<SoilTracer>& t : soilTracers) {
    computeTopConcentration(*t);
    writeOutputGrids(t->storeIndex);
    writeOutputStack(t->storeIndex);
    if (t->packIndex > 0) writeOutputGrids(t->packIndex);
    t->tracer.statistic->storeStep(year, month, day, hour, minute, 0);
  }
}
