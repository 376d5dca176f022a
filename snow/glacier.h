#pragma once

#include <cstddef>
#include <map>
#include <vector>

#include "core/grid_types.h"

class DiagStream;
struct SubmodelZones;

// The area of the smallest glacier (km^2) that the volume-area relation
// keeps; below its volume a glacier stays at this area.
constexpr double smallestGlacierArea = 0.0543;

// One cell of a glacier, by its place in the whole grids on rank 0.
struct GlacierCell {
  long row = 0;
  long column = 0;
};

// The cells of a glacier between two elevations; a balance spreads the
// change of area over the bands, the lowest ones more.
class ElevationBand {
public:
  double lower = 0.0;
  double upper = 0.0;
  double width = 0.0;
  std::vector<GlacierCell> cells;
  std::vector<char> fixed; // per cell: not changeable in the current direction
  long changeable = 0;

  // Shrinking (delta < 0) changes cells with a fraction above 0, growing
  // cells below 1, no change none; flags the others and returns the count.
  long countChangeable(double delta, Grid fraction);
};

// One glacier of "GlacierCodes" with its cells in elevation bands and the
// volume-area relation V = VAscaling A^VAexponent (A in km^2).
class Glacier {
public:
  Glacier() = default;
  Glacier(int code, int numElevBands, int extraWeightBand0, int subbasin, double vaScaling,
          double vaExponent, double volume, double area, double cellSize);

  // A cell of the given area (m^2) and glacier fraction; the first sets the
  // elevation range, later ones widen it.
  void addCell(bool first, double cellArea, double elevation, double fraction);
  void buildBands();
  // The band with lower <= elevation < upper; above the range the highest,
  // below it the lowest.
  void assignCellToBand(double elevation, long row, long column);
  void cellsToChangeFromArea();
  // The changeable cells of the bands, the lowest band counted
  // 1 + extraWeightBand0 times; kept in changeWeight.
  double changeableWeight(double delta, Grid fraction);

  double minimumVolume() const;
  // VAscaling area^VAexponent, of at least 0.01 km^2.
  void volumeFromArea();
  // The area of the volume; at or below the minimum volume the glacier keeps
  // that volume and the smallest area. A volume of 0 is first taken from the
  // area.
  void areaFromVolume();
  // The volume of the area, raised to the minimum volume, and the area that
  // volume gives: the state a glacier starts from.
  void startFromArea();
  void addVolume(double dv) { volume += dv; }

  int code = 0;
  double cellSize = 100.0;
  long cellCount = 0;
  long cellsInBands = 0;
  double area = 0.0;
  double volume = 0.0;
  double oldArea = 0.0;
  double oldVolume = 0.0;
  double vaScaling = 28.5;
  double vaExponent = 1.36;
  double minElevation = 10000.0;
  double maxElevation = -10000.0;
  int numElevBands = 1;
  double cellsToChange = 0.0;
  double changeWeight = 0.0;
  int extraWeightBand0 = 0;
  int subbasin = 0;
  double mbSum = 0.0, oldAreaSum = 0.0, newAreaSum = 0.0, meanMB = 0.0;
  std::vector<ElevationBand> bands;

private:
  // (volume / VAscaling)^(1 / VAexponent) with the smallest glacier below the
  // minimum volume.
  void settle(double& a, double& v) const;
};

// The glacierized and free shares of one subbasin, exchanged between the
// processes as {bool, double, double}.
struct GlacierSubbasin {
  bool hasGlacier = false;
  double glacierArea = 0.0; // sum of the glacier fractions of its cells
  double freeArea = 0.0;    // sum of 1 - fraction
};

// The whole grids of the glaciers on rank 0 (rows 1 .. nrows).
struct GlacierField {
  long nrows = 0;
  long ncols = 0;
  double nodata = -9999.0;
  double cellSize = 100.0;
  Grid zone = nullptr; // the model domain
  const SubmodelZones* subbasins = nullptr;
  Grid elevation = nullptr;
  Grid fraction = nullptr; // "GlacierizedCells"
  Grid codes = nullptr;    // "GlacierCodes"
  Grid fractionOld = nullptr;
  Grid codesOld = nullptr;
  Grid massBalance = nullptr;    // "GlacierMassBalance", mm
  Grid massBalanceOld = nullptr; // "OldGlacierMassBalance"
  Grid firnTotal = nullptr;      // "firn_WE_stack"
  Stack firn = nullptr;          // levels 0 (total) .. firnLevels
  int firnLevels = 0;

  // The subbasin index of a cell of the domain; 0 outside.
  int subbasinOf(long r, long c) const;
  bool valid(long r, long c) const { return subbasinOf(r, c) > 0; }
  double clampedFraction(long r, long c) const;
};

// Settings of the glacier list from "[ice_firn]".
struct GlacierListSettings {
  double vaScaling = 28.5;
  double vaExponent = 1.36;
  int numElevBands = 1;
  int extraWeightBand0 = 0;
  double relSizeNewGlacier = 0.25;
};

// The dynamic glaciers of the catchment and their code map, built and
// changed on rank 0 from the whole grids.
class GlacierList {
public:
  GlacierList() = default;
  explicit GlacierList(const GlacierListSettings& s) : settings(s) {}

  // Collects every glacier (code above 0) from the grids; a glacier that
  // already had a state keeps its volumes and areas, a new one starts from
  // its area. A glacier in two subbasins ends the run with code 84.
  void build(const GlacierField& field, DiagStream& diag);
  // The areas and volumes of a former run for the glaciers of the same
  // codes.
  void takeVolumes(const std::vector<Glacier>& stored);
  // The table of glacierized and free shares per subbasin 0 .. count.
  std::vector<GlacierSubbasin> subbasinTable(const GlacierField& field, int count) const;
  // Spreads the mass balance that a glacier lost with its area evenly over
  // the area it keeps; code < 0: every glacier.
  void redistributeGlacierMassBalance(const GlacierField& field, int code);
  // Cells that became glacier in the year ("GlacierCodes" -1) take the code
  // of a neighbour of their subbasin, or start a new glacier.
  void nameNewGlacierCells(const GlacierField& field);
  // The annual balance of every glacier: volumes from the mass balance,
  // areas from the volumes, and the cells that grow or shrink.
  void glacierBalance(const GlacierField& field, DiagStream& diag);

  const std::vector<Glacier>& glaciers() const { return list; }
  std::vector<Glacier>& glaciers() { return list; }
  // The index of a code in the list, -1 when it is not known.
  long indexOf(double code) const;

private:
  void applyChange(Glacier& g, const GlacierField& field, DiagStream& diag);
  double applyToBand(ElevationBand& band, double amount, const GlacierField& field,
                     DiagStream& diag);
  bool growInto(Glacier& g, const GlacierField& field, bool relaxed);
  void collectCells(Glacier& g, const GlacierField& field);

  GlacierListSettings settings;
  std::vector<Glacier> list;
  std::map<int, std::size_t> codeIndex;
};
