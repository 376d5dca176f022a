#pragma once

#include <climits>
#include <string>

class DiagStream;

// A cell of a grid a warm start reads back that no run can have written.
// Each process looks at the cells it holds and passes the key of its first
// fault in the order of the file, (row - 1) * ncols + column - 1, or
// noCellFault, with the FATAL entry for it. Collective: rank 0 logs the
// entry of the first fault of all processes, and every process throws code;
// nothing happens when no process found one.
constexpr long noCellFault = LONG_MAX;
void refuseFirstCellFault(DiagStream& diag, long key, const std::string& entry, int code);
