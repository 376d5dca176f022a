#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/modelobject.h"
#include "meteo/interpolation_cells.h"
#include "meteo/netcdf_step_records.h"
#include "submodel/model_context.h"

class ElevationRegression;
class InverseDistanceWeighting;
class StationFile;

// The interpolator of one meteorological variable: every time step it
// fills the registry grid of the variable's name from station values or
// grid files, as the control-file section "[" + name + "]" says:
//
//   stations_t.txt    input file (station file, or base name of the grids)
//   1                 method: 1 inverse distance weighting, 2 elevation
//                     regression, 6 one grid file per step, 9 one GIF
//                     image per step
//   (method 9 only)   f1 x1 threshold f2 x2 of the GIF-Mapping
//   (method 9 only)   x0 y0 cell size of the GIF images
//   60                time step in minutes
//   -50 50            lower and upper limit of the result
//   2 50000 8         IDW exponent, maximum distance, maximum number of stations
//   3                 minimum number of stations per regression region
//   temp.asc 22       output grid file name and write code
//
// Every process holds its strip of the grid with a halo row on each side,
// computes the valid cells of its strip rows and completes the halo rows.
class meteointerpol : public modelobject {
public:
  // Reads the section of the variable from the context's control file,
  // registers its grid, checks the station file (methods 1 and 2) and
  // prepares the interpolation. outputSwitch is the second switch of
  // "[output_interval]": 1 logs a summary of the grid at every step.
  // Collective. Never throws: errorCode is 0 after a successful
  // construction, else the exit code (103 for a failure that is not one of
  // the model's codes); the caller throws it on and deletes the object.
  meteointerpol(const ModelContext& context, int& errorCode, const std::string& variableName,
                int outputSwitch);
  ~meteointerpol() override;
  meteointerpol(const meteointerpol&) = delete;
  meteointerpol& operator=(const meteointerpol&) = delete;

  // --- time loop -----------------------------------------------------------
  // The date of the step to come: the start date, then one time step after
  // the step interpolated last.
  ModelDate getNextDate() const;
  // Collective: fills the grid for the date, which must be the next date of
  // this interpolator (code 78 otherwise). A step in which no station has a
  // value interpolates the values of the last step that had one again; at
  // the first step there is none, and the run ends with code 69.
  void interpolate(const ModelDate& date);
  // True once the step interpolated last lies at or after the end date
  // (which `setEndDate` may move).
  bool isAtEnd() const;
  // Starts again at the start date (spin-up).
  void rewind();
  // Collective: writes the grid and its statistics grids as the write code
  // asks, at the date of the step interpolated last.
  void writeInterpolatedGrid();
  // Unregisters and frees the grid, then releases the module.
  void releaseModule() override;

  // --- accessors -------------------------------------------------------------
  const std::string& getVariableName() const { return variableName; }
  int getMethod() const { return method; }
  long getTimeStep() const { return timeStep; }
  int getGridIndex() const { return gridIndex; }
  Grid getGrid() const { return grid; }
  // False when no station had a value in the step interpolated last, so
  // that its grid is that of the last step with values.
  bool hasNewValues() const { return newValues; }
  // Rows whose cells hold the values of the last step: the strip rows and
  // the halo rows next to them.
  long getFirstCurrentRow() const { return std::max(1L, header.firstRow - 1); }
  long getLastCurrentRow() const { return std::min(header.nrows, header.lastRow + 1); }

private:
  void takeContext(const ModelContext& context);
  void readSection();
  void registerResultGrid();
  void prepareStations();
  // Rank 0: a WARNING for each station farther from the grid than maxDistance.
  void warnOfFarStations();
  void prepareRegression(const InterpolationCells& cells);
  void interpolateStations(const ModelDate& date);
  // Method 6 from a netCDF variable: finds its records at set-up and
  // refuses a run with a step that the file does not hold.
  void prepareNetCDFRecords();
  // The record of the step at date, which is step steps after the start.
  long netcdfRecordOf(const ModelDate& date, long step) const;
  // Calls f(date, step) for every step of the run.
  template <typename F> void forEachStepDate(F f) const;
  void readStepGrid(const ModelDate& date);
  std::string stepFileName(const ModelDate& date) const;
  void logSummary();
  void freeGrid();

  std::string variableName;
  // From the section.
  std::string inputName;
  int method = 0;
  long timeStep = 0;
  ValueLimits limits;
  double exponent = 2.0;
  double maxDistance = 0.0;
  long maxStations = 1;
  long minStations = 1;
  std::string outputFileName;
  long writeCode = 0;

  int outputSwitch = 0;

  Grid grid = nullptr;
  int gridIndex = 0;
  long firstHeldRow = 1; // rows of the grid
  long lastHeldRow = 0;
  bool released = false;

  long stepCount = 0; // steps since the start date
  bool newValues = false;
  std::string stationPath; // with the input directory
  std::unique_ptr<StationFile> stations;
  std::vector<double> stationValues;
  // The values the grid was interpolated from last, and their date. Other
  // modules change the grid in place after the step (correction,
  // superposition, irrigation), so a step without values interpolates these
  // again rather than keep what they made of it.
  std::vector<double> interpolatedValues;
  ModelDate interpolatedDate;
  long usableStations = 0; // in the step interpolated last
  std::unique_ptr<InverseDistanceWeighting> idw;
  std::unique_ptr<ElevationRegression> regression;
  // Method 6 from a netCDF variable "file<variable>".
  std::string netcdfPath; // with the input directory
  std::string netcdfVariable;
  NetCDFStepRecords stepRecords;
};
