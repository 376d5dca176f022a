#include "config/river_links.h"

#include <mpi.h>

#include <cstring>

#include "config/collective_failure.h"
#include "core/diag_stream.h"

RiverLink::RiverLink() : cells(std::make_unique<std::vector<RiverLinkCell>>()) {}

void RiverLink::setCells(std::unique_ptr<std::vector<RiverLinkCell>> list) {
  cells = std::move(list);
}

std::vector<RiverLinkCell>& RiverLink::getCells() { return *cells; }

RiverLinkCell& RiverLink::lastCell() { return cells->back(); }

void RiverLink::addCell(const RiverLinkCell& cell) {
  cells->push_back(cell);
  ++count;
}

namespace {

template <typename T> void put(char* record, int offset, T value) {
  std::memcpy(record + offset, &value, sizeof value);
}

template <typename T> T take(const char* record, int offset) {
  T value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

} // namespace

void packRiverLinkCell(const RiverLinkCell& cell, char* record) {
  put(record, 0, cell.row);
  put(record, 4, cell.column);
  put(record, 8, cell.linkId);
  put(record, 12, cell.cellOwner);
  put(record, 16, cell.linkOwner);
  put(record, 20, cell.indexInLink);
  put(record, 24, cell.elevation);
}

RiverLinkCell unpackRiverLinkCell(const char* record) {
  RiverLinkCell cell;
  cell.row = take<std::int32_t>(record, 0);
  cell.column = take<std::int32_t>(record, 4);
  cell.linkId = take<std::int32_t>(record, 8);
  cell.cellOwner = take<std::int32_t>(record, 12);
  cell.linkOwner = take<std::int32_t>(record, 16);
  cell.indexInLink = take<std::int32_t>(record, 20);
  cell.elevation = take<double>(record, 24);
  return cell;
}

LinkCellTable makeLocalLinkCellsByOwner(const RiverLinkList& links, int rank) {
  LinkCellTable table;
  for (const auto& link : links) {
    for (const RiverLinkCell& cell : link->getCells()) {
      if (cell.cellOwner != rank) continue;
      while (static_cast<long>(table.size()) <= link->owner) table.emplace_back();
      table[static_cast<size_t>(link->owner)].push_back(cell);
    }
  }
  return table;
}

LinkCellTable makeOwnedLinkCellsByProcess(const RiverLinkList& links, int rank, int size) {
  LinkCellTable table(static_cast<size_t>(size));
  for (const auto& link : links)
    for (const RiverLinkCell& cell : link->getCells())
      if (cell.linkOwner == rank) table[static_cast<size_t>(cell.cellOwner)].push_back(cell);
  return table;
}

void broadcastRiverLinks(RiverLinkList& links, DiagStream& diag, int rank) {
  int numLinks = static_cast<int>(links.size());
  checkMPI(diag, MPI_Bcast(&numLinks, 1, MPI_INT, 0, MPI_COMM_WORLD), "MPI_Bcast of numLinks");
  diag << "After broadcasting numLinks: " << numLinks << " for instance: " << rank << "[end-entry]";
  if (rank != 0) links.clear();
  std::vector<char> buffer;
  for (int k = 0; k < numLinks; ++k) {
    int count = rank == 0 ? static_cast<int>(links[static_cast<size_t>(k)]->getCells().size()) : 0;
    checkMPI(diag, MPI_Bcast(&count, 1, MPI_INT, 0, MPI_COMM_WORLD),
             "MPI_Bcast of a river link's cell count");
    buffer.resize(static_cast<size_t>(count) * riverLinkRecordBytes);
    if (rank == 0) {
      const std::vector<RiverLinkCell>& cells = links[static_cast<size_t>(k)]->getCells();
      for (int i = 0; i < count; ++i)
        packRiverLinkCell(cells[static_cast<size_t>(i)],
                          &buffer[static_cast<size_t>(i) * riverLinkRecordBytes]);
    }
    checkMPI(diag,
             MPI_Bcast(buffer.data(), count * riverLinkRecordBytes, MPI_CHAR, 0, MPI_COMM_WORLD),
             "MPI_Bcast of river link cells");
    if (rank == 0) continue;
    auto link = std::make_unique<RiverLink>();
    for (int i = 0; i < count; ++i)
      link->getCells().push_back(
          unpackRiverLinkCell(&buffer[static_cast<size_t>(i) * riverLinkRecordBytes]));
    link->count = count;
    if (count > 0) {
      link->id = link->getCells().front().linkId;
      link->owner = link->getCells().front().linkOwner;
    }
    links.push_back(std::move(link));
  }
  checkMPI(diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier after the river links");
}
