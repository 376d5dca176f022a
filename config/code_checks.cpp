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

// The others hold only their rows and wait in the first collective call, so
// rank 0's failure must reach them before it.
void defaultini::checkAndDistributeCodes(int index, CodeGrid kind, bool withLayerCodes) {
  const int failure = mpiRank != 0 ? 0 : catchExitCode([&] {
    const GridRegistryEntry& e = registry[index];
    if (!e.grid) {
      *diag << "FATAL: the code check found no grid in registry entry " << index << " (" << e.name
            << ")"
            << "[end-entry]";
      throw missingGridCode;
    }
    replaceCodesByRecordIndices(e.grid, e.firstRow, e.lastRow, kind, e.fileName, e.name);
    if (withLayerCodes) replaceLayerCodes();
  });
  shareExitCode(*diag, failure);
  if (withLayerCodes) broadcastLayerCodes();
  MPIScatterGrid(index);
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
  const bool multilayer = kind == CodeGrid::landuse && !multilayerTable.empty();
  const CodeCheckText& text = kind == CodeGrid::soilTypes         ? soilText
                              : kind == CodeGrid::irrigationCodes ? irrigationText
                              : multilayer                        ? multilayerText
                                                                  : landuseText;
  // A cell without irrigation holds 0; every other value, negative ones
  // included, would be taken as a record index later.
  const bool zeroIsNone = kind == CodeGrid::irrigationCodes;
  const std::vector<int> codes = recordCodes(kind);
  const RecordIndexLookup lookup(codes);
  const Grid zone = registry[1].grid;
  const double nodata = header.nodata;
  const long ncols = header.ncols;

  *diag << text.checking << "[end-entry]";
  std::vector<long> firstUnknown(static_cast<std::size_t>(std::max(0L, lastRow - firstRow + 1)), 0);
#pragma omp parallel for schedule(runtime)
  for (long r = firstRow; r <= lastRow; ++r) {
    for (long c = 1; c <= ncols; ++c) {
      const double value = grid[r][c];
      if (zone[r][c] > nodata && !(zeroIsNone && value == 0.0) && lookup.indexOf(value) == 0) {
        firstUnknown[static_cast<std::size_t>(r - firstRow)] = c;
        break;
      }
    }
  }
  for (long r = firstRow; r <= lastRow; ++r) {
    const long c = firstUnknown[static_cast<std::size_t>(r - firstRow)];
    if (c == 0) continue;
    *diag << "FATAL: \n"
          << rule << "\n"
          << text.what << grid[r][c] << " in grid " << fileName << " (" << name << ")\n"
          << text.absentFrom << rule << "\n\n"
          << "[end-entry]";
    throw text.exitCode;
  }

  *diag << text.replacing << fileName << "[end-entry]";
  for (std::size_t k = 1; k <= codes.size(); ++k) {
    const int code = codes[k - 1];
    if (code == static_cast<int>(k) || (zeroIsNone && code == 0)) continue;
    *diag << code << " replaced by " << static_cast<int>(k) << " ..."
          << "[end-entry]";
  }
  // Each cell is looked up by the value it had before any replacement, so
  // that codes which are also record indices (2 of record 1, 1 of record 2)
  // do not replace each other's cells twice.
#pragma omp parallel for schedule(runtime)
  for (long r = firstRow; r <= lastRow; ++r) {
    for (long c = 1; c <= ncols; ++c) {
      const double value = grid[r][c];
      if (zeroIsNone && value == 0.0) continue;
      const int k = lookup.indexOf(value);
      if (k > 0) grid[r][c] = k;
    }
  }
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
