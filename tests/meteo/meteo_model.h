#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "submodel/model_context.h"
#include "tests/config/decomposition_fixture.h"

using CellFunction = std::function<double(long, long)>;

// A model domain for the interpolators, laid out on every process as the
// set-up leaves it: the zone grid and the elevation model (rank 0 every row,
// the others their strip with a halo row on each side), the decomposition,
// "CellSizeX" and "CellSizeY", and the lower left corners of the cells in
// "CoordX" and "CoordY" (strip rows only). The control file must hold
// "[unsatzon_model]" for the decomposition, and the working directory
// "MpiSpeedFactor.dat" (see SpeedDirectory).
class MeteoModel : public DecompositionModel {
public:
  MeteoModel(const std::string& controlFile, const std::vector<std::string>& mask, double xll,
             double yll, double cellsize, const CellFunction& elevation);

  // Registers a grid over the rows of a standard grid: value(r, c) at the
  // valid cells, nodata elsewhere.
  Grid addGrid(const std::string& name, const CellFunction& value);
  // The context of a run from start to end, with ASCII output.
  ModelContext context(const ModelDate& start, const ModelDate& end);
  // Collective. Rank 0: rows 1 .. nrows of the grid of a registry entry as
  // the owners of the cells hold it, row after row, columns 1 .. ncols;
  // empty on the other processes.
  std::vector<double> gathered(int index);
  bool valid(long r, long c) const { return mask[r - 1][c - 1] != '.'; }
  // Centre of a cell.
  double x(long c) const { return header.xllcorner + (c - 0.5) * header.cellsize; }
  double y(long r) const { return header.yllcorner + (header.nrows - r + 0.5) * header.cellsize; }

  std::vector<std::string> mask;
  long lo = 1;
  long hi = 0;
};

// The text of a station file: the coordinate lines (those given), the
// column line and one line per step from the start (dates within one month).
struct StationTable {
  std::vector<double> x, y, z;
  ModelDate start{0, 0, 1, 4, 2015};
  long step = 60;
  std::vector<std::vector<double>> values; // per line, one per station
  std::string text() const;
};

// The section of one interpolator.
struct InterpolatorSection {
  std::string name = "temperature";
  std::string input = "stations.txt";
  int method = 1;
  std::string gifLines; // method 9: the mapping and georeference lines
  long step = 60;
  std::string limits = "-1000 1000";
  std::string idw = "2 1e9 8";
  std::string minStations = "1";
  std::string output = "out.asc 0";
  std::string text() const;
};

// Inverse distance weighting at a point by its definition, from every
// station: the mean of the nearest (at most maxStations) stations with a
// value within maxDistance weighted by distance^-exponent, else the value of
// the nearest station with a value.
double idwByDefinition(double x, double y, const std::vector<double>& sx,
                       const std::vector<double>& sy, const std::vector<double>& values,
                       double exponent, double maxDistance, long maxStations);

class meteointerpol;

// A test of its own: a working directory (entered while the run lives)
// with the control file, "MpiSpeedFactor.dat" and the input files, and the
// model domain (cell size 1000, lower left corner at 0, 0).
class MeteoRun {
public:
  // A ragged catchment of 8 rows and 10 columns.
  static const std::vector<std::string> catchment;

  MeteoRun(
      const std::string& name, const std::string& sections,
      const std::vector<std::pair<std::string, std::string>>& files = {},
      const std::vector<std::string>& mask = catchment,
      const CellFunction& elevation = [](long r, long c) { return 200.0 + 50.0 * r + 7 * c; });
  ~MeteoRun();

  // Builds the interpolator of a variable with the context (hourly steps
  // from 1 April 2015, 00:00 to 03:00 unless changed); the construction's
  // exit code goes to `code`.
  std::unique_ptr<meteointerpol> interpolator(const std::string& variable, int& code);
  // Steps the interpolator through its next date.
  void step(meteointerpol& interpolator);
  std::string console() const { return model->console(); }

  std::unique_ptr<SpeedDirectory> directory;
  std::unique_ptr<MeteoModel> model;
  ModelContext context;
  int outputSwitch = 0;
};
