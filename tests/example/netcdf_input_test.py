#!/usr/bin/env python3
"""horva reads netCDF inputs where they say they lie and when they say they
hold: each row gives a small copy of the example its rain (interpolation
method 6) or a standard grid as a netCDF file and runs it on one and on two
processes.

The rain file holds 96 hourly records from 1 March 2021, 00:00: nothing on
days 1 and 2, (1 + h / 10) (1 + r / 100) mm at hour h of day 3 in row r, half
of that on day 4. With the gauge correction and the regional superposition
off, the precipitation the land gets is the file's: on day 3, 51.6 mm
(24 + 0.1 * 276) times 1 + r / 100.
"""

import os
import re
import subprocess
import sys

import example_test as ex
import small_catchment as small
from small_catchment import Case, Reference

RECORDS = 96


def read_ascii(path):
    """The header (key, value) pairs and the rows of an ASCII grid."""
    with open(path) as f:
        words = [line.split() for line in f if line.strip()]
    return words[:6], words[6:]


def rain(k, row):
    """mm of record k (hours from 1 March 00:00) in row `row` of the grid."""
    day, hour = 1 + k // 24, k % 24
    return {3: 1.0, 4: 0.5}.get(day, 0.0) * (1.0 + hour / 10.0) * (1.0 + row / 100.0)


def netcdf_file(folder, name, variable, records, value, units=None, centres=False,
                east=0.0, numbers="float"):
    """input/name with variable (time, y, x) on the grid of zones.asc (its
    x `east` further), the coordinates x and y the western and southern edges
    of the cells, or their centres; record k holds value(k, row, column).
    The variable time holds k, with units when given (a time coordinate)."""
    head, rows = read_ascii(os.path.join(folder, "zones.asc"))
    ncols, nrows = int(head[0][1]), int(head[1][1])
    size = float(head[4][1])
    shift = size / 2 if centres else 0.0
    xll, yll = float(head[2][1]) + east + shift, float(head[3][1]) + shift
    cells = ", ".join("%.9g" % value(k, r, c) for k in range(records)
                      for r in range(1, nrows + 1) for c in range(1, ncols + 1))
    cdl = ["netcdf %s {" % variable, "dimensions:", "time = UNLIMITED ;", "y = %d ;" % nrows,
           "x = %d ;" % ncols, "variables:", "double x(x) ;", "double y(y) ;",
           "double time(time) ;"]
    if units:
        cdl.append('time:units = "%s" ;' % units)
    cdl += ["%s %s(time, y, x) ;" % (numbers, variable), "%s:_FillValue = -9999.%s ;" % (variable, "f" if numbers == "float" else ""),
            "data:", "x = %s ;" % ", ".join(repr(xll + i * size) for i in range(ncols)),
            "y = %s ;" % ", ".join(repr(yll + (nrows - 1 - i) * size) for i in range(nrows)),
            "time = %s ;" % ", ".join(str(k) for k in range(records)),
            "%s = %s ;" % (variable, cells), "}"]
    subprocess.run(["ncgen", "-k", "nc4", "-o", os.path.join(folder, name)],
                   input="\n".join(cdl), text=True, check=True)


DATED = "hours since 2021-03-01 00:00:00"


def rain_file(records=RECORDS, units=DATED, **place):
    return lambda folder: netcdf_file(folder, "rain.nc", "rain", records,
                                      lambda k, r, c: rain(k, r), units, **place)


def rain_from_netcdf(text):
    """The precipitation from rain.nc by method 6, the gauge correction and
    the regional superposition off."""
    text = ex.replace_once("precipitation.txt  station file (in the input directory)\n1  method",
                           "rain.nc<rain>  records of the netCDF variable rain\n6  method")(text)
    text = ex.replace_once("1         on: gauge undercatch", "0         on: gauge undercatch")(text)
    return ex.replace_once("[RegionalSuperposition]\n1    on", "[RegionalSuperposition]\n0    on")(text)


def starting_on(day):
    return lambda text: ex.replace_lines(rain_from_netcdf(text),
                                         ((r"^1 +start day$", "%d        start day" % day),))


def day_sums_of_the_file(work):
    """The precipitation of day 3 in each cell is the file's day-3 rain."""
    _, zones = read_ascii(os.path.join(work, "input", "zones.asc"))
    _, sums = read_ascii(os.path.join(work, "output", "precipitation_2103.03s"))
    for r, (zone_row, sum_row) in enumerate(zip(zones, sums), 1):
        for c, (zone, value) in enumerate(zip(zone_row, sum_row), 1):
            if zone == "-9999":
                continue
            expected = 51.6 * (1.0 + r / 100.0)
            ex.check(abs(float(value) - expected) <= 1e-5 * expected,
                     "row %d, column %d got %s mm on 3 March, not %.6f" % (r, c, value, expected))


# What the set-up writes before any module is built: the control file's
# copy, the grid of the processes' strips and the derived grids.
SET_UP_FILES = re.compile(r"\.intern$|(^|/)MPIRegions_\d+$|\.intern\.")


def nothing_written(work):
    """A run refused at set-up wrote no output."""
    written = sorted(n for n in os.listdir(os.path.join(work, "output"))
                     if not SET_UP_FILES.search(n))
    ex.check(not written, "the refused run wrote %s" % " ".join(written))


def river_depth_from_netcdf(text):
    return ex.replace_once("river_depth.asc  river_depth", "river_depth.nc<depth>0  river_depth")(text)


def river_depth_file(**place):
    def edit(folder):
        _, rows = read_ascii(os.path.join(folder, "river_depth.asc"))
        netcdf_file(folder, "river_depth.nc", "depth", 1, lambda k, r, c: float(rows[r - 1][c - 1]),
                    numbers="double", **place)
    return edit


CASES = {
    # Read by step number, the run from day 3 took the records of days 1
    # and 2: no rain.
    "rain_read_by_its_date": Case(starting_on(3), rain_file(), days=4,
                                  check_outputs=day_sums_of_the_file),
    "warm_start_from_the_middle_of_the_files": Case(rain_from_netcdf, rain_file(), days=3,
                                                    continues=True),
    # Kept: horva's own layout and the centres of other writers.
    "rain_on_cell_centres": Case(starting_on(3), rain_file(centres=True), days=4,
                                 like=Reference(starting_on(3), rain_file())),
    "river_depth_on_cell_centres": Case(river_depth_from_netcdf, river_depth_file(centres=True),
                                        days=1, like=Reference()),
    "rain_10_km_east": Case(
        rain_from_netcdf, rain_file(east=10000.0), code=22,
        words="the netCDF grid input/rain.nc<rain>0 does not lie on the model grid: its "
              "coordinates x run from 2710000 to 2712300 and y from 1201900 to 1200000, but the "
              "model grid's 24 columns and 20 rows of cells of 100 have their western edges at "
              "x = 2700000 ... 2702300",
        check_outputs=nothing_written),
    "river_depth_10_km_east": Case(
        river_depth_from_netcdf, river_depth_file(east=10000.0), days=1, code=22,
        words="the netCDF grid input/river_depth.nc<depth>0 does not lie on the model grid",
        check_outputs=nothing_written),
    "dated_rain_shorter_than_the_period": Case(
        rain_from_netcdf, rain_file(records=72), days=4, code=73,
        words="the netCDF file input/rain.nc holds no record of rain for the step of 2021-03-04 "
              "00:00 (interpolation of precipitation): the run from 2021-03-01 00:00 to "
              "2021-03-04 23:00 has 96 steps of 60 minutes, the file 72 records from 2021-03-01 "
              "00:00 to 2021-03-03 23:00 by its time coordinate",
        check_outputs=nothing_written),
    "undated_rain_shorter_than_the_period": Case(
        rain_from_netcdf, rain_file(records=72, units=None), days=4, code=73,
        words="has 96 steps of 60 minutes, the file 72 records and no time coordinate",
        check_outputs=nothing_written),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
