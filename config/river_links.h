#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class DiagStream;

// A river link is the set of valid cells that carry the same positive id in
// the grid "river_links". The load balancing keeps a link whole: one process,
// the link owner, is charged with all of its cells, while each cell stays in
// the strip of the process that "MPIRegions" names for it (the cell owner).

struct RiverLinkCell {
  std::int32_t row = 0;
  std::int32_t column = 0;
  std::int32_t linkId = 0;
  std::int32_t cellOwner = 0;
  std::int32_t linkOwner = 0;
  double elevation = 0.0;
  std::int32_t indexInLink = 0; // position in the link, highest cell first
};

class RiverLink {
public:
  RiverLink();
  virtual ~RiverLink() = default;

  // Takes over a new cell list; the count stays as it is.
  virtual void setCells(std::unique_ptr<std::vector<RiverLinkCell>> list);
  virtual std::vector<RiverLinkCell>& getCells();
  // The list must not be empty.
  virtual RiverLinkCell& lastCell();
  virtual void addCell(const RiverLinkCell& cell);

  std::int32_t id = 0;
  std::int32_t owner = 0;
  std::int32_t count = 0;

private:
  std::unique_ptr<std::vector<RiverLinkCell>> cells;
};

// Links sorted by their number of cells, largest first; equal counts keep
// ascending id order. The order is the same on every process.
using RiverLinkList = std::vector<std::unique_ptr<RiverLink>>;
// Per process q, a list of link cells.
using LinkCellTable = std::vector<std::vector<RiverLinkCell>>;

// Broadcast record of one cell: row, column, link id, cell owner, link owner
// and index in link as 32-bit integers, then the elevation, in native byte
// order.
constexpr int riverLinkRecordBytes = 32;
void packRiverLinkCell(const RiverLinkCell& cell, char* record);
RiverLinkCell unpackRiverLinkCell(const char* record);

// The cells this process (rank) holds for the links of each link owner;
// entries run from 0 to the largest owner met.
LinkCellTable makeLocalLinkCellsByOwner(const RiverLinkList& links, int rank);
// The cells of the links owned by rank, per cell owner 0 .. size - 1.
LinkCellTable makeOwnedLinkCellsByProcess(const RiverLinkList& links, int rank, int size);

// Collective: rank 0 sends its links in list order and the other processes
// rebuild them, so that every process holds the same list.
void broadcastRiverLinks(RiverLinkList& links, DiagStream& diag, int rank);
