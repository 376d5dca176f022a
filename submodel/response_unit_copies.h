#pragma once

#include <vector>

#include "core/grid_types.h"
#include "submodel/model_context.h"
#include "submodel/own_cells.h"

class DiagStream;

// The own cells of the spin-up response units that take the state of their
// unit's master cell. A unit has one master cell for the whole grid, so a
// unit that reaches over several strips takes it from another process.
class ResponseUnitCopies {
public:
  // A stack and the levels of a cell that are copied.
  struct StackLevels {
    Stack stack;
    int levels;
  };

  // Collective. cells are the process's own cells (without a master
  // filter); units is "HydrologicResponseUnits"; masters[u] is the master
  // cell of unit u. A cell that names a unit outside the list ends the run
  // on every process with unknownUnitCode. With masterGrid
  // ("MasterHydrologicResponseUnits"), a cell that holds a value there
  // computes on its own and copies nothing. With moves, the copies are
  // built anew at the first copy after *moves changed: the masters moved.
  void build(const OwnCells& cells, Grid units, const std::vector<HRUMasterCell>& masters,
             DiagStream& diag, int unknownUnitCode, Grid masterGrid = nullptr,
             const unsigned* moves = nullptr);
  bool isBuilt() const { return built; }

  // Collective: the grids and the levels of the stacks at every copy take
  // the values of their master cell. Every process passes the same lists.
  void copy(const std::vector<Grid>& grids, const std::vector<StackLevels>& stacks);

private:
  struct LocalCopy {
    long row, column, masterRow, masterColumn;
  };
  struct RemoteCopy {
    long row, column;
    long slot; // the master's place among the received ones
  };
  struct Cell {
    long row, column;
  };

  bool built = false;
  OwnCells builtCells;
  Grid builtUnits = nullptr, builtMasterGrid = nullptr;
  const std::vector<HRUMasterCell>* builtMasters = nullptr;
  int builtCode = 0;
  const unsigned* moves = nullptr;
  unsigned builtMoves = 0;
  bool exchanging = false; // some process copies from another
  DiagStream* diag = nullptr;
  std::vector<LocalCopy> local;
  std::vector<RemoteCopy> remote;
  std::vector<Cell> sentMasters;   // peer by peer, as the peer asked for them
  std::vector<int> sentCounts;     // masters per peer
  std::vector<int> receivedCounts; // masters per peer
  std::vector<double> sendBuffer;
  std::vector<double> receiveBuffer;
  std::vector<int> sendValues, sendOffsets, receiveValues, receiveOffsets;
};
