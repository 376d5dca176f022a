#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/grid_types.h"
#include "core/netcdf_grid_reader.h"

class DiagStream;

// Which record of a netCDF variable a step of the interpolation reads: the
// record of the step's date where the file has a time coordinate, else the
// record of the step's number counted from the start of the run.
class NetCDFStepRecords {
public:
  // Takes the record axis that rank 0 read. Returns "" or what makes its
  // dates unusable: units or a calendar other than the model's, or two
  // records of one date.
  std::string take(const NetCDFRecordAxis& axis);
  // Collective: rank 0's records to every process.
  void broadcast(DiagStream& diag);

  // The record of the step at date, which is step steps after the start of
  // the run; -1 when the file holds none.
  long recordOf(const ModelDate& date, long step) const;
  bool dated() const { return isDated; }
  long recordCount() const { return records; }
  // What the file holds: "4 records", or with a time coordinate "4 records
  // from 2021-03-01 00:00 to 2021-03-04 00:00".
  std::string holdings() const;

private:
  bool isDated = false;
  long records = 0;
  // (minutes since 1970-01-01 00:00, record), ordered by date.
  std::vector<std::pair<long, long>> byMinute;
};
