#include "submodel/response_unit_copies.h"

#include <mpi.h>

#include <algorithm>
#include <map>

#include "core/collective_status.h"
#include "core/diag_stream.h"

void ResponseUnitCopies::build(const OwnCells& cells, Grid units,
                               const std::vector<HRUMasterCell>& masters, DiagStream& diagStream,
                               int unknownUnitCode, Grid masterGrid, const unsigned* movesArg) {
  diag = &diagStream;
  built = true;
  builtCells = cells;
  builtUnits = units;
  builtMasters = &masters;
  builtCode = unknownUnitCode;
  builtMasterGrid = masterGrid;
  moves = movesArg;
  builtMoves = moves ? *moves : 0;
  local.clear();
  remote.clear();
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  const auto peers = static_cast<std::size_t>(size);

  // The process that owns each unit's master cell.
  std::vector<int> owner(masters.size(), -1);
  for (std::size_t u = 0; u < masters.size(); ++u) {
    const HRUMasterCell& m = masters[u];
    if (m.row >= cells.firstRow && m.row <= cells.lastRow && cells.owns(m.row, m.column))
      owner[u] = static_cast<int>(cells.rank);
  }
  checkMPI(*diag,
           MPI_Allreduce(MPI_IN_PLACE, owner.data(), static_cast<int>(owner.size()), MPI_INT,
                         MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the owners of the response units' master cells");

  // Own cells of a unit but its master: copied here, or from another
  // process, which sends each master once.
  std::vector<std::map<long, long>> asked(peers); // per peer: unit -> its place
  std::vector<Cell> remoteCells;
  std::vector<long> remoteUnits;
  long badRow = 0, badColumn = 0;
  double badUnit = 0.0;
  cells.forEachInOrder([&](long r, long c) {
    const double unit = units[r][c];
    if (unit == cells.nodata || badRow != 0) return;
    if (!(unit >= 0.0) || unit >= static_cast<double>(masters.size()) ||
        owner[static_cast<std::size_t>(unit)] < 0) {
      badRow = r;
      badColumn = c;
      badUnit = unit;
      return;
    }
    const auto u = static_cast<std::size_t>(unit);
    const HRUMasterCell& m = masters[u];
    if (m.row == r && m.column == c) return;
    if (masterGrid && masterGrid[r][c] != cells.nodata) return;
    if (owner[u] == static_cast<int>(cells.rank)) {
      local.push_back({r, c, m.row, m.column});
      return;
    }
    std::map<long, long>& fromPeer = asked[static_cast<std::size_t>(owner[u])];
    fromPeer.emplace(static_cast<long>(u), static_cast<long>(fromPeer.size()));
    remoteCells.push_back({r, c});
    remoteUnits.push_back(static_cast<long>(u));
  });
  int code = 0;
  if (badRow != 0) {
    *diag << "FATAL: the cell in row " << badRow << ", column " << badColumn
          << " of \"HydrologicResponseUnits\" names the unit " << badUnit
          << ", which has no master cell; check the grid against [SpinUp]"
          << "[end-entry]";
    code = unknownUnitCode;
  }
  shareExitCode(*diag, code);

  // The units asked of each peer, in the order of their places.
  receivedCounts.assign(peers, 0);
  std::vector<long> firstPlace(peers + 1, 0);
  for (std::size_t p = 0; p < peers; ++p) {
    receivedCounts[p] = static_cast<int>(asked[p].size());
    firstPlace[p + 1] = firstPlace[p] + receivedCounts[p];
  }
  std::vector<long> askedUnits(static_cast<std::size_t>(firstPlace[peers]));
  for (std::size_t p = 0; p < peers; ++p)
    for (const auto& [unit, place] : asked[p])
      askedUnits[static_cast<std::size_t>(firstPlace[p] + place)] = unit;
  for (std::size_t i = 0; i < remoteCells.size(); ++i) {
    const auto p = static_cast<std::size_t>(owner[static_cast<std::size_t>(remoteUnits[i])]);
    remote.push_back(
        {remoteCells[i].row, remoteCells[i].column, firstPlace[p] + asked[p].at(remoteUnits[i])});
  }

  int any = remote.empty() ? 0 : 1;
  checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the response units copied between processes");
  exchanging = any != 0;
  sentMasters.clear();
  sentCounts.assign(peers, 0);
  if (!exchanging) return;
  checkMPI(*diag,
           MPI_Alltoall(receivedCounts.data(), 1, MPI_INT, sentCounts.data(), 1, MPI_INT,
                        MPI_COMM_WORLD),
           "MPI_Alltoall of the counts of the response units' master cells");
  std::vector<int> sentOffsets(peers, 0), askedOffsets(peers, 0);
  for (std::size_t p = 1; p < peers; ++p) {
    sentOffsets[p] = sentOffsets[p - 1] + sentCounts[p - 1];
    askedOffsets[p] = askedOffsets[p - 1] + receivedCounts[p - 1];
  }
  std::vector<long> sentUnits(static_cast<std::size_t>(sentOffsets.back() + sentCounts.back()));
  checkMPI(*diag,
           MPI_Alltoallv(askedUnits.data(), receivedCounts.data(), askedOffsets.data(), MPI_LONG,
                         sentUnits.data(), sentCounts.data(), sentOffsets.data(), MPI_LONG,
                         MPI_COMM_WORLD),
           "MPI_Alltoallv of the response units' master cells");
  for (long u : sentUnits) {
    const HRUMasterCell& m = masters[static_cast<std::size_t>(u)];
    sentMasters.push_back({m.row, m.column});
  }
}

void ResponseUnitCopies::copy(const std::vector<Grid>& grids,
                              const std::vector<StackLevels>& stacks) {
  if (moves && *moves != builtMoves)
    build(builtCells, builtUnits, *builtMasters, *diag, builtCode, builtMasterGrid, moves);
  const long localCount = static_cast<long>(local.size());
#pragma omp parallel for schedule(runtime)
  for (long i = 0; i < localCount; ++i) {
    const LocalCopy& u = local[static_cast<std::size_t>(i)];
    for (Grid g : grids) g[u.row][u.column] = g[u.masterRow][u.masterColumn];
    for (const StackLevels& s : stacks)
      std::copy_n(s.stack[u.masterRow][u.masterColumn], s.levels, s.stack[u.row][u.column]);
  }
  if (!exchanging) return;

  long values = static_cast<long>(grids.size());
  for (const StackLevels& s : stacks) values += s.levels;
  const std::size_t peers = sentCounts.size();
  sendValues.assign(peers, 0);
  sendOffsets.assign(peers, 0);
  receiveValues.assign(peers, 0);
  receiveOffsets.assign(peers, 0);
  for (std::size_t p = 0; p < peers; ++p) {
    sendValues[p] = static_cast<int>(sentCounts[p] * values);
    receiveValues[p] = static_cast<int>(receivedCounts[p] * values);
    if (p > 0) {
      sendOffsets[p] = sendOffsets[p - 1] + sendValues[p - 1];
      receiveOffsets[p] = receiveOffsets[p - 1] + receiveValues[p - 1];
    }
  }
  sendBuffer.resize(sentMasters.size() * static_cast<std::size_t>(values));
  receiveBuffer.resize(static_cast<std::size_t>(receiveOffsets.back() + receiveValues.back()));

  const long sentCount = static_cast<long>(sentMasters.size());
#pragma omp parallel for schedule(runtime)
  for (long i = 0; i < sentCount; ++i) {
    const Cell& m = sentMasters[static_cast<std::size_t>(i)];
    double* out = sendBuffer.data() + i * values;
    for (Grid g : grids) *out++ = g[m.row][m.column];
    for (const StackLevels& s : stacks) out = std::copy_n(s.stack[m.row][m.column], s.levels, out);
  }
  checkMPI(*diag,
           MPI_Alltoallv(sendBuffer.data(), sendValues.data(), sendOffsets.data(), MPI_DOUBLE,
                         receiveBuffer.data(), receiveValues.data(), receiveOffsets.data(),
                         MPI_DOUBLE, MPI_COMM_WORLD),
           "MPI_Alltoallv of the states of the response units' master cells");

  const long remoteCount = static_cast<long>(remote.size());
#pragma omp parallel for schedule(runtime)
  for (long i = 0; i < remoteCount; ++i) {
    const RemoteCopy& u = remote[static_cast<std::size_t>(i)];
    const double* in = receiveBuffer.data() + u.slot * values;
    for (Grid g : grids) g[u.row][u.column] = *in++;
    for (const StackLevels& s : stacks) {
      std::copy_n(in, s.levels, s.stack[u.row][u.column]);
      in += s.levels;
    }
  }
}
