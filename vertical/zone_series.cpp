#include "vertical/zone_series.h"

#include "core/collective_status.h"

void ZoneSeriesBook::setUp(const ModelContext& contextArg, const std::string& name, double minutes,
                           Grid cellWeights, const OwnCells& own) {
  context = &contextArg;
  moduleName = name;
  stepMinutes = minutes;
  weights = cellWeights;
  cells = own;
  const Grid zone = context->registry[1].grid;
  const long records = context->zoneRecords ? static_cast<long>(context->zoneRecords->size()) : 1;
  cellZones.clear();
  cells.forEachInOrder([&](long r, long c) {
    const double code = zone[r][c];
    long rank = 0;
    if (context->zoneRanks && code >= 0.0 && code < static_cast<double>(context->zoneRanks->size()))
      rank = (*context->zoneRanks)[static_cast<size_t>(code)];
    cellZones.push_back(rank > 0 && rank < records ? static_cast<int>(rank) : 0);
  });
}

// Records of its own for every series, since every series sums into them;
// the same zones as the statistics of the standard grids.
void ZoneSeriesBook::createSeries(ZoneSeries& s, const std::string& file, int code, int decimals,
                                  const std::string& title) const {
  s.records.assign(1, ZoneRecord{0.0, 0.0, 1.0, 1.0, 0.0});
  if (context->zoneRecords) {
    s.records.assign(context->zoneRecords->size(), ZoneRecord{});
    for (size_t z = 0; z < s.records.size(); ++z) {
      const ZoneRecord& model = (*context->zoneRecords)[z];
      s.records[z].code = model.code;
      s.records[z].areaFraction = model.areaFraction;
      s.records[z].effectiveWeight = model.effectiveWeight;
    }
  }
  s.data = s.records.data();
  s.file = file;
  std::vector<int> listed(1, 0);
  if ((code / 1000 == 5 || code / 1000 == 6) && context->outputList)
    listed.insert(listed.end(), context->outputList->begin(), context->outputList->end());
  int failed = 0;
  s.statistic = std::make_unique<zonalstatistic>(
      failed, context->diag, context->statisticTable, context->statisticTableSize, weights,
      static_cast<int>(context->header.nrows), static_cast<int>(context->header.ncols), &s.data,
      static_cast<int>(s.records.size()) - 1, code, decimals, s.file, context->outputDirectory,
      static_cast<int>(listed.size()) - 1, listed.data(), stepMinutes < 60.0);
  if (failed != 0) throw failed;
  s.statistic->writeHeader(moduleName, title, context->statisticTable, context->statisticTableSize);
}

void ZoneSeriesBook::addToSeries(const StatisticJobs& jobs) const {
  const long count = static_cast<long>(jobs.size());
#pragma omp parallel for schedule(dynamic, 1)
  for (long j = 0; j < count; ++j) {
    zonalstatistic& s = *jobs[static_cast<size_t>(j)].first->statistic;
    if (!s.isActive()) continue;
    const CellStatistic& add = jobs[static_cast<size_t>(j)].second;
    const int* zone = cellZones.data();
    cells.forEachInOrder([&](long r, long c) { add(s, r, c, *zone++); });
  }
}

void ZoneSeriesBook::storeSteps(const std::vector<ZoneSeries*>& series, const ModelDate& d) const {
  int failure = 0;
  for (ZoneSeries* s : series) {
    const int code = catchExitCode(
        [&] { s->statistic->storeStep(d.year, d.month, d.day, d.hour, d.minute, 1); });
    if (failure == 0) failure = code;
  }
  shareExitCode(*context->diag, failure);
}
