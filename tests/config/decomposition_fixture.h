#pragma once

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/defaultini.h"
#include "core/diag_stream.h"

// Log stream (console captured) and registry of a test model; a base class so
// that both exist before the control-file reader is built on them.
struct DecompositionContext {
  explicit DecompositionContext(const std::string& directory);
  std::ostringstream consoleText;
  std::ostringstream errorText;
  std::unique_ptr<DiagStream> ownDiag;
  std::vector<GridRegistryEntry> ownRegistry;
  int constructionError = 0;
};

// A control-file reader with public access to its decomposition and zone
// results, and with the grids a domain test hands it.
class DecompositionModel : private DecompositionContext, public defaultini {
public:
  DecompositionModel(const std::string& directory, const std::string& controlFile);
  ~DecompositionModel() override;

  // A domain drawn as text, one string per row from row 1: '.' is nodata,
  // any other character a valid cell. Rank 0 gets the zone grid (entry 1), the
  // elevation model (entry 2) and, when links are given, the grid
  // "river_links" (entry 3: '.' nodata, '0' the value 0, '1'..'9' and
  // 'a'..'z' link ids 1..35); the other processes get the entries' names, as
  // the control-file reader leaves them before the decomposition.
  void setDomain(const std::vector<std::string>& mask, const std::vector<std::string>& links = {},
                 const std::function<double(long, long)>& elevation = {});
  // The zone grid from values (nodata -9999), rank 0 holding the grid.
  void setZoneValues(const std::vector<std::vector<double>>& values);
  // Runs the decomposition into the lists below and the header's rows.
  void decompose();

  std::string console() const { return consoleText.str(); }
  std::string errors() const { return errorText.str(); }
  GridRegistryEntry* entries() { return ownRegistry.data(); }
  // A registered grid that the model frees at the end.
  Grid ownedGrid(long firstRow, long lastRow);

  using defaultini::columnRanges;
  using defaultini::gridCount;
  using defaultini::haloGrid;
  using defaultini::header;
  using defaultini::helperGrid;
  using defaultini::localLinkCellsByOwner;
  using defaultini::maxZoneCode;
  using defaultini::ownedLinkCellsByProcess;
  using defaultini::regionsGrid;
  using defaultini::riverLinks;
  using defaultini::rowColumnRange;
  using defaultini::zoneCount;
  using defaultini::zoneRanks;
  using defaultini::zoneRecords;

  std::vector<long> cells;
  std::vector<HaloStrip> sendList;
  std::vector<HaloStrip> receiveList;

private:
  struct OwnedGrid {
    Grid grid;
    long firstRow;
    long lastRow;
  };
  std::vector<OwnedGrid> owned;
};

// Runs a test in a directory of its own per rank and process count that
// holds "MpiSpeedFactor.dat" with the given content (none when empty), and
// returns to the former working directory at the end.
class SpeedDirectory {
public:
  SpeedDirectory(const std::string& name, const std::string& speedFileContent);
  ~SpeedDirectory();
  // A path that stays valid inside the directory.
  const std::string& controlFile() const { return controlFileName; }

private:
  std::string former;
  std::string controlFileName;
};

// Control files: with re-infiltration parameter 2 river links take part.
std::string controlFileText(int reinfiltration);

// The entries of a captured console, without the rank prefix.
std::vector<std::string> consoleEntries(const std::string& console);
// Expects each line as an entry of the console, in this order.
void expectEntriesInOrder(const std::string& console, const std::vector<std::string>& lines);

// The numbers of a domain drawn as text.
long validCellCount(const std::vector<std::string>& mask);

// Checks everything a decomposition must hold on every process: one owner
// per valid cell, one run per process in row order with matching row ranges,
// the cell counts, the "MPIRegions" rows of every process, the "MPIHelper"
// rows as the strip walks read them, the "MPIHalo" grid and halo lists that
// every owner and receiver agree on. Collective.
void expectSoundDecomposition(DecompositionModel& model, const std::vector<std::string>& mask);

// All processes' values gathered on every process.
std::vector<long> allGathered(long value);
// All processes' strip lists, index = rank.
std::vector<std::vector<HaloStrip>> allGathered(const std::vector<HaloStrip>& strips);
