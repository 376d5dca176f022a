#include <mpi.h>

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"

namespace {

constexpr int missingGridCode = 33;
constexpr int badLayerCode = 312;

const char* const rule = "-----------------------------------------------------------------------";

// What a check logs and how it fails.
struct CodeCheckText {
  const char* checking;
  const char* replacing;
  const char* what;       // in front of the value of an unknown code
  const char* absentFrom; // behind the grid's names
  int exitCode;
};

const CodeCheckText soilText = {"1.: checking soil type codes", "2.:replacing soil type codes ",
                                "soil type ", "is not present in the control file \n", 32};
const CodeCheckText irrigationText = {
    "1.: checking codes in irrigation grid", "2.:replacing codes in irrigation grid ",
    "irrigation type ", "is not present in the irrigation table in the control file \n", 31};
const CodeCheckText landuseText = {
    "1.: checking codes in land use grid", "2.:replacing codes in land use grid ", "land use ",
    "is not present in the land use table in the control file \n", 31};
const CodeCheckText multilayerText = {
    "1.: checking codes in land use grid", "2.:replacing codes in land use grid ", "land use ",
    "is not present in the multilayer-landuse-table in the control file \n", 311};

// Record index of a cell value: the last record whose code equals it (as
// replacing record by record against the original values would leave it),
// 0 when no record has it.
class RecordIndexLookup {
public:
  explicit RecordIndexLookup(const std::vector<int>& codes) {
    for (std::size_t k = 0; k < codes.size(); ++k)
      byCode.emplace_back(codes[k], static_cast<int>(k) + 1);
    std::stable_sort(byCode.begin(), byCode.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<int, int>> last;
    for (const auto& entry : byCode) {
      if (!last.empty() && last.back().first == entry.first)
        last.back() = entry;
      else
        last.push_back(entry);
    }
    byCode = std::move(last);
  }

  int indexOf(double value) const {
    if (!(value >= INT_MIN && value <= INT_MAX)) return 0;
    const int code = static_cast<int>(value);
    if (code != value) return 0;
    const auto at = std::lower_bound(byCode.begin(), byCode.end(), std::make_pair(code, 0));
    return at != byCode.end() && at->first == code ? at->second : 0;
  }

private:
  std::vector<std::pair<int, int>> byCode; // (code, record index), ascending by code
};

int codeOf(const IrrigationRecord& record) { return record.code; }
template <typename Record> int codeOf(const Record& record) { return record.getCode(); }

template <typename Record> std::vector<int> codesOf(const std::vector<Record>& table) {
  std::vector<int> codes;
  for (std::size_t k = 1; k < table.size(); ++k) codes.push_back(codeOf(table[k]));
  return codes;
}

constexpr long noUnknownCode = LONG_MAX;

// A cell's position in row order, (row - 1) * ncols + column.
long rowOf(long position, long ncols) { return (position - 1) / ncols + 1; }
long columnOf(long position, long ncols) { return (position - 1) % ncols + 1; }

const CodeCheckText& textOf(defaultini::CodeGrid kind, bool multilayer) {
  using CodeGrid = defaultini::CodeGrid;
  return kind == CodeGrid::soilTypes         ? soilText
         : kind == CodeGrid::irrigationCodes ? irrigationText
         : multilayer                        ? multilayerText
                                             : landuseText;
}

// How the codes of one grid are tested and replaced. Cells count where
// owners is null or names this process.
struct CodeReplacement {
  CodeReplacement(const CodeCheckText& text, bool zeroIsNone, std::vector<int> codes)
      : text(text), zeroIsNone(zeroIsNone), codes(std::move(codes)), lookup(this->codes) {}

  // Position (row - 1) * ncols + column of the first unknown code in row
  // order, noUnknownCode when there is none.
  long firstUnknown(Grid grid, Grid zone, Grid owners, double rank, long first, long last,
                    long ncols, double nodata) const {
    long failed = noUnknownCode;
#pragma omp parallel for schedule(runtime) reduction(min : failed)
    for (long r = first; r <= last; ++r) {
      for (long c = 1; c <= ncols; ++c) {
        const double value = grid[r][c];
        if (zone[r][c] > nodata && (!owners || owners[r][c] == rank) &&
            !(zeroIsNone && value == 0.0) && lookup.indexOf(value) == 0) {
          failed = std::min(failed, (r - 1) * ncols + c);
          break;
        }
      }
    }
    return failed;
  }

  // Each cell is looked up by the value it had before any replacement, so
  // that codes which are also record indices (2 of record 1, 1 of record 2)
  // do not replace each other's cells twice.
  void replace(Grid grid, Grid owners, double rank, long first, long last, long ncols) const {
#pragma omp parallel for schedule(runtime)
    for (long r = first; r <= last; ++r) {
      for (long c = 1; c <= ncols; ++c) {
        const double value = grid[r][c];
        if ((owners && owners[r][c] != rank) || (zeroIsNone && value == 0.0)) continue;
        const int k = lookup.indexOf(value);
        if (k > 0) grid[r][c] = k;
      }
    }
  }

  void logUnknown(DiagStream& diag, double value, const std::string& fileName,
                  const std::string& name) const {
    diag << "FATAL: \n"
         << rule << "\n"
         << text.what << value << " in grid " << fileName << " (" << name << ")\n"
         << text.absentFrom << rule << "\n\n"
         << "[end-entry]";
  }

  void logReplacements(DiagStream& diag, const std::string& fileName) const {
    diag << text.replacing << fileName << "[end-entry]";
    for (std::size_t k = 1; k <= codes.size(); ++k) {
      const int code = codes[k - 1];
      if (code == static_cast<int>(k) || (zeroIsNone && code == 0)) continue;
      diag << code << " replaced by " << static_cast<int>(k) << " ..."
           << "[end-entry]";
    }
  }

  const CodeCheckText& text;
  // A cell without irrigation holds 0; every other value, negative ones
  // included, would be taken as a record index later.
  const bool zeroIsNone;
  const std::vector<int> codes;
  const RecordIndexLookup lookup;
};

} // namespace

void defaultini::check_SOIL_Codes(int index) {
  if (index > 0) checkAndDistributeCodes(index, CodeGrid::soilTypes, false);
}

void defaultini::check_LU_Codes(int index) {
  if (index > 0) checkAndDistributeCodes(index, CodeGrid::landuse, !multilayerTable.empty());
}

void defaultini::check_irrig_Codes(int index) {
  if (index > 0) checkAndDistributeCodes(index, CodeGrid::irrigationCodes, false);
}

void defaultini::replaceRegisteredCodes(int index, CodeGrid kind) {
  if (index > 0) checkAndDistributeCodes(index, kind, false);
}

// The others wait in the first collective call, so rank 0's failure must
// reach them before it.
void defaultini::checkAndDistributeCodes(int index, CodeGrid kind, bool withLayerCodes) {
  const GridRegistryEntry& e = registry[index];
  shareExitCode(*diag, mpiRank != 0 || e.grid ? 0 : catchExitCode([&] {
    *diag << "FATAL: the code check found no grid in registry entry " << index << " (" << e.name
          << ")"
          << "[end-entry]";
    throw missingGridCode;
  }));
  replaceOwnCodes(index, kind);
  if (withLayerCodes) {
    shareExitCode(*diag, mpiRank != 0 ? 0 : catchExitCode([&] { replaceLayerCodes(); }));
    broadcastLayerCodes();
  }
  MPIExchangeGridHalo(index);
}

std::vector<int> defaultini::recordCodes(CodeGrid kind) const {
  switch (kind) {
  case CodeGrid::soilTypes:
    return codesOf(soilTable);
  case CodeGrid::irrigationCodes:
    return codesOf(irrigationTable);
  case CodeGrid::landuse:
    break;
  }
  return multilayerTable.empty() ? codesOf(landuseTable) : codesOf(multilayerTable);
}

void defaultini::replaceCodesByRecordIndices(Grid grid, long firstRow, long lastRow, CodeGrid kind,
                                             const std::string& fileName, const std::string& name) {
  const CodeReplacement codes(textOf(kind, !multilayerTable.empty()),
                              kind == CodeGrid::irrigationCodes, recordCodes(kind));
  const long ncols = header.ncols;
  *diag << codes.text.checking << "[end-entry]";
  const long failed = codes.firstUnknown(grid, registry[1].grid, nullptr, 0.0, firstRow, lastRow,
                                         ncols, header.nodata);
  if (failed != noUnknownCode) {
    codes.logUnknown(*diag, grid[rowOf(failed, ncols)][columnOf(failed, ncols)], fileName, name);
    throw codes.text.exitCode;
  }
  codes.logReplacements(*diag, fileName);
  codes.replace(grid, nullptr, 0.0, firstRow, lastRow, ncols);
}

// The first unknown code over all processes is the one the check of the
// whole grid would find; its owner hands its value to rank 0's message.
// The others replace their own cells, the halo exchange brings the rest.
// Rank 0 replaces every cell of the rows it keeps, as the whole check did.
void defaultini::replaceOwnCodes(int index, CodeGrid kind) {
  const GridRegistryEntry& e = registry[index];
  const CodeReplacement codes(textOf(kind, !multilayerTable.empty()),
                              kind == CodeGrid::irrigationCodes, recordCodes(kind));
  const bool root = mpiRank == 0;
  const bool divided = mpiSize > 1 && regionsGrid;
  const Grid owners = divided ? regionsGrid : nullptr;
  const double rank = mpiRank;
  const long ncols = header.ncols;
  const long first = divided ? std::max(e.firstRow, header.firstRow) : e.firstRow;
  const long last = divided ? std::min(e.lastRow, header.lastRow) : e.lastRow;

  if (root) *diag << codes.text.checking << "[end-entry]";
  struct {
    long position;
    int rank;
  } own{
      codes.firstUnknown(e.grid, registry[1].grid, owners, rank, first, last, ncols, header.nodata),
      mpiRank},
      found{noUnknownCode, 0};
  checkMPI(*diag, MPI_Allreduce(&own, &found, 1, MPI_LONG_INT, MPI_MINLOC, MPI_COMM_WORLD),
           "MPI_Allreduce of the first unknown code");
  if (found.position != noUnknownCode) {
    double value = 0.0;
    if (found.rank == mpiRank)
      value = e.grid[rowOf(found.position, ncols)][columnOf(found.position, ncols)];
    checkMPI(*diag, MPI_Bcast(&value, 1, MPI_DOUBLE, found.rank, MPI_COMM_WORLD),
             "MPI_Bcast of the unknown code");
    if (root) codes.logUnknown(*diag, value, e.fileName, e.name);
    throw codes.text.exitCode;
  }

  if (!root) {
    codes.replace(e.grid, owners, rank, first, last, ncols);
    return;
  }
  codes.logReplacements(*diag, e.fileName);
  const bool stripOnly = divided && releasedAfterSetup(index);
  codes.replace(e.grid, nullptr, 0.0,
                stripOnly ? std::max(e.firstRow, stripFirstRow()) : e.firstRow,
                stripOnly ? std::min(e.lastRow, stripLastRow()) : e.lastRow, ncols);
}

// Rank 0: the layer codes of the multilayer table become land-use record
// indices.
void defaultini::replaceLayerCodes() {
  const double nodata = header.nodata;
  const std::vector<int> landuseCodes = codesOf(landuseTable);
  const RecordIndexLookup lookup(landuseCodes);
  for (std::size_t l = 1; l < multilayerTable.size(); ++l) {
    const multilayer_landuse_class& type = multilayerTable[l];
    const std::vector<int>& layers = type.getLayerCodes();
    for (int j = 1; j <= type.getLayerCount(); ++j) {
      const int code = layers[static_cast<std::size_t>(j)];
      if (code > nodata && lookup.indexOf(code) == 0) {
        *diag << "FATAL: \n"
              << rule << "\nError: not all layer codes from landuse " << type.getCode()
              << " from MultiLayer_Landuse-Table\nare present in the landuse-table in the "
                 "control file: Here, code "
              << code << " is missing.\n"
              << rule << "\n\n"
              << "[end-entry]";
        throw badLayerCode;
      }
      if (code <= nodata && j == 1) {
        *diag << "FATAL: \n\n"
              << rule
              << "\nError: the first Layer code of each MultiLayer-Landuse Entry \nmust be a "
                 "valid entry (not 9999 or larger):\nHere, line "
              << static_cast<long>(l) << " contains " << code << " as first layer code.\n"
              << rule << "\n\n"
              << "[end-entry]";
        throw badLayerCode;
      }
    }
  }

  // Compared with the codes as read, so that a code that is also the index
  // of a later record is not replaced a second time.
  std::vector<std::vector<int>> asRead;
  for (const multilayer_landuse_class& type : multilayerTable)
    asRead.push_back(type.getLayerCodes());
  for (std::size_t k = 1; k <= landuseCodes.size(); ++k) {
    const int code = landuseCodes[k - 1];
    if (code == static_cast<int>(k)) continue;
    for (std::size_t l = 1; l < multilayerTable.size(); ++l) {
      std::vector<int>& layers = multilayerTable[l].getLayerCodes();
      for (std::size_t j = 1; j < layers.size(); ++j) {
        if (asRead[l][j] <= nodata || asRead[l][j] != code) continue;
        layers[j] = static_cast<int>(k);
        *diag << "Code replacement in MultiLayer-Landuse " << static_cast<long>(l)
              << ": changed Layer-Code #" << static_cast<long>(j) << " from " << code << " to "
              << static_cast<long>(k) << "[end-entry]";
      }
    }
  }
}

// Every process read the same table, so the lists have the same length
// everywhere.
void defaultini::broadcastLayerCodes() {
  for (std::size_t l = 1; l < multilayerTable.size(); ++l) {
    std::vector<int>& layers = multilayerTable[l].getLayerCodes();
    checkMPI(*diag,
             MPI_Bcast(layers.data(), static_cast<int>(layers.size()), MPI_INT, 0, MPI_COMM_WORLD),
             "MPI_Bcast of the multilayer land-use layer codes");
  }
}
