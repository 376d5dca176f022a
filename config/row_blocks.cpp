#include "config/row_blocks.h"

#include <mpi.h>

#include <algorithm>
#include <climits>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/mpi_reduction_handles.h"

namespace {

constexpr int inputTag = 4101;
constexpr int outputTag = 4102;

bool isEmpty(RowSpan span) { return span.last < span.first; }

long rowsIn(RowSpan span) { return isEmpty(span) ? 0 : span.last - span.first + 1; }

} // namespace

RowBlockPass::RowBlockPass(DiagStream& diagStream, long rows, long columns, double nodataValue,
                           RowSpan block)
    : diag(diagStream), nrows(rows), ncols(columns), nodata(nodataValue), own(block) {
  worldRankAndSize(rank, size);
  if (size == 1) return;
  const long mine[2] = {own.first, own.last};
  std::vector<long> all(rank == 0 ? 2 * static_cast<size_t>(size) : 0);
  checkMPI(diag, MPI_Gather(mine, 2, MPI_LONG, all.data(), 2, MPI_LONG, 0, MPI_COMM_WORLD),
           "MPI_Gather of the row blocks");
  for (size_t p = 0; 2 * p < all.size(); ++p) blocks.push_back(RowSpan{all[2 * p], all[2 * p + 1]});
}

std::vector<RowSpan> RowBlockPass::spansOf(const std::vector<Grid>& grids,
                                           const std::vector<long>& margins, RowSpan block) const {
  std::vector<RowSpan> spans(grids.size());
  for (size_t i = 0; i < grids.size(); ++i) {
    if (!grids[i] || isEmpty(block)) continue;
    const long margin = i < margins.size() ? margins[i] : 0;
    spans[i] = RowSpan{std::max(1L, block.first - margin), std::min(nrows, block.last + margin)};
  }
  return spans;
}

long RowBlockPass::valuesIn(const std::vector<RowSpan>& spans) const {
  long values = 0;
  for (const RowSpan& span : spans) values += rowsIn(span) * (ncols + 1);
  return values;
}

int RowBlockPass::messageLength(long values) const {
  if (values <= INT_MAX) return static_cast<int>(values);
  diag << "FATAL: " << values << " values of grid rows do not fit into one message of the " << nrows
       << " x " << ncols << " grid; start more processes"
       << "[end-entry]";
  throw mpiCallFailed;
}

std::vector<Grid> RowBlockPass::layOut(Rows& rows, const std::vector<Grid>& present,
                                       const std::vector<RowSpan>& spans) const {
  rows.values.assign(static_cast<size_t>(valuesIn(spans)), nodata);
  rows.tables.assign(spans.size(), std::vector<double*>(static_cast<size_t>(nrows) + 1, nullptr));
  std::vector<Grid> grids(spans.size(), nullptr);
  double* next = rows.values.data();
  for (size_t i = 0; i < spans.size(); ++i) {
    if (!present[i]) continue;
    for (long r = spans[i].first; r <= spans[i].last; ++r, next += ncols + 1)
      rows.tables[i][static_cast<size_t>(r)] = next;
    grids[i] = rows.tables[i].data();
  }
  return grids;
}

void RowBlockPass::shareInputs(const std::vector<Grid>& grids, const std::vector<long>& margins) {
  inputs = grids;
  if (size == 1) return;
  if (rank != 0) {
    const std::vector<RowSpan> spans = spansOf(grids, margins, own);
    inputs = layOut(inputRows, grids, spans);
    if (valuesIn(spans) == 0) return;
    MPI_Status status;
    const int length = messageLength(valuesIn(spans));
    checkMPI(
        diag,
        MPI_Recv(inputRows.values.data(), length, MPI_DOUBLE, 0, inputTag, MPI_COMM_WORLD, &status),
        "MPI_Recv of the input rows of a block");
    int received = 0;
    checkMPI(diag, MPI_Get_count(&status, MPI_DOUBLE, &received), "MPI_Get_count");
    if (received == length) return;
    diag << "FATAL: process " << rank << " received " << received << " values of the input rows "
         << own.first << " .. " << own.last << " instead of " << length
         << "; the processes disagree on the grid"
         << "[end-entry]";
    throw mpiCallFailed;
  }
  moveRootRows(grids, margins, true);
}

void RowBlockPass::prepareOutputs(const std::vector<Grid>& grids) {
  outputs = grids;
  if (size == 1 || rank == 0) return;
  outputs = layOut(outputRows, grids, spansOf(grids, {}, own));
}

void RowBlockPass::collectOutputs() {
  if (size == 1) return;
  if (rank != 0) {
    if (outputRows.values.empty()) return;
    checkMPI(diag,
             MPI_Send(outputRows.values.data(),
                      messageLength(static_cast<long>(outputRows.values.size())), MPI_DOUBLE, 0,
                      outputTag, MPI_COMM_WORLD),
             "MPI_Send of the result rows of a block");
    return;
  }
  moveRootRows(outputs, {}, false);
}

// A datatype lists the rows in rank 0's grids, so they move in place,
// without a copy of every process's rows at once on rank 0.
void RowBlockPass::moveRootRows(const std::vector<Grid>& grids, const std::vector<long>& margins,
                                bool toProcesses) {
  std::vector<MpiReductionHandles> types(static_cast<size_t>(size));
  std::vector<MPI_Request> pending;
  std::vector<int> peers;
  std::vector<int> lengths;
  std::vector<MPI_Aint> places;
  for (int p = 1; p < size; ++p) {
    const std::vector<RowSpan> spans = spansOf(grids, margins, blocks[static_cast<size_t>(p)]);
    if (valuesIn(spans) == 0) continue;
    messageLength(valuesIn(spans));
    lengths.clear();
    places.clear();
    for (size_t i = 0; i < grids.size(); ++i)
      for (long r = spans[i].first; grids[i] && r <= spans[i].last; ++r) {
        places.emplace_back();
        checkMPI(diag, MPI_Get_address(grids[i][r], &places.back()), "MPI_Get_address");
        lengths.push_back(static_cast<int>(ncols + 1));
      }
    MPI_Datatype& type = types[static_cast<size_t>(p)].type;
    checkMPI(diag,
             MPI_Type_create_hindexed(static_cast<int>(lengths.size()), lengths.data(),
                                      places.data(), MPI_DOUBLE, &type),
             "MPI_Type_create_hindexed");
    checkMPI(diag, MPI_Type_commit(&type), "MPI_Type_commit");
    pending.emplace_back();
    peers.push_back(p);
    if (toProcesses)
      checkMPI(diag, MPI_Isend(MPI_BOTTOM, 1, type, p, inputTag, MPI_COMM_WORLD, &pending.back()),
               "MPI_Isend of the input rows of a block");
    else
      checkMPI(diag, MPI_Irecv(MPI_BOTTOM, 1, type, p, outputTag, MPI_COMM_WORLD, &pending.back()),
               "MPI_Irecv of the result rows of a block");
  }
  std::vector<MPI_Status> statuses(pending.size());
  checkMPI(diag, MPI_Waitall(static_cast<int>(pending.size()), pending.data(), statuses.data()),
           toProcesses ? "MPI_Waitall of the input rows" : "MPI_Waitall of the result rows");
  for (size_t k = 0; !toProcesses && k < peers.size(); ++k) {
    const size_t p = static_cast<size_t>(peers[k]);
    const long expected = valuesIn(spansOf(grids, margins, blocks[p]));
    int received = 0;
    checkMPI(diag, MPI_Get_elements(&statuses[k], types[p].type, &received), "MPI_Get_elements");
    if (received == expected) continue;
    diag << "FATAL: process " << p << " sent " << received << " values of the result rows "
         << blocks[p].first << " .. " << blocks[p].last << " instead of " << expected
         << "; the processes disagree on the grid"
         << "[end-entry]";
    throw mpiCallFailed;
  }
}
