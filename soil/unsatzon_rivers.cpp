// River cells of the unsaturated zone: their grids and statistics, the
// river each of them meets in a sub-step, the serial pass over the cells
// that draw from a subbasin's record, and the records themselves.

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <limits>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int riverLinkCode = 199;
constexpr long noCell = std::numeric_limits<long>::max();
constexpr int missingGridCode = 33;
// Lakes that hold this much water (mm) let neither macropores nor rivers
// work under them.
constexpr double fullLake = 1.0;

} // namespace

void unsatzonmodellklasse::setGroundwaterActive(bool active) {
  groundwaterActive = active;
  if (!active || settings.interaction != 0 || getFlowControl() == 0 || routingOnly) return;
  // The baseflow QB is the aquifer's exfiltration into the river cells,
  // which only the exchange with the rivers computes.
  *diag << "WARNING: in modul " << moduleName
        << ": [groundwater_flow] is on and the surface water interaction parameter (line 4 of "
           "[unsatzon_model]) is 0: the aquifer reaches no river but through the soil's surface "
           "(where it fills a column to the surface, the rest runs off as direct runoff), and "
           "the baseflow QB (= GWEX) of every subbasin stays 0; set the parameter to 1 or 2, "
           "with the grids river_depth, river_width, river_links and kolmation, for the "
           "aquifer to feed the rivers"
        << "[end-entry]";
}

void unsatzonmodellklasse::setUpRivers() {
  // The exchange of the river cells needs all four of them; the general
  // message of a missing grid would not say why.
  const char* const riverGrids[] = {"river_depth", "river_width", "river_links", "kolmation"};
  for (const char* name : riverGrids) {
    if (findGrid(name, 1) > 0) continue;
    *diag << "FATAL: the grid \"" << name << "\" is missing: the surface water interaction "
          << settings.interaction << " of [unsatzon_model] in " << userControlFile(controlFileName)
          << lineOfValue(" surface water interaction parameter of ")
          << " lets the river cells exchange water with the soil, which needs the standard grids "
             "river_depth (m), river_width (m), river_links (the subbasin whose channel a cell "
             "holds) and kolmation (the riverbed's leakage, 1/s); add "
          << name << " to [standard_grids], or set the interaction to 0"
          << "[end-entry]";
    throw missingGridCode;
  }
  rivers.depth = registry[requireGrid("river_depth")].grid;
  rivers.width = registry[requireGrid("river_width")].grid;
  const int links = requireGrid("river_links");
  rivers.links = registry[links].grid;
  builtOnceFrom(links, "the unsaturated zone lists the river cells of every subbasin's link once");
  rivers.leakage = registry[requireGrid("kolmation")].grid;
  const int code = catchExitCode([&] {
    createStatistic(statGWIN, "re-infiltration from rivers [mm per Zone]", 6);
    createStatistic(
        statGWEX, "base flow (exfiltration into rivers, only with gw-module active) [mm per Zone]",
        6);
  });
  shareExitCode(*diag, code);
  refuseLinksToNoSubbasin();
  // In link order every subbasin's cells are solved on one process.
  if (settings.interaction == 1) warnOfSharedRecords();
}

void unsatzonmodellklasse::refuseLinksToNoSubbasin() {
  long first = noCell;
  const long width = header.ncols + 1;
  for (long r = header.firstRow; r <= header.lastRow && first == noCell; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c) && isLinkedRiverCell(r, c) && linkRecord(rivers.links[r][c]) == 0) {
        first = r * width + c;
        break;
      }
  checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, &first, 1, MPI_LONG, MPI_MIN, MPI_COMM_WORLD),
           "MPI_Allreduce of the river links to no subbasin");
  if (first == noCell) return;
  const long row = first / width;
  const long column = first % width;
  const bool held = row >= header.firstRow && row <= header.lastRow;
  double value = held && isOwnValidCell(row, column) ? rivers.links[row][column] : 1e300;
  checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, &value, 1, MPI_DOUBLE, MPI_MIN, MPI_COMM_WORLD),
           "MPI_Allreduce of the river links to no subbasin");
  if (mpiRank == 0) {
    const int code = static_cast<int>(value);
    *diag << "FATAL: \n\n -------- error! ---------------------------------------------\n\n"
             "There is a river link \""
          << code
          << "\" from the river link grid\nwhich is not valid for the current routing "
             "structure -> there is no routing \ndescription for a river with code "
          << code << "\n"
          << "Please check your River link grid if there are cells defined as routing link " << code
          << " and replace those values by nodata (-9999).\n"
          << "The first such cell lies at row " << row << ", column " << column << " of "
          << gridWithFile("river_links") << "; a river link holds the code of the subbasin "
          << "whose river the cell exchanges water with, one of 1 ... " << zones.zoneCount
          << " that the zone grid holds"
          << "[end-entry]";
  }
  throw riverLinkCode;
}

// Each process sums the takes of its cells apart.
void unsatzonmodellklasse::warnOfSharedRecords() {
  std::vector<int> holders(static_cast<size_t>(zones.zoneCount) + 1, 0);
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c) && rivers.links[r][c] > 0.0) {
        const int record = linkRecord(rivers.links[r][c]);
        if (record > 0) holders[static_cast<size_t>(record)] = 1;
      }
  checkMPI(*diag,
           MPI_Allreduce(MPI_IN_PLACE, holders.data(), static_cast<int>(holders.size()), MPI_INT,
                         MPI_SUM, MPI_COMM_WORLD),
           "MPI_Allreduce of the river cells per subbasin");
  for (size_t s = 1; s < holders.size(); ++s)
    if (holders[s] > 1) {
      *diag << "WARNING: in modul " << moduleName << ": the river cells of subbasin "
            << subbasinCodes[s] << " lie on " << holders[s]
            << " processes, each of which sums the re-infiltration of its own cells, so that the "
               "results may differ between decompositions in their last digits; the surface "
               "water interaction parameter 2 solves every river link on one process"
            << "[end-entry]";
      return;
    }
}

int unsatzonmodellklasse::linkRecord(double value) const {
  const int code = static_cast<int>(value);
  if (code < 1 || code > zones.zoneCount) return 0;
  const int record = zones.indexOf(code);
  return record >= 1 && record <= zones.zoneCount ? record : 0;
}

bool unsatzonmodellklasse::isLinkedRiverCell(long r, long c) const {
  return rivers.links && rivers.links[r][c] > 0.0;
}

double unsatzonmodellklasse::glacierShare(long r, long c) const {
  const double g =
      glacier && glacier[r][c] != header.nodata ? std::clamp(glacier[r][c], 0.0, 1.0) : 0.0;
  return g < 1.0 && lakesReleased && isLakeCell(r, c) ? 0.0 : g;
}

double unsatzonmodellklasse::landShare(long r, long c) const {
  if (!glacierTakesWater || !lakesReleased || !isLakeCell(r, c) || !glacier ||
      glacier[r][c] == header.nodata)
    return 1.0;
  const double g = std::clamp(glacier[r][c], 0.0, 1.0);
  return g < 1.0 ? 1.0 - g : 1.0;
}

bool unsatzonmodellklasse::isFullLake(long r, long c) const {
  return lakeCodes && lakeCodes[r][c] >= 0.0 && ponding[r][c] >= fullLake;
}

bool unsatzonmodellklasse::macroporesOpen(long r, long c) const {
  return lakeFlowControl == 0 || (lakeFlowControl == 1 && !isFullLake(r, c));
}

bool unsatzonmodellklasse::riverOf(long r, long c, RiverOffer& offer) {
  if (!rivers.depth) return false;
  const int record = isLinkedRiverCell(r, c) ? linkRecord(rivers.links[r][c]) : 0;
  if (lakeFlowControl > 1 || (lakeFlowControl == 1 && isFullLake(r, c))) return false;
  const double nodata = header.nodata;
  auto value = [&](Grid grid) { return grid[r][c] != nodata ? grid[r][c] : 0.0; };
  offer = RiverOffer{};
  RiverCell& river = offer.cell;
  river.depth = value(rivers.depth);
  river.width = value(rivers.width);
  if (!(river.depth > 0.0) || !(river.width > 0.0)) return false;
  river.leakage = value(rivers.leakage);
  river.cellSize = header.cellsize;
  offer.share = 1.0 - glacierShare(r, c);
  if (record > 0) {
    const ReinfiltrationRecord& offered = reinfiltration[static_cast<size_t>(record)];
    river.linked = true;
    river.discharge = offered.flowm3s;
    river.speed = offered.speed;
    offer.available = riverShareOf(r, c);
    offer.record = record;
  }
  return true;
}

void unsatzonmodellklasse::chargeRecord(const RiverOffer& offer, double taken) {
  if (offer.record == 0 || !(taken > 0.0)) return;
#pragma omp critical(unsatzonReinfiltration)
  reinfiltration[static_cast<size_t>(offer.record)].withdrawal += taken;
}

// The cells that draw from a record take in row and column order, one
// thread for each record, so that neither the takes nor the cells' water
// depend on the number of threads.
void unsatzonmodellklasse::solveLinkedRiverCells(const ModelDate& date) {
  if (!rivers.links) return;
  if (!linkedCellsListed) listLinkedCells();
  RegionFailure failure;
  const long records = static_cast<long>(linkedCells.size());
#pragma omp parallel
  {
    ColumnSolver& solver = *solvers[static_cast<size_t>(omp_get_thread_num())];
#pragma omp for schedule(dynamic)
    for (long k = 0; k < records; ++k)
      for (const auto& [r, c] : linkedCells[static_cast<size_t>(k)]) {
        if (failure.failed()) break;
        solveOwnCell(r, c, solver, date, failure);
      }
  }
  failure.rethrow();
}

// Every link names a subbasin: the set-up refused the others.
void unsatzonmodellklasse::listLinkedCells() {
  linkedCellsListed = true;
  linkedCells.assign(static_cast<size_t>(zones.zoneCount) + 1, {});
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c) && isLinkedRiverCell(r, c))
        if (const int record = linkRecord(rivers.links[r][c]); record > 0)
          linkedCells[static_cast<size_t>(record)].emplace_back(r, c);
}

ReinfiltrationRecord* unsatzonmodellklasse::getReinfiltrationRecords() {
  return getFlowControl() == 0 || routingOnly ? nullptr : reinfiltration.data();
}

void unsatzonmodellklasse::broadcastReinfiltrationRecords() { reinfiltration.broadcast(*diag); }

void unsatzonmodellklasse::reduceReinfiltrationRecords() { reinfiltration.reduce(*diag); }

void unsatzonmodellklasse::accumulateReinfiltrationRecords() {
  reinfiltration.accumulate(substeps);
}
