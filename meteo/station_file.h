#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/grid_types.h"

class DiagStream;
class TimeSeriesFile;

// A value at or below this is missing.
constexpr double missingStationValue = -999.0;

// The station time series of one meteorological variable, one column per
// station: header lines with the station coordinates ("X", "Y" and "Z", the
// word followed by one number per station, in the coordinates of the model
// grid), the column line "YY MM DD HH [mm] name1 ... nameS", then one line
// per time step. Other header lines are free text. Rank 0 reads the file;
// the other processes receive what it read.
class StationFile {
public:
  struct Settings {
    std::string path; // the input directory already in front
    std::string variable;
    ModelDate start;
    ModelDate end;
    long timeStep = 0; // minutes
    bool needsElevation = false;
  };

  // Collective: rank 0 checks the file from its first line up to the first
  // line at or after the end date (every value a number, one per station,
  // the dates one time step apart, the start date present, the end date
  // reached) and shares the coordinates. A fault ends the run on every
  // process with a FATAL message that names the file and the line.
  StationFile(DiagStream& diag, const Settings& settings);
  ~StationFile();
  StationFile(const StationFile&) = delete;
  StationFile& operator=(const StationFile&) = delete;

  long stationCount() const { return static_cast<long>(x.size()); }
  const std::vector<double>& stationX() const { return x; }
  const std::vector<double>& stationY() const { return y; }
  // Nodata for every station when the file has no "Z" line.
  const std::vector<double>& stationZ() const { return z; }

  // Collective: the values of the line of the date, which must be the line
  // after the one read last (the start date's line at first).
  void read(const ModelDate& date, std::vector<double>& values);
  // Starts again at the start date's line (spin-up).
  void rewind();

private:
  void check();
  void openReader();
  void shareStations();
  [[noreturn]] void fail(int code, long line, const std::string& what);

  DiagStream& diag;
  Settings settings;
  int rank = 0;
  std::vector<double> x, y, z;
  // Rank 0: number (from 0) of the start date's line among the data lines,
  // and the reader, opened at the first read.
  long startRecord = 0;
  std::unique_ptr<TimeSeriesFile> reader;
};
