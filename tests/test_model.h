#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/modelobject.h"

// A module for tests: a modelobject with its own log stream (console
// captured), a registry of its own and public access to the context.
class TestModule : public modelobject {
public:
  explicit TestModule(const std::string& directory, const std::string& controlFile = "",
                      int maxLevel = 4);
  ~TestModule() override;

  // Opens the control file for the section readers.
  void openControlFile();
  // Sets the grid header (all rows held unless given).
  void setGrid(long ncols, long nrows, double xll = 0.0, double yll = 0.0, double cellsize = 1.0,
               double nodata = -9999.0, long firstRow = 1, long lastRow = -1);

  std::string console() const { return consoleText.str(); }
  std::string errors() const { return errorText.str(); }

  using modelobject::binaryHeader;
  using modelobject::cellWeights;
  using modelobject::controlFile;
  using modelobject::currentDate;
  using modelobject::endDate;
  using modelobject::endMinuteIndex;
  using modelobject::gifCellSize;
  using modelobject::gifF1;
  using modelobject::gifF2;
  using modelobject::gifThreshold;
  using modelobject::gifX0;
  using modelobject::gifX1;
  using modelobject::gifX2;
  using modelobject::gifY0;
  using modelobject::header;
  using modelobject::inputDirectory;
  using modelobject::lineBuffer;
  using modelobject::minToIntEndHours;
  using modelobject::monthDays;
  using modelobject::netcdfReader;
  using modelobject::netcdfWriter;
  using modelobject::outputDirectory;
  using modelobject::rowColumnRange;
  using modelobject::startDate;
  using modelobject::writeAsciiGrids;
  using modelobject::writeDoubleGrids;
  using modelobject::writeNetCDFGrids;
  using modelobject::writeOutputFile;
  // MPI row strips
  using modelobject::cellsPerProcess;
  using modelobject::haloReceiveList;
  using modelobject::haloSendList;
  using modelobject::mpiRank;
  using modelobject::mpiSize;
  using modelobject::nextStrip;
  using modelobject::requestCount;
  using modelobject::requests;
  using modelobject::StripCursor;

  std::vector<GridRegistryEntry> ownRegistry;
  std::unique_ptr<DiagStream> ownDiag;

private:
  std::ostringstream consoleText;
  std::ostringstream errorText;
};
