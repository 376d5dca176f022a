#include "routing/routingclass.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "routing/numbered_allocation.h"
#include "submodel/model_context.h"
#include "submodel/teilmodellklasse.h"

routingclass::routingclass(int& errorCode, const ModelContext& context,
                           const RoutingElementLayout& layout)
    : modelobject(context.diag, context.controlFileName, 0, context.writeAsciiGrids,
                  context.writeDoubleGrids, context.writeNetCDFGrids, context.inputDirectory,
                  context.outputDirectory, context.cellsPerProcess, context.haloSendList,
                  context.haloReceiveList, 0, 0) {
  errorCode = 0;
  moduleName = "routingmodel";
  registry = context.registry;
  header = context.header;
  tracerCount = context.tracerCount;
  tracerRecords = context.tracerTable;
  subbasins = layout.subbasins;
  timeStep = layout.timeStep;
  subIntervals = layout.subIntervals;
  specDischargeFiles = layout.specDischargeFiles;
  elementArea = layout.elementArea;
  areaFactor = layout.areaFactor;
  subbasinCode = layout.subbasinCode;
  tributaries = layout.tributaries;
  summedTributaries = layout.summedTributaries;
  furtherAreaShares = layout.furtherAreaShares;
  inflows = layout.inflows;
  abstractions = layout.abstractions;
  hourOffset = context.minToIntEndHours();
  areaTable = layout.areaTable;
  columnMap = layout.columnMap;
  reservoirs = layout.reservoirs;
  lake = layout.lake;
  readGrids = layout.readGrids;
  rowColumnRange = context.rowColumnRange;
  errorCode = catchModuleFailure([&] {
    HORVA_ANNOUNCE_MODULE(*diag);
    if (subIntervals < 1) {
      *diag << "FATAL: routing: subbasin " << subbasinCode << ": " << subIntervals
            << " sub-intervals per time step; give at least 1 in the routing section"
            << "[end-entry]";
      throw 17;
    }
    ownColumn = columnOfSubbasin(subbasinCode);
    allocateChannelArrays();
    channelCode[0] = subbasinCode;
    channelColumns[0] = ownColumn;
    areaShares[0] = cellCount(ownColumn);
    const std::size_t tracerSlots = static_cast<std::size_t>(tracerCount) + 1;
    mixSums.assign(tracerSlots, 0.0);
    decayFactor.assign(tracerSlots, 1.0);
    queueMix.assign(tracerSlots, 0.0);
    // The sub-interval count is known here, so that an element without any
    // channel has its outflow arrays as well.
    elementOut.assign(tracerSlots, std::vector<double>(subIntervals + 1, 0.0));
    channelFlow.assign(tracerSlots, std::vector<double>(subIntervals + 1, 0.0));
    alFlow.assign(tracerSlots, 0.0);
    if (inflows > 0) {
      inflowCode.assign(inflows + 1, 0);
      inflowMode.assign(inflows + 1, 0);
      inflowValueIndex.assign(inflows + 1, 0);
      inflowFile.resize(inflows + 1);
      inflowValue.assign(tracerSlots, std::vector<double>(inflows + 1, 0.0));
    }
    if (abstractions > 0) {
      abstractionLinks.assign(static_cast<std::size_t>(abstractions) + 1, 0);
      abstractionList.resize(static_cast<std::size_t>(abstractions) + 1);
      AbstractionSetting setting;
      setting.diag = diag;
      setting.tracers = tracerRecords;
      setting.tracerCount = tracerCount;
      setting.outputDirectory = outputDirectory;
      setting.area = elementArea;
      setting.areaDivisor = areaFactor;
      setting.timeStep = timeStep;
      setting.hourOffset = hourOffset;
      for (std::size_t j = 1; j < abstractionList.size(); ++j) {
        abstractionList[j] = std::make_unique<AL_class>();
        abstractionList[j]->Init(setting);
      }
    }
    if (reservoirs > 0) {
      reservoirCodes.assign(static_cast<std::size_t>(reservoirs) + 1, 0);
      reservoirList.resize(static_cast<std::size_t>(reservoirs) + 1);
      ReservoirSetting setting;
      setting.diag = diag;
      setting.tracers = tracerRecords;
      setting.tracerCount = tracerCount;
      setting.subbasin = subbasinCode;
      setting.zoneIndex = columnMap;
      setting.lake = lake;
      setting.lakeCells = layout.lakeCells;
      setting.inputDirectory = inputDirectory;
      setting.outputDirectory = outputDirectory;
      setting.timeStep = static_cast<int>(timeStep);
      setting.x0 = header.xllcorner;
      setting.y0 = header.yllcorner;
      setting.cellSize = header.cellsize;
      setting.nodata = header.nodata;
      setting.hourShift = timeStep / 60.0;
      for (int k = 1; k <= reservoirs; ++k) {
        reservoirList[static_cast<std::size_t>(k)] = std::make_unique<SP_class>();
        reservoirList[static_cast<std::size_t>(k)]->Init(setting);
      }
    }
  });
}

routingclass::~routingclass() { freeTables(); }

void routingclass::allocateChannelArrays() {
  const std::size_t n = static_cast<std::size_t>(channelCount()) + 1;
  allocateNumbered(diag, "routing: ", channelCode, n, 2);
  allocateNumbered(diag, "routing: ", subbasinList, n, 2);
  allocateNumbered(diag, "routing: ", areaShares, n + furtherAreaShares, 3);
  const std::pair<std::vector<double>*, int> parameters[] = {{&storageConstMain, 0},
                                                             {&storageConstFlood, 1},
                                                             {&widthMain, 4},
                                                             {&widthFlood, 5},
                                                             {&manningMain, 6},
                                                             {&manningFlood, 7},
                                                             {&depthMain, 8},
                                                             {&sqrtSlope, 9},
                                                             {&channelLength, 10},
                                                             {&catchmentArea, 11},
                                                             {&logStep, 12},
                                                             {&qMin, 13},
                                                             {&qMax, 14},
                                                             {&tableIntervals, 15}};
  for (const auto& [array, number] : parameters)
    allocateNumbered(diag, "routing: ", *array, n, number);
  allocateNumbered(diag, "routing: ", wqtab, n, 16);
  allocateNumbered(diag, "routing: ", channelColumns, n, 2);
  allocateNumbered(diag, "routing: ", memberColumns, n, 2);
}

int routingclass::columnOfSubbasin(int code) const {
  const int column =
      columnMap && code >= 0 && code < static_cast<int>(columnMap->size()) ? (*columnMap)[code] : 0;
  if (column < 1 || column > subbasins) {
    *diag << "FATAL: routing: subbasin " << subbasinCode << ": there is no subbasin with code "
          << code << " in the zone grid; check the routing description"
          << "[end-entry]";
    throw 41;
  }
  return column;
}

void routingclass::channelFailure(int c, const std::string& what) const {
  *diag << "FATAL: routing: subbasin " << subbasinCode << ", channel " << c << " (code "
        << channelCode[c] << "): " << what << "; check the channel in the routing description"
        << "[end-entry]";
  throw 17;
}

void routingclass::SetIrrigationRecords(ZoneRecord* records) { irrigationDemand = records; }

void routingclass::SetIrrigationArrays(double** maxIrrigation,
                                       double** maxIrrigationFromReservoirs) {
  maxirrig = maxIrrigation;
  maxirrigFromReservoirs = maxIrrigationFromReservoirs;
}

void routingclass::AttachRiverflowTable(ReinfiltrationRecord* table, int attachment) {
  riverflowTable = table;
  riverflowAttachment = attachment;
  fillRiverflowRecords(true);
}

void routingclass::UpdateRiverflowTable() { fillRiverflowRecords(false); }

void routingclass::fillRiverflowRecords(bool attach) {
  if (!riverflowTable || !stepRunoff) return;
  const int tracers = std::min(tracerCount, 9);
  for (int c = 1; c <= tributaries + summedTributaries; ++c) {
    const auto fill = [&](int col) {
      ReinfiltrationRecord& record = riverflowTable[col];
      if (attach) {
        record.attachment = riverflowAttachment;
        record.channel = c;
      }
      record.catchmentArea = catchmentArea[c];
      const int row = FindTableRow(c, stepRunoff[0][col]);
      for (int t = 0; t <= tracers; ++t) record.flow_mm[t] = stepRunoff[t][col];
      record.withdrawal = 0.0;
      record.accumulator = 0.0;
      record.flowm3s = DepthToFlow(record.flow_mm[0], catchmentArea[c], timeStep);
      record.speed = wqtab[c].v[row];
    };
    for (int member : memberColumns[c]) fill(member);
    fill(channelColumn(c));
  }
  offerHeldWater();
}

// The columns of a summed channel share its water by their parts of its
// input: in m^3 each column's share, over the units of channelVolume, is
// the content over the sum of the columns' volume factors.
void routingclass::offerHeldWater() {
  if (!riverflowTable) return;
  for (int c = 1; c <= tributaries + summedTributaries; ++c) {
    double factors = columnVolumeFactor(c, channelColumn(c));
    for (int member : memberColumns[c]) factors += columnVolumeFactor(c, member);
    const double content = channelContent(c);
    const double held =
        factors > 0.0 && content > 0.0 ? content * 1000.0 * catchmentArea[c] / factors : 0.0;
    for (int member : memberColumns[c]) riverflowTable[member].held = held;
    riverflowTable[channelColumn(c)].held = held;
  }
}

int routingclass::MaxStorageCount(int n) const {
  for (int c = 1; c <= channelCount(); ++c) n = std::max(n, wqtab[c].nStorage);
  return n;
}

double routingclass::enrichConcentration(double c, double v, double e) const {
  return teilmodellklasse::enrichConcentration(c, v, e);
}

void routingclass::CheckBasinArea() {
  areaShares[0] = cellCount(ownColumn);
  double total = areaShares[0];
  for (int c = 1; c <= tributaries + summedTributaries; ++c) {
    const int col = channelColumn(c);
    double share = col == ownColumn ? 0.0 : cellCount(col);
    for (int member : memberColumns[c]) share += cellCount(member);
    areaShares[c] = share;
    total += share;
  }
  if (total > 0.0)
    for (double& share : areaShares) share = share / total * areaFactor;
  areaTable[0][ownColumn] = total;
  areaTable[1][ownColumn] = areaFactor;
  const double cellArea = areaTable[0][0];
  const double zoneGridArea = cellArea * total;
  if (cellArea > 0.0 && std::fabs(zoneGridArea - elementArea) > 0.001) {
    *diag << "INFO: Basin " << subbasinCode << ": area in contr.file: " << elementArea
          << " <-> zone-grid " << zoneGridArea << " (adjusted to the latter)"
          << "[end-entry]";
    for (int j = 1; j <= abstractions; ++j) abstraction(j).rescaleArea(zoneGridArea);
    elementArea = zoneGridArea;
  }
}

void routingclass::FreeMemory() {
  *diag << " free memory TG " << subbasinCode;
  for (int c = 1; c <= channelCount(); ++c) {
    *diag << ", OL " << c;
    if (isInflowChannel(c)) {
      *diag << ", (only ZL's)";
      continue;
    }
    *diag << " (Subb. " << channelCode[c];
    for (int code : subbasinList[c]) *diag << ", " << code;
    *diag << ")";
  }
  if (routeQueue)
    for (int t = 0; t <= tracerCount; ++t)
      for (int col : queueColumns) routeQueue[t][col] = nullptr;
  std::vector<double>().swap(queueStorage);
  queueColumns.clear();
  freeTables();
  *diag << ", --> ZLs...";
  for (int j = 1; j <= inflows; ++j) {
    inflowFile[j].reset();
    *diag << " " << j << ",";
  }
  *diag << ", --> ALs...";
  for (int j = 1; j <= abstractions; ++j) {
    std::unique_ptr<AL_class>& al = abstractionList[static_cast<std::size_t>(j)];
    if (!al) continue;
    al->FlushBuffer(1);
    al.reset();
    *diag << " " << j << ",";
  }
  *diag << ", --> SPs...";
  for (int k = 1; k <= reservoirs; ++k) {
    std::unique_ptr<SP_class>& r = reservoirList[static_cast<std::size_t>(k)];
    if (!r) continue;
    r->FlushOutput(1);
    r.reset();
    *diag << " " << k << ",";
  }
  *diag << " Rest...";
  inflowFile.clear();
  abstractionList.clear();
  *diag << " ok"
        << "[end-entry]";
  modelobject::releaseModule();
}

void routingclass::freeTables() {
  for (RoutingTable& w : wqtab) {
    if (w.Qaus) free_matrix(w.Qaus, 0, static_cast<long>(w.nSubChannels) + 1, 0, subIntervals + 1);
    w = RoutingTable{};
  }
}
