#pragma once

#include <cstddef>
#include <vector>

#include "core/grid_types.h"

class DiagStream;

// Rows lo..hi of a grid; empty when last < first.
struct RowSpan {
  long first = 1;
  long last = 0;
};

// A pass over rows of whole grids that only rank 0 holds, shared out in
// blocks of rows that each process names (its own rows, say; blocks may
// share rows, which then come back alike from each):
// rank 0 sends every process the input rows of its block (widened by the
// margin each input needs), every process computes its block, and rank 0
// takes the block rows of the results back into its whole grids. Where
// each cell's result follows from the inputs alone, the grids do not
// depend on the number of processes. With one process the pass works on
// the whole grids directly. Collective.
class RowBlockPass {
public:
  RowBlockPass(DiagStream& diag, long nrows, long ncols, double nodata, RowSpan block);
  RowBlockPass(const RowBlockPass&) = delete;
  RowBlockPass& operator=(const RowBlockPass&) = delete;

  RowSpan block() const { return own; }

  // Rank 0 passes its whole grids; the others' grids only say whether the
  // input exists (null: it does not, on every process).
  void shareInputs(const std::vector<Grid>& grids, const std::vector<long>& margins);
  Grid input(std::size_t i) { return inputs[i]; }
  // Grids for the results over the block: rank 0's whole grids, on the
  // others grids of their own, every cell nodata. Null as for the inputs.
  void prepareOutputs(const std::vector<Grid>& grids);
  Grid output(std::size_t i) { return outputs[i]; }
  // The block rows of every result into rank 0's whole grids.
  void collectOutputs();

private:
  // Rows of several grids in one buffer, which travels as one message; each
  // grid's row table is indexed by model row.
  struct Rows {
    std::vector<double> values;
    std::vector<std::vector<double*>> tables;
  };
  // The rows of each present grid, for the block of a rank.
  std::vector<RowSpan> spansOf(const std::vector<Grid>& grids, const std::vector<long>& margins,
                               RowSpan block) const;
  long valuesIn(const std::vector<RowSpan>& spans) const;
  int messageLength(long values) const;
  // Rank 0: sends the input rows to every other process, or receives their
  // result rows.
  void moveRootRows(const std::vector<Grid>& grids, const std::vector<long>& margins,
                    bool toProcesses);
  // Lays the spans out in rows.values; returns the grids, null where a
  // grid is absent.
  std::vector<Grid> layOut(Rows& rows, const std::vector<Grid>& present,
                           const std::vector<RowSpan>& spans) const;

  DiagStream& diag;
  long nrows;
  long ncols;
  double nodata;
  int rank = 0;
  int size = 1;
  RowSpan own;
  std::vector<RowSpan> blocks; // rank 0: every process's block
  std::vector<Grid> inputs;
  std::vector<Grid> outputs;
  Rows inputRows;
  Rows outputRows;
};
