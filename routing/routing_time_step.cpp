// The routing step: runoff into the elements, routing in description order,
// comparison with observed discharge and the statistics of the step.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/diag_stream.h"
#include "routing/abflussmodellklasse.h"

namespace {

// ln 2 inverted: the half-life times this is the mean life.
constexpr double meanLifePerHalfLife = 1.442695041111;

void addComparison(ComparisonRecord& r, double simulated, double observed) {
  const double difference = simulated - observed;
  r.pairs += 1.0;
  r.differenceSum += difference;
  r.differenceSquareSum += difference * difference;
  r.observations += 1.0;
  r.observedSum += observed;
  r.observedSquareSum += observed * observed;
}

} // namespace

void abflussmodellklasse::initTracers(int& errorCode, int count, std::vector<TracerRecord>& table,
                                      StatisticTableEntry* statisticTable, long tableSize) {
  errorCode = 0;
  tracerCount = count;
  if (count < 1) return;
  errorCode = catchModuleFailure([&] {
    for (int k = 1; k <= count; ++k) {
      TracerRecord& shared = table.at(static_cast<std::size_t>(k));
      tracers.push_back(std::make_unique<SubmodelTracer>());
      SubmodelTracer& t = *tracers.back();
      t.record = shared;
      double perStep = 1.0;
      double perSubInterval = 1.0;
      if (shared.radioactive) {
        const double H = shared.halfTime;
        perStep =
            H > 0.0 ? std::exp(-(timeStepMinutes / 60.0 / 24.0) / (H * meanLifePerHalfLife)) : 0.0;
        perSubInterval = H > 0.0 ? std::exp(-((timeStepMinutes / subIntervals) / 60.0 / 24.0) /
                                            (meanLifePerHalfLife * H))
                                 : 0.0;
      }
      t.record.decayFactor = perStep;
      t.record.subIntervalDecayFactor = perSubInterval;
      shared.subIntervalDecayFactor = perSubInterval;
      // The statistic takes the routed concentration per subbasin as it is.
      t.zoneRecords = zones.records;
      for (ZoneRecord& r : t.zoneRecords) r.weightSum = r.valueSum = 0.0;
      createTracerStatistic(k, t, nullptr, 1, 1, statisticTable, tableSize);
    }
  });
}

void abflussmodellklasse::allocateWorkArrays() {
  const std::size_t tracerRows = static_cast<std::size_t>(tracerCount) + 1;
  const std::size_t routed = static_cast<std::size_t>(subbasins + countZL) + 1;
  stepStore.assign(
      tracerRows,
      std::vector<double>(static_cast<std::size_t>(subbasins + countZL + countAL) + 3, 0.0));
  subStore.assign(tracerRows,
                  std::vector<std::vector<double>>(static_cast<std::size_t>(subIntervals) + 1,
                                                   std::vector<double>(routed, 0.0)));
  queueRows.assign(tracerRows, std::vector<double*>(routed, nullptr));
  subRows.assign(tracerRows, {});
  stepRows.clear();
  subTable.clear();
  queueTable.clear();
  for (std::size_t t = 0; t < tracerRows; ++t) {
    stepRows.push_back(stepStore[t].data());
    for (std::vector<double>& row : subStore[t]) subRows[t].push_back(row.data());
    subTable.push_back(subRows[t].data());
    queueTable.push_back(queueRows[t].data());
  }
  stepRunoff = stepRows.data();
  irrigationStore.assign(2 * tracerRows,
                         std::vector<double>(static_cast<std::size_t>(subbasins) + 1, 0.0));
  maxirrig.clear();
  maxirrigFromReservoirs.clear();
  for (std::size_t t = 0; t < tracerRows; ++t) {
    maxirrig.push_back(irrigationStore[t].data());
    maxirrigFromReservoirs.push_back(irrigationStore[tracerRows + t].data());
  }
  irrigationLedger.owed.assign(static_cast<std::size_t>(subbasins) + 1, 0.0);
  irrigationLedger.outletElement = topology.description;
  for (std::size_t d = 1; d < elements.size(); ++d) {
    elements[d]->SetIrrigationArrays(maxirrig.data(), maxirrigFromReservoirs.data());
    elements[d]->SetIrrigationLedger(&irrigationLedger);
  }
}

void abflussmodellklasse::SetRunoffSource(double** runoff) {
  if (flowControl <= 0) return;
  if (routingOnly && !runoff)
    InitRoutingMode();
  else
    runoffSource = runoff;
  for (std::vector<double>& row : stepStore) std::fill(row.begin(), row.end(), 0.0);
  if (!runoffSource) {
    *diag << "FATAL: No valid discharges for discharge routing!\nYou have to run the model "
             "including at least precipitation interpolation and soil model\nif discharges are "
             "wished."
          << "[end-entry]";
    throw 43;
  }
}

void abflussmodellklasse::setRiverflowTable(ReinfiltrationRecord* table) {
  if (flowControl <= 0) return;
  riverflowTable = table;
  for (std::size_t d = 1; d < elements.size(); ++d)
    elements[d]->AttachRiverflowTable(table, static_cast<int>(d));
}

void abflussmodellklasse::RouteTimeStep(long minute, long hour, long day, long month, long year) {
  currentDate = ModelDate{minute, hour, day, month, year};
  if (!routingOnly) {
    dayText[0] = '\0';
  } else if (day != dayTextDay) {
    std::snprintf(dayText, sizeof dayText, " routing only for day %04ld-%02ld-%02ld", year, month,
                  day);
    dayTextDay = day;
  }
  const bool lakes = configuredFlowControl > 0 && lakeModel != 0 && lakeCodesIndex != 0;
  if (lakes) gatherLakeGrids();
  if (mpiRank != 0 && lakes) scatterLakePonding();
  if (flowControl <= 0) return;
  reportModelTime(minute, hour, day, month, year, nullptr, dayText);

  const int y = static_cast<int>(year);
  const int mo = static_cast<int>(month);
  const int d = static_cast<int>(day);
  const int h = static_cast<int>(hour);
  const int mi = static_cast<int>(minute);
  prepareIrrigationDemand();
  for (int t = 0; t <= tracerCount; ++t)
    for (int i = 1; i <= subbasins; ++i) stepRunoff[t][i] = runoffSource[t][i];
  for (std::size_t e = 1; e < elements.size(); ++e)
    elements[e]->ReadInflows(stepRunoff, y, mo, d, h, mi);
  for (int t = 0; t <= tracerCount; ++t)
    for (int j = 1; j <= subIntervals; ++j)
      std::copy(stepRunoff[t] + 1, stepRunoff[t] + subbasins + countZL + 1, subTable[t][j] + 1);
  convertObservedForRouting();
  for (std::size_t e = 1; e < elements.size(); ++e) {
    elements[e]->Route(y, mo, d, h, mi);
    if (riverflowTable) elements[e]->UpdateRiverflowTable();
  }
  passIrrigationDown();
  offerLessOwed();

  const bool compared = observedOpened && observedEndCount < noObservation;
  if (compared) compareWithObserved();
  advanceObservedFile(day, month, year, hour, compared);
  storeStatistics(minute, hour, day, month, year);
  if (lakes) scatterLakePonding();
}

// In m^3/s the routed depth of a column covers its whole upstream area,
// divided by the area factor of its element.
double abflussmodellklasse::simulatedDischarge(int i) const {
  const double w = stepRunoff[0][i];
  if (dischargeUnit != 1) return w;
  return w * abfrel[0][0] * abfrel[0][i] * 16.6666667 / timeStepMinutes / abfrel[1][i];
}

// Flow control 2 routes the observations of the step in place of the
// modelled runoff: the inverse of simulatedDischarge, with the constant of
// the elements' depth conversions.
void abflussmodellklasse::convertObservedForRouting() {
  if (!specificDischarges || !observedOpened) return;
  std::fill(routedObservation.begin(), routedObservation.end(), header.nodata);
  for (int i = 1; i <= subbasins; ++i) {
    const int col = observedColumn[static_cast<std::size_t>(i)];
    if (col < 1) continue;
    const double o = window[shiftZeroRow][col];
    if (!(o > header.nodata)) continue;
    const double area = abfrel[0][0] * abfrel[0][i];
    routedObservation[static_cast<std::size_t>(col)] =
        dischargeUnit == 1 && area > 0.0 ? o * 0.06 * timeStepMinutes / area * abfrel[1][i] : o;
  }
}

void abflussmodellklasse::compareWithObserved() {
  ++criteriaStepCount;
  StatisticTableEntry* entry = observedEntry > 0 && context.statisticTable
                                   ? &context.statisticTable[observedEntry]
                                   : nullptr;
  const int mode = qstatCode / 1000;
  const bool listed =
      (mode == 5 || mode == 6) && context.outputList && !context.outputList->empty();
  const int firstListed = listed ? context.outputList->front() : -1;
  const int firstListedIndex =
      firstListed >= 0 && firstListed <= zones.maxCode ? zones.indexOfCode[firstListed] : 0;
  for (int i = 1; i <= subbasins; ++i) {
    const int col = observedColumn[static_cast<std::size_t>(i)];
    if (entry && entry->currentValues) {
      if (mode == 2 || mode == 4) entry->currentValues[i] = window[shiftZeroRow][col];
      if (listed && firstListedIndex == i) entry->currentValues[1] = window[shiftZeroRow][col];
    }
    if (col < 1 || criteriaStepCount <= criteriaStartOffset) continue;
    const double q = simulatedDischarge(i);
    for (int k = 0; k < windowRows; ++k) {
      const double o = window[k][col];
      if (!(o > 0.0)) continue;
      addComparison(linearCriteria[k][i], q, o);
      if (q > 0.0) addComparison(logarithmicCriteria[k][i], std::log(q), std::log(o));
    }
  }
}

void abflussmodellklasse::advanceObservedFile(long day, long month, long year, long hour,
                                              bool compared) {
  if (!observedOpened) return;
  if (observedEndCount >= noObservation)
    *diag << "INFO: observed runoff: actual date " << day << "." << month << "." << year << " "
          << hour << "h not found (end of discharge file at " << observedDate[2] << "."
          << observedDate[1] << "." << observedDate[0] << ", " << observedDate[3] << "h)"
          << "[end-entry]";
  std::rotate(window.begin(), window.begin() + 1, window.end());
  double* newest = window[windowRows - 1];
  TimeSeriesFile& file = *observedFile;
  if (file.getState() == 4) {
    std::fill(newest, newest + observedColumns + 1, header.nodata);
    if (observedEndCount < noObservation) ++observedEndCount;
  } else {
    for (long c = 1; c <= observedColumns; ++c) newest[c] = file.getValue(c - 1);
    file.next();
    if (file.getState() != 4) readRecordDate(file, observedDate);
  }
  if (compared && file.getState() == 4)
    *diag << "INFO: end of discharge file reached!"
          << "[end-entry]";
}

void abflussmodellklasse::storeStatistics(long minute, long hour, long day, long month, long year) {
  routedStatistic->resetZones();
  for (int i = 1; i <= subbasins; ++i) {
    ZoneRecord& r = routedRecords[static_cast<std::size_t>(i)];
    r.weightSum += 1.0;
    r.effectiveWeight += 1.0;
    r.valueSum += simulatedDischarge(i);
  }
  routedStatistic->storeRoutingStep(year, month, day, hour, minute);
  for (int k = 1; k <= tracerCount && k <= static_cast<int>(tracers.size()); ++k) {
    SubmodelTracer& t = *tracers[static_cast<std::size_t>(k) - 1];
    t.statistic->resetZones();
    for (int i = 1; i <= subbasins; ++i) {
      ZoneRecord& r = t.zoneRecords[static_cast<std::size_t>(i)];
      r.weightSum += 1.0;
      r.effectiveWeight += 1.0;
      r.valueSum += stepRunoff[k][i];
    }
    t.statistic->storeStep(year, month, day, hour, minute, 0);
  }
}

void abflussmodellklasse::flushOutputs() {
  if (flowControl <= 0) return;
  if (routedStatistic) routedStatistic->writeBuffer();
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic) t->statistic->writeBuffer();
  for (std::size_t d = 1; d < elements.size(); ++d) elements[d]->FlushOutputs();
}
