#!/usr/bin/env python3
"""horva's messages name the fault, the place and the module, and the grid
files a user brings are read as the reference says: each row edits a small
copy of the example and runs it on one and on two processes."""

import os
import re
import subprocess
import sys

import balance_closure_test as bc
import process_counts_test as pc
import small_catchment as small
from small_catchment import Case, Reference


def read_ascii(path):
    """The header (key, value) pairs and the rows of an ASCII grid."""
    with open(path) as f:
        words = [line.split() for line in f if line.strip()]
    return words[:6], words[6:]


replace = small.ex.replace_once


def add_standard_grid(line):
    """One more line in [standard_grids], its count raised by one."""
    def edit(text):
        match = re.search(r"^\[standard_grids\]\n(\d+)", text, flags=re.M)
        count = int(match.group(1))
        return (text[:match.start(1)] + str(count + 1) + text[match.end(1):].replace(
            "\n", "\n" + line + "\n", 1))
    return edit


def flow_times_with_a_hole(folder):
    """flow_times.asc: 1 on every cell of the catchment but the first."""
    head, rows = read_ascii(os.path.join(folder, "zones.asc"))
    hole = True
    with open(os.path.join(folder, "flow_times.asc"), "w") as f:
        f.write("".join("%s %s\n" % tuple(h) for h in head))
        for row in rows:
            cells = []
            for value in row:
                inside = value != head[5][1]
                cells.append(head[5][1] if not inside or hole else "1")
                hole = hole and not inside
            f.write(" ".join(cells) + "\n")


def zones_as_netcdf(folder):
    """zones.nc with the variable "zones" (t, y, x) and the coordinates that
    horva writes: the western and southern edges of the cells."""
    head, rows = read_ascii(os.path.join(folder, "zones.asc"))
    ncols, nrows = int(head[0][1]), int(head[1][1])
    xll, yll, size = float(head[2][1]), float(head[3][1]), float(head[4][1])
    cdl = ["netcdf zones {", "dimensions:", "t = 1 ;", "y = %d ;" % nrows, "x = %d ;" % ncols,
           "variables:", "double x(x) ;", "double y(y) ;", "double zones(t, y, x) ;",
           "zones:_FillValue = %s ;" % head[5][1], "data:",
           "x = %s ;" % ", ".join(str(xll + i * size) for i in range(ncols)),
           "y = %s ;" % ", ".join(str(yll + (nrows - 1 - i) * size) for i in range(nrows)),
           "zones = %s ;" % ", ".join(v for row in rows for v in row), "}"]
    subprocess.run(["ncgen", "-o", os.path.join(folder, "zones.nc")], input="\n".join(cdl),
                   text=True, check=True)


def soil_as_ehdr(folder):
    """soil.bil and soil.hdr as GDAL's EHdr driver writes them: a grid of
    floats without a header of its own, its first row nodata."""
    subprocess.run(["gdal_translate", "-q", "-of", "EHdr", "-ot", "Float32",
                    os.path.join(folder, "soil.asc"), os.path.join(folder, "soil.bil")],
                   check=True)


def vrt_of_double_grid(folder, name):
    """The VRT that the user guide gives for horva's binary grid of doubles
    name, from the values of its header."""
    import struct
    with open(os.path.join(folder, name), "rb") as f:
        head = struct.unpack("<12d", f.read(96))
    ncols, nrows, xll, yll, size = int(head[0]), int(head[1]), head[2], head[3], head[4]
    return ("<VRTDataset rasterXSize=\"%d\" rasterYSize=\"%d\">\n"
            "  <GeoTransform>%r, %r, 0, %r, 0, %r</GeoTransform>\n"
            "  <VRTRasterBand dataType=\"Float64\" band=\"1\" subClass=\"VRTRawRasterBand\">\n"
            "    <NoDataValue>-9999</NoDataValue>\n"
            "    <SourceFilename relativeToVRT=\"1\">%s</SourceFilename>\n"
            "    <ImageOffset>96</ImageOffset>\n    <PixelOffset>8</PixelOffset>\n"
            "    <LineOffset>%d</LineOffset>\n    <ByteOrder>LSB</ByteOrder>\n"
            "  </VRTRasterBand>\n</VRTDataset>\n" %
            (ncols, nrows, xll, size, yll + nrows * size, -size, name, 8 * ncols))


def gdal_reads_the_doubles(work):
    """GDAL reads etp.asc, written as doubles, through the guide's VRT: the
    same values and the same corner."""
    import struct
    folder = os.path.join(work, "output")
    with open(os.path.join(folder, "etp.vrt"), "w") as f:
        f.write(vrt_of_double_grid(folder, "etp.asc"))
    out = os.path.join(folder, "etp_gdal.asc")
    subprocess.run(["gdal_translate", "-q", "-of", "AAIGrid", os.path.join(folder, "etp.vrt"), out],
                   check=True)
    with open(os.path.join(folder, "etp.asc"), "rb") as f:
        data = f.read()
    head = struct.unpack("<12d", data[:96])
    cells = struct.unpack("<%dd" % (int(head[0]) * int(head[1])), data[96:])
    gdal_head, gdal_rows = read_ascii(out)
    small.ex.check([float(v) for _, v in gdal_head[2:4]] == [head[2], head[3]],
                   "GDAL puts the corner at %s, horva at %s" % (gdal_head[2:4], head[2:4]))
    read = [float(v) for row in gdal_rows for v in row]
    small.ex.check(len(read) == len(cells) and
                   all(abs(a - b) <= 1e-12 * max(1.0, abs(b)) for a, b in zip(read, cells)),
                   "GDAL reads other values than horva wrote")


def outlet_in_mm(work):
    """scripts/outlet-summary.sh gives the water at the outlet in mm over the
    catchment: the sum of the routed discharge of subbasin 1, which
    routed.stat gives in mm over the whole catchment, and the supply's m3 over
    the zone grid's area."""
    script = os.path.join(small.ex.ROOT, "scripts", "outlet-summary.sh")
    line = subprocess.run([script, work], stdout=subprocess.PIPE, text=True, check=True).stdout
    found = re.search(r"\(([\d.]+) km2\).*\(([\d.]+) mm over the catchment\).*\(([\d.]+) mm\) at "
                      r"the outlet, (\d+) m3 \(([\d.]+) mm\) through", line)
    small.ex.check(found, "the summary gives no volumes in mm: %s" % line)
    head, rows = read_ascii(os.path.join(work, "input", "zones.asc"))
    area = sum(v != head[5][1] for row in rows for v in row) * float(head[4][1]) ** 2 / 1e6
    with open(os.path.join(work, "output", "routed.stat")) as f:
        outlet = sum(float(line.split()[4]) for line in f.read().splitlines()[3:])
    supplied = float(found.group(4)) / (area * 1000.0)
    for got, expected, what in ((float(found.group(3)), outlet, "at the outlet"),
                                (float(found.group(5)), supplied, "through the supply"),
                                (float(found.group(2)), outlet + supplied, "in all")):
        small.ex.check(abs(got - expected) <= 0.006, "%s: %.2f mm, not %.4f mm: %s" %
                       (what, got, expected, line))


# A raster of cells of 250 m whose corner lies 30 m west and south of the
# model's (cells of 100 m): no model cell's centre lies on one of its borders.
COARSE_CELL, COARSE_SHIFT = 250.0, 30.0


def coarse_geometry(head):
    """(ncols, nrows, xll, yll) of the coarse raster over the model grid."""
    ncols, nrows = int(head[0][1]), int(head[1][1])
    xll, yll, size = float(head[2][1]), float(head[3][1]), float(head[4][1])
    return (int(-(-(ncols * size + COARSE_SHIFT) // COARSE_CELL)),
            int(-(-(nrows * size + COARSE_SHIFT) // COARSE_CELL)),
            xll - COARSE_SHIFT, yll - COARSE_SHIFT)


def holding_cell(head, r, c):
    """The coarse cell (row from the north, column, from 0) that holds the
    centre of model cell (r, c), counted from 1."""
    nrows, size = int(head[1][1]), float(head[4][1])
    ccols, crows, cxll, cyll = coarse_geometry(head)
    x = float(head[2][1]) + (c - 0.5) * size
    y = float(head[3][1]) + (nrows - r + 0.5) * size
    return crows - 1 - int((y - cyll) // COARSE_CELL), int((x - cxll) // COARSE_CELL)


def coarse_codes(head, rows):
    """Per coarse cell, the most frequent code of the model cells it holds
    (the smallest of equally frequent ones), or nodata."""
    counts = {}
    for r, row in enumerate(rows, 1):
        for c, value in enumerate(row, 1):
            if value != head[5][1]:
                cell = counts.setdefault(holding_cell(head, r, c), {})
                cell[int(value)] = cell.get(int(value), 0) + 1
    return {cell: min(codes, key=lambda code: (-codes[code], code)) for cell, codes in counts.items()}


def code_maps(names, coarse):
    """An input edit: the code grids of `names` as coarse rasters, or (not
    coarse) on the model grid with every cell taking the code of the coarse
    cell under its centre."""
    def edit(folder):
        for name in names:
            path = os.path.join(folder, name)
            head, rows = read_ascii(path)
            codes = coarse_codes(head, rows)
            nodata = head[5][1]
            if coarse:
                ncols, nrows, xll, yll = coarse_geometry(head)
                lines = ["ncols %d" % ncols, "nrows %d" % nrows, "xllcorner %r" % xll,
                         "yllcorner %r" % yll, "cellsize %r" % COARSE_CELL, "nodata_value " + nodata]
                lines += [" ".join(str(codes.get((i, j), nodata)) for j in range(ncols))
                          for i in range(nrows)]
            else:
                lines = ["%s %s" % tuple(h) for h in head]
                lines += [" ".join(str(codes.get(holding_cell(head, r, c), nodata))
                                   for c in range(1, len(row) + 1))
                          for r, row in enumerate(rows, 1)]
            with open(path, "w") as f:
                f.write("\n".join(lines) + "\n")
    return edit


CODE_MAPS = ("soil.asc", "landuse.asc")


def names_the_shift_that_ends_a_day(work):
    """The warning tells the user what to set."""
    warned = [t for t in small.warning_entries(work) if "min_to_int_end" in t]
    small.ex.check(any("Set min_to_int_end (the fourth value of [output_interval]) to 60," in t
                       for t in warned),
                   "no WARNING says to set min_to_int_end to 60: %s" % warned)

# With groundwater the baseflow QB is what the aquifer gives the river
# cells, which only the exchange with the rivers computes.
NO_RIVER = "the aquifer reaches no river but through the soil's surface"


def baseflow_sums(work):
    """Each subbasin's QB (qb.stat) summed over the run, mm."""
    with open(os.path.join(work, "output", "qb.stat")) as f:
        rows = [[float(v) for v in line.split("\t")[4:-1]] for line in f.read().splitlines()[3:]]
    small.ex.check(rows, "qb.stat holds no step")
    return [sum(column) for column in zip(*rows)]


def baseflow_stays_zero(work):
    qb = baseflow_sums(work)
    small.ex.check(all(v == 0.0 for v in qb), "QB is %s mm, not 0, as the warning says" % qb)


def rivers_take_the_aquifer_without_warning(work):
    warned = [t for t in small.warning_entries(work) if NO_RIVER in t]
    small.ex.check(not warned, "a WARNING with river exchange on: %s" % warned)
    qb = baseflow_sums(work)
    small.ex.check(any(v > 0.0 for v in qb), "the aquifer gave the rivers no baseflow: %s" % qb)


CASES = {
    # The radiation coefficients' sum, in the user's language, with its line.
    "radiation coefficients beyond 1 named": Case(
        edit_control=replace("0.2 0.6 0.2 0  CR", "0.2 0.6 0.3 0  CR"), code=10,
        words="section [evapotranspiration]: the coefficients CR of global radiation from sunshine "
              "duration (line 228 of catchment.ctl) must sum to 1 (within 0.01), but CR0 + CR1 + "
              "CR2 + CR3 = 0.2 + 0.6 + 0.3 + 0 = 1.1"),
    # Haude takes the humidity at 14:00: the day's, which the run has, does
    # not do.
    "Haude without the afternoon's humidity named": Case(
        edit_control=lambda text: small.ex.replace_lines(text, (
            (r"^\[multilayer_landuse\]\n(?:.+\n)*\n", "", 1),
            (r"^1   method: 1 Penman-Monteith.*$", "4   method: Haude", 1))), code=46,
        words="evapotranspiration method 4 of [evapotranspiration] (Haude, from the values at "
              "14:00) requires the relative air humidity \"air_humidity_14\" (1/1) or the vapor "
              "pressure \"vapor_pressure_14\" (hPa), a meteorological variable of [meteo_names]; "
              "the run has air_humidity, which this method does not take"),
    # A missing flow-time grid is a note of the INFO level, in the module's
    # own words.
    "missing flow times noted": Case(
        days=1, level=3, words="Warning! There was no flow travel time grid for surface runoff "
        "read in;All surface runoof will be routed immediately to the outlet of the sub-basin"),
    # The river cells' exchange needs the riverbed's leakage: the message
    # says so, not that an interpolator is missing.
    "river exchange without kolmation named": Case(
        edit_control=replace("0     surface water interaction off", "1     surface water interaction"),
        code=33, words="the grid \"kolmation\" is missing: the surface water interaction 1 of "
        "[unsatzon_model] in catchment.ctl (line 376 of catchment.ctl) lets the river cells "
        "exchange water with the soil, which needs the standard grids river_depth (m), river_width "
        "(m), river_links (the subbasin whose channel a cell holds) and kolmation"),
    # What is missing, in the user's words, not an array's address.
    "irrigation without routing named": Case(
        edit_control=replace("[routing_model]\n1     on", "[routing_model]\n0     on"), code=60,
        words="[irrigation] of catchment.ctl is on, but channel routing is off ([routing_model] "
              "missing or its first line 0): irrigation takes its water through channel "
              "routing, which gives the water its channels hold for the fields; switch "
              "[routing_model] on, or [irrigation] off"),
    # The example's summary gives what left the catchment in mm as well.
    "outlet volumes in mm over the catchment": Case(days=1, processes=(1,),
                                                    check_outputs=outlet_in_mm),
    # The user guide's VRT makes GDAL read horva's grids of doubles, which
    # an EHdr header cannot describe.
    "double grid read by GDAL through the guide's VRT": Case(
        edit_control=replace("WriteAsciiGrids = 1", "WriteDoubleGrids = 1"), days=1,
        processes=(1,), check_outputs=gdal_reads_the_doubles),
    # The last grid line beyond the count: named, not read; the groundwater
    # then misses the grid.
    "standard grid beyond the count named": Case(
        edit_control=replace("24  number of grids", "23  number of grids"), code=33, level=2,
        words="[standard_grids], line 77 of catchment.ctl reads \"gw_kolmation_1.asc  "
              "gw_kolmation_1  fillcode = 0 readcode = 1\": this line reads as a standard grid, "
              "but the section's count is 23, so it is not read"),
    "tuning value not a number": Case(
        edit_control=lambda text: text + "\n[unsatzon_tuning]\nmax_error = abc\n", code=17,
        words="the value of max_error in [unsatzon_tuning] of "),
    "Hamon factor not a number": Case(
        edit_control=replace("HamonCorrectionOpenWater = 1.0", "HamonCorrectionOpenWater = abc"),
        code=17, words="the value of HamonCorrectionOpenWater in [evapotranspiration] of "),
    # The unsaturated zone refuses it in its tracer set-up, after irrigation
    # has been built.
    "flow time missing names its module": Case(
        edit_control=add_standard_grid(
            "flow_times.asc  flow_times  fillcode = 0 readcode = 1"),
        edit_input=flow_times_with_a_hole, code=6,
        words="exception 6 caught in ModellApplication::init (building unsatzon_model)"),
    "zone grid from netCDF": Case(
        edit_control=replace("\nzones.asc  subbasin codes", "\nzones.nc<zones>0  subbasin codes"),
        edit_input=zones_as_netcdf),
    "EHdr grid named in the message": Case(
        edit_control=replace("soil.asc     soil_types", "soil.bil     soil_types"),
        edit_input=soil_as_ehdr, code=22,
        words="soil.hdr beside it marks a file of the EHdr layout"),
    # Hourly stamps 0 to 23 without min_to_int_end never end a day: the
    # daily sums would hold the whole run.
    "daily outputs whose day never ends": Case(
        edit_control=replace("60  min_to_int_end", "0   min_to_int_end"),
        words="no step of 1.3.2021 ended the day: its steps carry the hour stamps 0:00 to 23:00, "
              "and with min_to_int_end 0 of [output_interval]",
        check_outputs=names_the_shift_that_ends_a_day),
    # Codes are never blended: a coarse soil and land-use map gives what the
    # same maps resampled by the nearest cell beforehand give.
    "coarse code maps take the nearest cell": Case(
        edit_input=code_maps(CODE_MAPS, True),
        words="resampled onto the model grid of 24 columns x 20 rows of cells of 100 from "
              "(2.7e+06, 1.2e+06) by the nearest cell", level=3,
        like=Reference(edit_input=code_maps(CODE_MAPS, False))),
    # The example runs its aquifer without river exchange: QB stays 0, and
    # the user is told so at set-up.
    "groundwater without river exchange feeds no river": Case(
        words="[groundwater_flow] is on and the surface water interaction parameter (line 4 of "
              "[unsatzon_model]) is 0: " + NO_RIVER, check_outputs=baseflow_stays_zero),
    "groundwater with river exchange feeds the rivers": Case(
        edit_control=bc.river_interaction(1), edit_input=pc.river_link_input,
        check_outputs=rivers_take_the_aquifer_without_warning),
    # A lake the soil holds alone, which may be an SP left out.
    "lake code that no SP names": Case(
        edit_control=pc.lake_without_sp, shape=(31, 31),
        words="the grid lake_codes holds the code 1 in 5 cells (the first at row 27, column 13), "
              "which no SP of the routing description names"),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
