#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/config/control_file_reader_model.h"

// A control-file reader with public access to its results.
class DecompositionModel : public ControlFileReaderModel {
public:
  DecompositionModel(const std::string& directory, const std::string& controlFile);
  ~DecompositionModel() override;

  // A domain drawn as text, one string per row: '.' nodata, anything else a
  // valid cell. Rank 0 gets the zone grid (entry 1), the elevation model
  // (entry 2) and, with links, "river_links" (entry 3: '.' nodata, digits
  // their value); the others get the entries' names only, as before the
  // decomposition.
  void setDomain(const std::vector<std::string>& mask, const std::vector<std::string>& links = {},
                 const std::function<double(long, long)>& elevation = {});
  // The zone grid from values, on rank 0.
  void setZoneValues(const std::vector<std::vector<double>>& values);
  void decompose() {
    makeMPIRegions(cells, sendList, receiveList, header.firstRow, header.lastRow);
  }
  // Hands the decomposition to the strip transfers of this model, as the
  // set-up does for every module.
  void attachDecomposition() {
    modelobject::cellsPerProcess = &cells;
    haloSendList = &sendList;
    haloReceiveList = &receiveList;
  }
  // Decomposes the domain and does what the set-up does next: ranks the
  // zones, hands the decomposition to the strip transfers and gives every
  // process rows lo .. hi (its own and a halo row on either side; rank 0
  // all) of the zone grid and, unless zoneOnly, the elevation model from
  // rank 0.
  void distributeBaseGrids(long& lo, long& hi, bool zoneOnly = false);
  // A grid that the model frees at the end.
  Grid ownedGrid(long firstRow, long lastRow);

  GridRegistryEntry* entries() { return ownRegistry.data(); }

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

// Works in a directory of its own per test, rank and process count, holding
// "MpiSpeedFactor.dat" with the given content (none when empty).
class SpeedDirectory {
public:
  SpeedDirectory(const std::string& name, const std::string& speedFileContent);
  ~SpeedDirectory();
  const std::string& controlFile() const { return controlFileName; }

private:
  std::string former;
  std::string controlFileName;
};

// A control file whose "[unsatzon_model]" has this re-infiltration parameter.
std::string controlFileText(int reinfiltration);

// The entries of a captured console, without the rank prefix.
std::vector<std::string> consoleEntries(const std::string& console);
void expectEntriesInOrder(const std::string& console, const std::vector<std::string>& lines);

// Every process's list, index = rank.
std::vector<std::vector<int>> allGathered(const std::vector<int>& values);

// Checks what a decomposition must hold on every process: one owner per
// valid cell, one run per process in row order within its row range, the
// cell counts, each process's "MPIRegions" rows, the "MPIHelper" rows as the
// strip walks read them (nothing outside a list), "MPIHalo", and halo lists
// on which senders and receivers agree. Collective.
void expectSoundDecomposition(DecompositionModel& model, const std::vector<std::string>& mask);
