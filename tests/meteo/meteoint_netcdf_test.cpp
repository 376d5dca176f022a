// Interpolation method 6 from the records of a netCDF variable: the record
// of each step's date where the file has a time coordinate, else the record
// of the step's number; a run whose steps the file does not hold, or whose
// dates it cannot give, is refused when the interpolator is built.

#include <gtest/gtest.h>
#include <netcdf>

#include <string>
#include <vector>

#include "meteo/meteoint.h"
#include "tests/meteo/meteo_model.h"
#include "tests/test_support.h"

namespace {

// The value of record k at row r, column c.
double recordValue(long k, long r, long c) { return 100.0 * k + r + 0.1 * c; }

// A file "series.nc" on the model grid of MeteoRun (10 x 8 cells of 1000 m
// from 0, 0), whose variable "v" (time, y, x) holds one record per time;
// the coordinates x and y are the western and southern edges of the cells,
// x shifted by xShift. Without units the time variable is no time
// coordinate.
struct SeriesFile {
  std::string units;
  std::string calendar;
  std::vector<double> times;
  double xShift = 0.0;

  void write(const std::string& path) const {
    const long ncols = 10, nrows = 8;
    netCDF::NcFile file(path, netCDF::NcFile::replace, netCDF::NcFile::nc4);
    const netCDF::NcDim t = file.addDim("time");
    const netCDF::NcDim y = file.addDim("y", nrows);
    const netCDF::NcDim x = file.addDim("x", ncols);
    std::vector<double> xs(ncols), ys(nrows);
    for (long c = 0; c < ncols; ++c) xs[c] = 1000.0 * c + xShift;
    for (long r = 0; r < nrows; ++r) ys[r] = 1000.0 * (nrows - 1 - r);
    file.addVar("x", netCDF::ncDouble, x).putVar(xs.data());
    file.addVar("y", netCDF::ncDouble, y).putVar(ys.data());
    netCDF::NcVar time = file.addVar("time", netCDF::ncDouble, t);
    if (!units.empty()) time.putAtt("units", units);
    if (!calendar.empty()) time.putAtt("calendar", calendar);
    time.putVar({0}, {times.size()}, times.data());
    netCDF::NcVar v = file.addVar("v", netCDF::ncDouble, {t, y, x});
    std::vector<double> record(ncols * nrows);
    for (size_t k = 0; k < times.size(); ++k) {
      for (long r = 1; r <= nrows; ++r)
        for (long c = 1; c <= ncols; ++c)
          record[(r - 1) * ncols + c - 1] = recordValue(static_cast<long>(k), r, c);
      v.putVar({k, 0, 0}, {1, static_cast<size_t>(nrows), static_cast<size_t>(ncols)},
               record.data());
    }
  }
};

InterpolatorSection series(const std::string& input = "series.nc<v>") {
  InterpolatorSection s;
  s.method = 6;
  s.input = input;
  return s;
}

} // namespace

// The run's steps are 1 April 2015, 00:00 to 03:00. 2015-04-01 lies 16526
// days after 1970-01-01 (45 years with 11 leap days, and 90 days of 2015),
// so its midnight is 1427846400 s.
TEST(meteointerpol, ReadsTheRecordOfEachStepsDateFromATimeCoordinate) {
  struct Case {
    const char* name;
    SeriesFile file;
    std::vector<long> records; // read at the four steps
  };
  const Case cases[] = {
      {"hours from two hours before the start",
       {"hours since 2015-03-31 22:00:00", "", {0, 1, 2, 3, 4, 5, 6, 7}},
       {2, 3, 4, 5}},
      {"minutes, records in reverse, ISO date with zone",
       {"minutes since 2015-04-01T00:00:00Z", "gregorian", {180, 120, 60, 0}},
       {3, 2, 1, 0}},
      {"days with fractions of a day",
       {"days since 2015-04-01", "proleptic_gregorian", {0.0, 1.0 / 24, 2.0 / 24, 3.0 / 24}},
       {0, 1, 2, 3}},
      {"seconds since 1970, the first record an hour early",
       {"Seconds since 1970-1-1 0:0:0 UTC",
        "standard",
        {1427842800, 1427846400, 1427850000, 1427853600, 1427857200}},
       {1, 2, 3, 4}},
      {"no units: counted from the start", {"", "", {5, 6, 7, 8, 9}}, {0, 1, 2, 3}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    MeteoRun run(std::string("netcdf_dates_") + std::to_string(&k - cases), series().text());
    k.file.write("series.nc");
    int code = 0;
    auto v = run.interpolator("temperature", code);
    ASSERT_EQ(code, 0) << run.console();
    const MeteoModel& m = *run.model;
    for (long record : k.records) {
      run.step(*v);
      for (long r = 1; r <= m.header.nrows; ++r)
        for (long c = 1; c <= m.header.ncols; ++c)
          ASSERT_EQ(v->getGrid()[r][c], m.valid(r, c) ? recordValue(record, r, c) : -9999.0)
              << "record " << record << ", row " << r << ", column " << c;
    }
    const bool counted = k.file.units.empty();
    EXPECT_EQ(run.console().find("series.nc has no time coordinate") != std::string::npos, counted)
        << run.console();
  }
}

// Each refusal comes from the interpolator's construction, before any step,
// naming the file and what it lacks.
TEST(meteointerpol, RefusesAtSetUpARunWhoseStepsTheFileCannotGive) {
  struct Case {
    const char* name;
    SeriesFile file;
    std::string input;
    int code;
    std::string message;
  };
  const SeriesFile hourly{"hours since 2015-04-01 00:00:00", "", {0, 1, 2, 3}};
  SeriesFile east = hourly;
  east.xShift = 10000.0;
  const Case cases[] = {
      {"a step beyond the file's dates",
       {"hours since 2015-04-01 00:00:00", "", {0, 1, 2}},
       "series.nc<v>",
       73,
       "the netCDF file series.nc holds no record of v for the step of 2015-04-01 03:00 "
       "(interpolation of temperature): the run from 2015-04-01 00:00 to 2015-04-01 03:00 has 4 "
       "steps of 60 minutes, the file 3 records from 2015-04-01 00:00 to 2015-04-01 02:00 by its "
       "time coordinate"},
      {"a date between two records",
       {"hours since 2015-04-01 00:00:00", "", {0, 1, 2.5, 3}},
       "series.nc<v>",
       73,
       "holds no record of v for the step of 2015-04-01 02:00"},
      {"fewer records than steps, no time coordinate",
       {"", "", {0, 1, 2}},
       "series.nc<v>",
       73,
       "the netCDF file series.nc holds no record of v for the step of 2015-04-01 03:00 "
       "(interpolation of temperature): the run from 2015-04-01 00:00 to 2015-04-01 03:00 has 4 "
       "steps of 60 minutes, the file 3 records and no time coordinate"},
      {"a calendar without leap days",
       {"hours since 2015-04-01 00:00:00", "noleap", {0, 1, 2, 3}},
       "series.nc<v>",
       78,
       "the time coordinate \"time\" of series.nc (interpolation of temperature) gives no dates "
       "of the model: its calendar \"noleap\" is not the model's"},
      {"months",
       {"months since 2015-01-01", "", {3, 4, 5, 6}},
       "series.nc<v>",
       78,
       "its units \"months since 2015-01-01\" cannot be read: the unit \"months\" is none of "
       "seconds, minutes, hours and days"},
      {"a time zone east of UTC",
       {"hours since 2015-04-01 00:00:00 +01:00", "", {0, 1, 2, 3}},
       "series.nc<v>",
       78,
       "the reference date carries a time zone other than UTC"},
      {"two records of one date",
       {"hours since 2015-04-01 00:00:00", "", {0, 1, 1, 2, 3}},
       "series.nc<v>",
       78,
       "records 1 and 2 both hold 2015-04-01 01:00"},
      {"x 10 km east of the model grid", east, "series.nc<v>", 22,
       "the netCDF grid series.nc<v>0 does not lie on the model grid: its coordinates x run from "
       "10000 to 19000 and y from 7000 to 0"},
      {"no such variable", hourly, "series.nc<w>", 21,
       "cannot find variable w in file series.nc for reading from netCDF."},
      {"no such file", hourly, "absent.nc<v>", 73,
       "the grid file absent.nc for the interpolation of temperature at 2015-04-01 00:00 does "
       "not exist or cannot be read"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    MeteoRun run(std::string("netcdf_refused_") + std::to_string(&k - cases),
                 series(k.input).text());
    k.file.write("series.nc");
    int code = 0;
    auto v = run.interpolator("temperature", code);
    EXPECT_EQ(code, k.code);
    EXPECT_NE(run.console().find(k.message), std::string::npos) << run.console();
  }
}
