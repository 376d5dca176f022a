// Construction of the irrigation module: its section, the grids it reads,
// its statistics, what channel routing and the unsaturated zone hand over,
// tracers and teardown.
#include "routing/irrigationclass.h"

#include <cstdio>

#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"

namespace {

constexpr int routingMissingCode = 60;
constexpr int statisticDecimals = 4;

} // namespace

irrigationclass::irrigationclass(const ModelContext& contextArg, int& errorCode)
    : teilmodellklasse(contextArg, "irrigation") {
  errorCode = catchModuleFailure([&] {
    if (flowControl == 0) return; // off, also in routing-only mode
    // Spin-up units copy the state of their master cell, which a demand
    // drawn from the rivers cannot follow.
    if (context.hruFlag == 1) {
      *diag << "INFO: irrigation is off on runs with spin-up hydrologic response units"
            << "[end-entry]";
      flowControl = 0;
      closeControlFile();
      return;
    }
    HORVA_ANNOUNCE_MODULE(*diag);
    readControlValuePair(controlFile, "%s%d", groundwater.file, groundwater.code,
                         "Name des GWSTANDstatfiles fuer ");
    readControlValuePair(controlFile, "%s%d", surface.file, surface.code,
                         "Name des GWSTANDstatfiles fuer ");
    closeControlFile();
    takeGrids();
    cells = ownCells();
    rankZones(zones);
    domainArea = zonesArea(zones);
    createStatistic(groundwater, "irrigation water amount from groundwater [mm]");
    createStatistic(surface, "irrigation water amount from  surface water [mm]");
    const std::size_t records = static_cast<std::size_t>(zones.zoneCount) + 1;
    surfaceDemand = zones.records;
    for (ZoneRecord& r : surfaceDemand) r.weightSum = r.valueSum = r.effectiveWeight = 0.0;
    demandSums.assign(2 * records, ExactSum{});
    supply.assign(records, 1.0);
  });
}

irrigationclass::~irrigationclass() = default;

void irrigationclass::takeGrids() {
  const auto grid = [&](const std::string& name) { return registry[requireGrid(name)].grid; };
  precipitation = grid("precipitation");
  codes = grid("irrigation_codes");
  maxPumping = grid("Max_Pumping");
  amounts = grid("irrigation_amounts");
  topMoisture = grid("SB_1_grid");
  lowMoisture = grid("SBLOW_grid");
  highMoisture = grid("SBHIGH_grid");
  etrEtp = grid("ETR2ETP");
  char name[32];
  std::snprintf(name, sizeof name, "%s%d", "root_depth", 1);
  rootDepth = grid(name);
  requireGrid("MPIHelper");
  const int glacierIndex = findGlacierGrid();
  glacier = glacierIndex > 0 ? registry[glacierIndex].grid : nullptr;
  // The snow model's dynamic glaciers, built before, register it.
  glacierKeepsPack = glacier && findGrid("Precipitation_onGlacier", 1) > 0;
  const int lakeIndex = findGrid("lake_codes", 1);
  lakeCodes = lakeIndex > 0 ? registry[lakeIndex].grid : nullptr;
  table = context.irrigationTable;
  tableSize = table && !table->empty() ? static_cast<long>(table->size()) - 1 : 0;
}

// Each statistic sums the cells into records of its own, the areas weighted
// by "RelCellArea".
void irrigationclass::createStatistic(Series& s, const std::string& title) {
  s.records = zones.records;
  s.data = s.records.data();
  s.statistic = createZoneStatistic(&s.data, s.code, statisticDecimals, s.file, title);
}

void irrigationclass::initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                                  StatisticTableEntry* statisticTable, long tableSizeArg) {
  initTracersThen(errorCode, tracerCount, table, statisticTable, tableSizeArg, [&] {
    tracerInput.assign(tracers.size(), nullptr);
    tracerStorage.assign(tracers.size(), nullptr);
    for (std::size_t k = 0; k < tracers.size(); ++k) {
      char name[100];
      std::snprintf(name, sizeof name, "concflux_tracer_%1d_%s", static_cast<int>(k + 1), "input");
      tracerInput[k] = registry[requireGrid(name)].grid;
    }
    supply.assign((tracers.size() + 1) * (static_cast<std::size_t>(zones.zoneCount) + 1), 0.0);
  });
}

void irrigationclass::FindTracerStorageGrids() {
  for (std::size_t k = 0; k < tracerStorage.size(); ++k) {
    char name[100];
    std::snprintf(name, sizeof name, "concstor_tracer_%d_%s", static_cast<int>(k + 1),
                  "unsatzon_model");
    const int index = findGrid(name, 1);
    tracerStorage[k] = index > 0 ? registry[index].grid : nullptr;
  }
}

void irrigationclass::freeTracers() {
  if (flowControl == 0) return;
  tracerInput.clear();
  tracerStorage.clear();
  teilmodellklasse::freeTracers();
}

void irrigationclass::SetGroundwaterRunoff(std::vector<std::vector<double>>* runoff) {
  if (flowControl != 0) groundwaterRunoff = runoff;
}

ZoneRecord* irrigationclass::GetSurfaceDemand() {
  return flowControl != 0 ? surfaceDemand.data() : nullptr;
}

void irrigationclass::SetStorageRecords(ReinfiltrationRecord* records) {
  if (flowControl != 0) riverflow = records;
}

// Every irrigation draws through channel routing, which books what its
// channels, reservoirs and subbasins give. The first lines are the
// module's own; what follows says what is missing and how to mend it.
void irrigationclass::routingMissing(const char* firstLine, const char* array,
                                     const char* what) const {
  *diag << firstLine << array << "[irrigation] of " << userControlFile(context.controlFileName)
        << " is on, but channel routing is off ([routing_model] missing or its first line 0): "
           "irrigation takes its water through channel routing, which gives "
        << what << "; switch [routing_model] on, or [irrigation] off"
        << "[end-entry]";
  throw routingMissingCode;
}

void irrigationclass::SetMaxIrrigation(double** maxIrrigation,
                                       double** maxIrrigationFromReservoirs) {
  if (flowControl == 0 || mpiRank != 0) return;
  const char* first = "FATAL: if irrigation is modelled, also routing has to be modelled!";
  if (!maxIrrigation)
    routingMissing(first, "\n(Adress of array maxirrig[] is NULL\n",
                   "the water its channels hold for the fields");
  if (!maxIrrigationFromReservoirs)
    routingMissing(first, "\n(Adress of array maxirrigFromReservoirs[] is NULL\n",
                   "the water its reservoirs hold for the fields");
  maxirrig = maxIrrigation;
  maxirrigFromReservoirs = maxIrrigationFromReservoirs;
}

void irrigationclass::SetRoutingTarget(const RoutingTopology* topology) {
  if (flowControl == 0 || mpiRank != 0) return;
  if (!topology)
    routingMissing("FATAL: if irrigation is modelled, also routing has to be modelled! ",
                   "\n(Adress of array routing-target is NULL)\n", "the subbasins its channels flow to");
  routingTarget = topology;
}

void irrigationclass::SetRoutingElements(double** areaFactors) {
  if (flowControl == 0 || mpiRank != 0) return;
  if (!areaFactors)
    routingMissing("FATAL: if irrigation is modelled, also routing has to be modelled!", " \n(Adress of array abfrel is NULL)\n",
                   "the areas of its subbasins");
  abfrel = areaFactors;
}

void irrigationclass::Flush() {
  if (flowControl == 0) return;
  for (Series* s : {&groundwater, &surface})
    if (s->statistic) s->statistic->writeBuffer();
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic) t->statistic->writeBuffer();
}

void irrigationclass::releaseModule() {
  if (flowControl != 0 && !routingOnly)
    for (Series* s : {&groundwater, &surface}) {
      if (s->statistic) s->statistic->release();
      s->statistic.reset();
      std::vector<ZoneRecord>().swap(s->records);
      s->data = nullptr;
    }
  teilmodellklasse::releaseModule();
}
