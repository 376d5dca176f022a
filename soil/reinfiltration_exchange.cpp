#include "soil/reinfiltration_exchange.h"

#include <algorithm>
#include <new>

#include "core/collective_status.h"
#include "core/diag_stream.h"

namespace {

constexpr int memoryCode = 1;
constexpr int exchangeTag = 0;

[[noreturn]] void refuseStackMemory(DiagStream& diag, int which) {
  diag << "FATAL: memory allocation error (" << which << ") in allocateStackElementsInRow0()"
       << "[end-entry]";
  throw memoryCode;
}

} // namespace

ReinfiltrationExchange::~ReinfiltrationExchange() { restoreGhostRows(); }

void ReinfiltrationExchange::setLists(const RiverLinkList& linkList, const LinkCellTable& sends,
                                      const LinkCellTable& receives, int ownRank, int processes) {
  links = &linkList;
  sendLists = &sends;
  receiveLists = &receives;
  rank = ownRank;
  size = processes;
}

const std::vector<RiverLinkCell>& ReinfiltrationExchange::listOf(const LinkCellTable* table,
                                                                 int r) const {
  return table && static_cast<size_t>(r) < table->size() ? (*table)[static_cast<size_t>(r)]
                                                         : noCells;
}

long ReinfiltrationExchange::foreignCellCount() const {
  long n = 0;
  for (int r = 0; r < size; ++r) n += static_cast<long>(listOf(receiveLists, r).size());
  return n;
}

long ReinfiltrationExchange::packCellList(const std::vector<RiverLinkCell>& list, double* buffer,
                                          long offset) const {
  for (const RiverLinkCell& cell : list)
    offset = record->pack(cell.row, cell.column, buffer, offset);
  return offset;
}

template <typename F> void ReinfiltrationExchange::forEachForeignCell(F&& f) const {
  if (!links) return;
  long k = 0;
  for (const std::unique_ptr<RiverLink>& link : *links) {
    if (link->owner != rank) continue;
    for (const RiverLinkCell& cell : link->getCells()) f(k++, cell);
  }
}

bool ReinfiltrationExchange::allocateGridElementsInRow0(DiagStream& diag, Grid grid, long n) {
  if (!grid) return false;
  try {
    gridStores.emplace_back(grid, std::vector<double>(static_cast<size_t>(n), 0.0));
  } catch (const std::bad_alloc&) {
    diag << "FATAL: memory allocation error in allocateGridElementsInRow0()"
         << "[end-entry]";
    throw memoryCode;
  }
  return true;
}

bool ReinfiltrationExchange::allocateStackElementsInRow0(DiagStream& diag, Stack stack, long n,
                                                         long values) {
  if (!stack) return false;
  StackStore store;
  store.stack = stack;
  try {
    store.cells.assign(static_cast<size_t>(n), nullptr);
  } catch (const std::bad_alloc&) {
    refuseStackMemory(diag, 2);
  }
  try {
    store.values.assign(static_cast<size_t>(n * values), 0.0);
  } catch (const std::bad_alloc&) {
    refuseStackMemory(diag, 3);
  }
  for (long k = 0; k < n; ++k) store.cells[static_cast<size_t>(k)] = &store.values[k * values];
  stackStores.push_back(std::move(store));
  return true;
}

void ReinfiltrationExchange::prepare(DiagStream& diag, const CellRecord& cellRecord, long halo,
                                     RowColumnRange* rowRanges) {
  record = &cellRecord;
  haloRow = halo;
  ranges = rowRanges;
  const long n = foreignCellCount();
  if (n > 0)
    for (const CellRecord::Array& a : cellRecord.arrays()) {
      if (a.grid) allocateGridElementsInRow0(diag, a.grid, n);
      if (a.stack) allocateStackElementsInRow0(diag, a.stack, n, a.values);
    }
  const long length = cellRecord.length();
  sendBuffers.assign(static_cast<size_t>(size), {});
  receiveBuffers.assign(static_cast<size_t>(size), {});
  fillOffsets.assign(static_cast<size_t>(size), 0);
  try {
    for (int r = 0; r < size; ++r) {
      sendBuffers[static_cast<size_t>(r)].assign(listOf(sendLists, r).size() * length, 0.0);
      receiveBuffers[static_cast<size_t>(r)].assign(listOf(receiveLists, r).size() * length, 0.0);
    }
  } catch (const std::bad_alloc&) {
    diag << "FATAL: memory allocation error for the buffers of the re-infiltration cells in "
            "prepareMPIReinfiltration(); give the model more memory or fewer processes per node"
         << "[end-entry]";
    throw memoryCode;
  }
  if (n > 0) {
    savedGridRows.assign(gridStores.size(), nullptr);
    savedStackRows.assign(stackStores.size(), nullptr);
  }
  homes.assign(static_cast<size_t>(n), {0, 0});
  forEachForeignCell([&](long k, const RiverLinkCell& cell) {
    if (k < n) homes[static_cast<size_t>(k)] = {cell.row, cell.column};
  });
  isPrepared = true;
}

void ReinfiltrationExchange::exchange(DiagStream& diag, std::vector<std::vector<double>>& out,
                                      std::vector<std::vector<double>>& in) {
  std::vector<MPI_Request> requests;
  requests.reserve(2 * static_cast<size_t>(size));
  const size_t own = static_cast<size_t>(rank);
  // The link cells of the own strip move by copy, also on one process.
  std::copy(out[own].begin(), out[own].end(), in[own].begin());
  for (int r = 0; r < size; ++r) {
    std::vector<double>& buffer = out[static_cast<size_t>(r)];
    if (r == rank || buffer.empty()) continue;
    requests.emplace_back();
    checkMPI(diag,
             MPI_Isend(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, r, exchangeTag,
                       MPI_COMM_WORLD, &requests.back()),
             "MPI_Isend of the re-infiltration cells");
  }
  for (int r = 0; r < size; ++r) {
    std::vector<double>& buffer = in[static_cast<size_t>(r)];
    if (r == rank || buffer.empty()) continue;
    requests.emplace_back();
    checkMPI(diag,
             MPI_Irecv(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, r, exchangeTag,
                       MPI_COMM_WORLD, &requests.back()),
             "MPI_Irecv of the re-infiltration cells");
  }
  requestCount = requests.size();
  if (!requests.empty())
    checkMPI(diag,
             MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE),
             "MPI_Waitall of the re-infiltration cells");
}

void ReinfiltrationExchange::send(DiagStream& diag) {
  if (!isPrepared) return;
  for (int r = 0; r < size; ++r)
    packCellList(listOf(sendLists, r), sendBuffers[static_cast<size_t>(r)].data(), 0);
  exchange(diag, sendBuffers, receiveBuffers);
  saveGhostRows();
  if (!isSubstituted) return;
  std::fill(fillOffsets.begin(), fillOffsets.end(), 0);
  forEachForeignCell([&](long k, const RiverLinkCell& cell) {
    const int owner = cell.cellOwner;
    long& offset = fillOffsets[static_cast<size_t>(owner)];
    offset = record->unpack(haloRow, k, receiveBuffers[static_cast<size_t>(owner)].data(), offset);
  });
}

void ReinfiltrationExchange::giveBack(DiagStream& diag) {
  if (!isPrepared) return;
  if (isSubstituted) {
    std::fill(fillOffsets.begin(), fillOffsets.end(), 0);
    forEachForeignCell([&](long k, const RiverLinkCell& cell) {
      const int owner = cell.cellOwner;
      long& offset = fillOffsets[static_cast<size_t>(owner)];
      offset = record->pack(haloRow, k, receiveBuffers[static_cast<size_t>(owner)].data(), offset);
    });
    restoreGhostRows();
  }
  exchange(diag, receiveBuffers, sendBuffers);
  for (int r = 0; r < size; ++r) {
    long offset = 0;
    for (const RiverLinkCell& cell : listOf(sendLists, r))
      offset =
          record->unpack(cell.row, cell.column, sendBuffers[static_cast<size_t>(r)].data(), offset);
  }
}

void ReinfiltrationExchange::fillBuffers(double sent, double received) {
  for (std::vector<double>& b : sendBuffers) std::fill(b.begin(), b.end(), sent);
  for (std::vector<double>& b : receiveBuffers) std::fill(b.begin(), b.end(), received);
}

void ReinfiltrationExchange::saveGhostRows() {
  if (savedGridRows.empty() && savedStackRows.empty()) return;
  if (isSubstituted) return;
  for (size_t i = 0; i < gridStores.size(); ++i) {
    Grid grid = gridStores[i].first;
    savedGridRows[i] = grid[haloRow];
    grid[haloRow] = gridStores[i].second.data();
  }
  for (size_t i = 0; i < stackStores.size(); ++i) {
    Stack stack = stackStores[i].stack;
    savedStackRows[i] = stack[haloRow];
    stack[haloRow] = stackStores[i].cells.data();
  }
  savedRange = ranges[haloRow];
  ranges[haloRow] = RowColumnRange{0, foreignCellCount() - 1};
  isSubstituted = true;
}

// In reverse order of the substitution.
void ReinfiltrationExchange::restoreGhostRows() {
  if (!isSubstituted) return;
  ranges[haloRow] = savedRange;
  for (size_t i = stackStores.size(); i-- > 0;) stackStores[i].stack[haloRow] = savedStackRows[i];
  for (size_t i = gridStores.size(); i-- > 0;) gridStores[i].first[haloRow] = savedGridRows[i];
  isSubstituted = false;
}

void ReinfiltrationExchange::release() {
  restoreGhostRows();
  gridStores.clear();
  stackStores.clear();
  savedGridRows.clear();
  savedStackRows.clear();
  sendBuffers.clear();
  receiveBuffers.clear();
  fillOffsets.clear();
  homes.clear();
  record = nullptr;
  isPrepared = false;
}
