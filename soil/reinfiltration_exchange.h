#pragma once

#include <mpi.h>

#include <utility>
#include <vector>

#include "config/river_links.h"
#include "core/grid_types.h"
#include "soil/cell_record.h"

class DiagStream;

// The river-link cells this process solves for other strips (foreign
// cells) and the cells of its own strip that are solved elsewhere. Every
// link is solved by its link owner in link order, so the foreign cells
// travel there with their whole state before the solver and come back
// after it. The foreign cells live in stores owned here; only between
// `send` and `giveBack` do they stand in for the halo row above the strip
// (column k the k-th foreign cell), where the solver meets them. Every row
// pointer and column range is given back afterwards, so no other module
// ever sees or frees these stores.
class ReinfiltrationExchange {
public:
  ReinfiltrationExchange() = default;
  ~ReinfiltrationExchange();
  ReinfiltrationExchange(const ReinfiltrationExchange&) = delete;
  ReinfiltrationExchange& operator=(const ReinfiltrationExchange&) = delete;

  // The lists come from the decomposition: per rank the cells this process
  // sends there and the cells it receives from there. A rank beyond the end
  // of a table has an empty list.
  void setLists(const RiverLinkList& links, const LinkCellTable& sendLists,
                const LinkCellTable& receiveLists, int rank, int size);
  // Cells of all receive lists: the foreign cells, own ones included.
  long foreignCellCount() const;
  bool prepared() const { return isPrepared; }

  // A store of n cells for the array; false when it is absent. Code 1 when
  // the memory is refused.
  bool allocateGridElementsInRow0(DiagStream& diag, Grid grid, long n);
  bool allocateStackElementsInRow0(DiagStream& diag, Stack stack, long n, long values);
  // The stores of every array of the record (with foreign cells), the
  // buffers of both directions. The record must be the same on every
  // process.
  void prepare(DiagStream& diag, const CellRecord& record, long haloRow, RowColumnRange* ranges);

  // Forward: own cells to their link owners, foreign cells into the stores,
  // which then stand in for the halo row. Collective among the peers.
  void send(DiagStream& diag);
  // Return: the foreign cells back to their owners, the halo rows restored.
  void giveBack(DiagStream& diag);
  // Overwrites both directions' buffers, so that a trial exchange shows
  // what the round trip carried.
  void fillBuffers(double sent, double received);

  void saveGhostRows();
  // Puts every halo row back; nothing when none stands substituted.
  void restoreGhostRows();
  bool substituted() const { return isSubstituted; }
  // The home row and column of the cell the solver meets at (row, column):
  // a foreign cell's while it stands in the halo row, else the same.
  void homeOf(long& row, long& column) const {
    if (!isSubstituted || row != haloRow || column < 0 ||
        column >= static_cast<long>(homes.size()))
      return;
    const std::pair<long, long>& home = homes[static_cast<size_t>(column)];
    row = home.first;
    column = home.second;
  }
  // Gives the halo rows back and frees every store and buffer.
  void release();

  std::vector<MPI_Request>::size_type lastRequestCount() const { return requestCount; }

private:
  // Packs every cell of the list at its own row and column.
  long packCellList(const std::vector<RiverLinkCell>& list, double* buffer, long offset) const;
  const std::vector<RiverLinkCell>& listOf(const LinkCellTable* table, int r) const;
  // Calls f(k, cell) for every foreign cell in link order.
  template <typename F> void forEachForeignCell(F&& f) const;
  // Posts a send of `out[r]` and a receive into `in[r]` for every peer,
  // copies the own rank's part and waits.
  void exchange(DiagStream& diag, std::vector<std::vector<double>>& out,
                std::vector<std::vector<double>>& in);

  struct StackStore {
    Stack stack = nullptr;
    std::vector<double*> cells;
    std::vector<double> values;
  };
  const CellRecord* record = nullptr;
  const RiverLinkList* links = nullptr;
  const LinkCellTable* sendLists = nullptr;
  const LinkCellTable* receiveLists = nullptr;
  int rank = 0;
  int size = 1;
  long haloRow = 0;
  RowColumnRange* ranges = nullptr;
  bool isPrepared = false;
  bool isSubstituted = false;
  std::vector<std::pair<Grid, std::vector<double>>> gridStores;
  std::vector<StackStore> stackStores;
  std::vector<double*> savedGridRows;
  std::vector<double**> savedStackRows;
  RowColumnRange savedRange;
  std::vector<std::vector<double>> sendBuffers;    // per rank
  std::vector<std::vector<double>> receiveBuffers; // per rank
  std::vector<long> fillOffsets;                   // per rank
  std::vector<std::pair<long, long>> homes;        // per foreign cell: row, column
  std::vector<MPI_Request>::size_type requestCount = 0;
  const std::vector<RiverLinkCell> noCells;
};
