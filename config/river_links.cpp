#include "config/river_links.h"

#include <mpi.h>

#include <cstring>

#include "core/collective_status.h"
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

// The counts of all links and then all their records travel in one broadcast
// each, so that the number of collective calls does not grow with the number
// of links.
void broadcastRiverLinks(RiverLinkList& links, DiagStream& diag, int rank) {
  int numLinks = static_cast<int>(links.size());
  checkMPI(diag, MPI_Bcast(&numLinks, 1, MPI_INT, 0, MPI_COMM_WORLD), "MPI_Bcast of numLinks");
  diag << "After broadcasting numLinks: " << numLinks << " for instance: " << rank << "[end-entry]";
  const size_t linkCount = static_cast<size_t>(numLinks);
  std::vector<int> counts(linkCount, 0);
  if (rank == 0)
    for (size_t k = 0; k < linkCount; ++k)
      counts[k] = static_cast<int>(links[k]->getCells().size());
  checkMPI(diag, MPI_Bcast(counts.data(), numLinks, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the river links' cell counts");
  size_t cellCount = 0;
  for (int count : counts) cellCount += static_cast<size_t>(count);

  std::vector<char> records(cellCount * riverLinkRecordBytes);
  if (rank == 0) {
    char* record = records.data();
    for (const auto& link : links)
      for (const RiverLinkCell& cell : link->getCells()) {
        packRiverLinkCell(cell, record);
        record += riverLinkRecordBytes;
      }
  }
  MPI_Datatype recordType = MPI_DATATYPE_NULL;
  checkMPI(diag, MPI_Type_contiguous(riverLinkRecordBytes, MPI_CHAR, &recordType),
           "MPI_Type_contiguous");
  checkMPI(diag, MPI_Type_commit(&recordType), "MPI_Type_commit");
  checkMPI(diag,
           MPI_Bcast(records.data(), static_cast<int>(cellCount), recordType, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the river link cells");
  MPI_Type_free(&recordType);

  if (rank != 0) {
    links.clear();
    const char* record = records.data();
    for (int count : counts) {
      auto link = std::make_unique<RiverLink>();
      for (int i = 0; i < count; ++i, record += riverLinkRecordBytes)
        link->getCells().push_back(unpackRiverLinkCell(record));
      link->count = count;
      if (count > 0) {
        link->id = link->getCells().front().linkId;
        link->owner = link->getCells().front().linkOwner;
      }
      links.push_back(std::move(link));
    }
  }
  checkMPI(diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier after the river links");
}
