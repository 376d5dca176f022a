// The time step of the silting-up model.

#include <omp.h>

#include <algorithm>

#include "config/landuse_class.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "lateral/siltingupclass.h"

namespace {

constexpr int parserCode = 403;
// A cell of a response unit that has no master cell.
constexpr int unknownUnitCode = 1030;

} // namespace

void siltingupclass::step(long minute, long hour, long day, long month, long year) {
  reportModelTime(minute, hour, day, month, year);
  if (getFlowControl() == 0) return;
  if (!weightsLookedUp) {
    hasSurfaceRoutingWeights = findGrid("SurfaceRoutingWeights", 1) > 0;
    const int glacierIndex = findGrid("ice_firn", 1);
    if (glacierIndex > 0) glacierGrid = registry[glacierIndex].grid;
    weightsLookedUp = true;
  }
  selectWaterInput(interceptionFirst);
  for (StatisticOutput* s : {&dispositionStatistic, &directRunoffStatistic})
    s->statistic->resetZones();
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) t->statistic->resetZones();

  // The day of the year depends on the date alone; its failure (code 150)
  // must not arise inside the parallel region.
  StepValues v;
  v.doy = ::dayOfYear(diag, day, month, year);
  v.previousYearLength = isLeapYear(year - 1) ? 366 : 365;
  v.day = day;
  v.month = month;
  v.year = year;
  if (siltingMethod == 3) prepareParsers();
  const OwnCells computed = ownCells(context.hruFlag != 0);
  computed.forEach([&](long r, long c) {
    ThreadParser* p =
        siltingMethod == 3 ? parsers[static_cast<size_t>(omp_get_thread_num())].get() : nullptr;
    computeCell(r, c, v, p);
  });
  if (siltingMethod == 3) rethrowParserFailure();

  const OwnCells cells = ownCells();
  if (context.hruFlag != 0) copyFromMasters(cells);
  addStatistics(cells);
  for (StatisticOutput* s : {&dispositionStatistic, &directRunoffStatistic})
    s->statistic->storeStep(year, month, day, hour, minute, 1);
  for (int g = 0; g < ownGridCount; ++g) writeOutputGrids(gridIndex[g], 1, 0);
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) {
    t->statistic->storeStep(year, month, day, hour, minute, 1);
    writeOutputGrids(t->concstorIndex, 1, 0);
    writeOutputGrids(t->concfluxIndex, 1, 0);
  }
}

void siltingupclass::prepareParsers() {
  const size_t threads = static_cast<size_t>(omp_get_max_threads());
  while (parsers.size() < threads) parsers.push_back(std::make_unique<ThreadParser>());
  for (const std::unique_ptr<ThreadParser>& p : parsers) {
    p->failure = 0;
    p->message.clear();
    p->variables.clear();
  }
}

// The failure of the cell first in row order, whatever thread met it.
void siltingupclass::rethrowParserFailure() {
  const ThreadParser* first = nullptr;
  for (const std::unique_ptr<ThreadParser>& p : parsers)
    if (p->failure != 0 &&
        (!first || p->failedRow < first->failedRow ||
         (p->failedRow == first->failedRow && p->failedColumn < first->failedColumn)))
      first = p.get();
  int code = 0;
  if (first) {
    *diag << first->message << "[end-entry]";
    code = first->failure;
  }
  shareExitCode(*diag, code);
}

// Evaluates expressions first .. last - 1; false after a failure, which the
// thread keeps.
bool siltingupclass::evaluate(ThreadParser& p, std::size_t first, std::size_t last, long r,
                              long c) {
  for (std::size_t k = first; k < last; ++k) {
    const std::string& result = p.parser.parse(siltingExpressions[k]);
    if (result.find("Error") == std::string::npos) continue;
    p.failure = parserCode;
    p.failedRow = r;
    p.failedColumn = c;
    p.message = "FATAL: \n-----------------error------------\nin instance " + moduleName +
                "\nexpression " + siltingExpressions[k] +
                " could not be parsed correctly. Parser message: " + result;
    return false;
  }
  return true;
}

void siltingupclass::setVariables(VariableList& list, const soil_class& soil, const SoilValues& s,
                                  double tillageDays, double intensity, double energy) const {
  static const char* const parameterNames[] = {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J"};
  for (int k = 0; k < 10; ++k) list.set(parameterNames[k], soil.getSU_PAR(k + 1));
  list.set("K", s.grainIndex);
  list.set("L", soil.getGrainSizeDist(0));
  list.set("M", soil.getGrainSizeDist(2));
  list.set("N", soil.getGrainSizeDist(1));
  list.set("O", tillageDays);
  list.set("P", intensity);
  list.set("Q", energy);
  list.set("R", timeStepMinutes);
}

void siltingupclass::computeCell(long r, long c, const StepValues& v, ThreadParser* p) {
  if (p && p->failure != 0) return;
  const double nodata = header.nodata;
  const double soilCode = soilTypeGrid[r][c];
  if (!(soilCode >= 1.0) || soilCode >= static_cast<double>(soilValues.size())) return;
  const size_t soilIndex = static_cast<size_t>(soilCode);
  const soil_class& soil = (*context.soilTable)[soilIndex];
  const SoilValues& s = soilValues[soilIndex];

  const double input = waterInputGrid[r][c];
  const double W = input != nodata ? input : 0.0;
  // A cell wholly under a glacier has no soil surface: its input is the
  // glacier's, and the water on it runs on over the ice.
  const bool covered = glacierGrid && glacierGrid[r][c] != nodata && glacierGrid[r][c] >= 1.0;
  const bool surfaceWater =
      hasSurfaceRoutingWeights && !covered && surfaceStorageGrid[r][c] != nodata;
  const double S = surfaceWater ? surfaceStorageGrid[r][c] : 0.0;
  const double dt = timeStepMinutes;

  for (size_t k = 0; k < tracers.size(); ++k) {
    SubmodelTracer& t = *tracers[k];
    double& C = t.concstor[r][c];
    if (t.record.radioactive == 1) C *= t.record.decayFactor;
    // The store is the concentration of the water on the land, as surface
    // routing leaves it there and the unsaturated zone takes it up, for
    // every kind of tracer.
    if (W > 0.0) C = mixConcentration(C, tracerInputGrids[k][r][c], S, W);
  }

  // Land use: tillage and residue of layer 1, the vegetation of the
  // uppermost layer that has one.
  const std::vector<landuse_class>* uses = context.landuseTable;
  const double useCode = landuseGrids[1][r][c];
  const landuse_class* use = uses && useCode >= 1.0 && useCode < static_cast<double>(uses->size())
                                 ? &(*uses)[static_cast<size_t>(useCode)]
                                 : nullptr;
  int tillageCount = 0;
  const int* tillageDays = nullptr;
  if (use) use->getSoilTillage(tillageCount, tillageDays);
  double vegetation = 0.0;
  for (size_t k = landuseGrids.size() - 1; k >= 1; --k)
    if (landuseGrids[k][r][c] != nodata) {
      vegetation = coverageGrids[k][r][c];
      break;
    }
  const double residue =
      use ? use->getSR_ResidCovrgByDate(diag, v.day, v.month, v.year, 1, r, c) : 0.0;
  const double bare = 1.0 - std::min(1.0, residue + vegetation);

  const double T =
      use ? daysSinceTillage(tillageCount, tillageDays, v.doy, v.previousYearLength) : 0.0;
  const bool tilled = T > 0.0;
  grids[tillageTime][r][c] = T;
  const double intensity = W / (dt / 60.0);
  double& pause = grids[rainPause][r][c];
  pause = intensity > rainPauseIntensity ? 0.0 : pause + dt / 1440.0;

  double& energy = grids[kineticEnergy][r][c];
  SiltingRates rates;
  double energyPerMm = 0.0;
  if (p) {
    VariableList& list = p->variables;
    setVariables(list, soil, s, T, intensity, energy);
    if (!evaluate(*p, 0, firstGroup, r, c)) return;
    double X = 0.0, Y = 0.0, Z = 0.0;
    list.get("Z", Z);
    list.get("Y", Y);
    list.get("X", X);
    list.get("W", energyPerMm);
    rates = {X, Y, Z};
  } else {
    rates = builtInRates(methodTwoParameters, s.grainIndex, s.sand100, T);
    energyPerMm = rainEnergyPerMm(intensity);
  }
  // The disposition of untilled soil is 0 whatever the expressions say.
  grids[disposition][r][c] = tilled ? rates.disposition : 0.0;

  const double stepEnergy = intensity * energyPerMm * bare * dt / 60.0;
  const size_t zone = static_cast<size_t>(zones.indexOf(zones.grid[r][c]));
  if (!tilled)
    energy = 0.0;
  else if (minRainPause[zone] > pause)
    energy += stepEnergy;
  else
    energy = stepEnergy;

  double capacity = 0.0;
  if (p) {
    p->variables.set("Q", energy);
    if (!evaluate(*p, firstGroup, siltingExpressions.size(), r, c)) return;
    p->variables.get("V", capacity);
    p->variables.clear();
  } else {
    capacity = infiltrationCapacity(rates, energy, dt);
  }

  // The surface storage moves into the input, so that the water is held in
  // one place; a capacity below 0 or not a number lets nothing run off
  // beyond the water there is.
  const double available = W + S;
  if (surfaceWater) surfaceStorageGrid[r][c] = 0.0;
  const double runoff =
      tilled && !covered ? available - std::max(0.0, std::min(available, capacity)) : 0.0;
  if (input != nodata || available > 0.0) waterInputGrid[r][c] = available - runoff;
  grids[directRunoff][r][c] = runoff;

  for (size_t k = 0; k < tracers.size(); ++k) {
    SubmodelTracer& t = *tracers[k];
    double& C = t.concstor[r][c];
    double flux = 0.0;
    if (runoff > 0.0) {
      // A tracer that stays behind when water evaporates leaves with the
      // runoff at most at its largest concentration; the rest stays in the
      // water that goes on to the soil, and goes with the runoff only when
      // none does.
      const double stays = available - runoff;
      const double carried = C * runoff;
      const double moved = t.record.evaporating == 1 || !(stays > 0.0)
                               ? carried
                               : t.record.limitMoved(carried, runoff);
      flux = C;
      if (moved < carried) {
        flux = moved / runoff;
        C = (C * available - moved) / stays;
      }
    }
    t.concflux[r][c] = flux;
  }
}

// Cells of a response unit take the state of its master cell. Collective.
void siltingupclass::copyFromMasters(const OwnCells& cells) {
  if (!unitCopies.isBuilt()) buildUnitCopies(unitCopies, cells, unknownUnitCode);
  unitCopies.copy({surfaceStorageGrid, grids[rainPause], grids[kineticEnergy], grids[tillageTime],
                   grids[disposition], waterInputGrid, grids[directRunoff]},
                  {});
}

void siltingupclass::addStatistics(const OwnCells& cells) {
  const Grid runoff = grids[directRunoff];
  cells.forEachInOrder([&](long r, long c) {
    const long zone = zones.indexOf(zones.grid[r][c]);
    dispositionStatistic.statistic->addValue(r, c, zone, grids[disposition][r][c], 1.0);
    directRunoffStatistic.statistic->addValue(r, c, zone, runoff[r][c], 1.0);
    const double area = cellWeights ? cellWeights[r][c] : 1.0;
    for (const std::unique_ptr<SubmodelTracer>& t : tracers) {
      ZoneRecord& record = t->zoneRecords[static_cast<size_t>(zone)];
      record.valueSum += t->concflux[r][c] * area * runoff[r][c];
      record.weightSum += runoff[r][c];
      record.effectiveWeight += runoff[r][c] * area;
    }
  });
}
