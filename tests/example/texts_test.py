#!/usr/bin/env python3
"""horva's messages name the fault, the place and the module, and the grid
files a user brings are read as the reference says: each row edits a small
copy of the example and runs it on one and on two processes."""

import os
import re
import subprocess
import sys

import small_catchment as small
from small_catchment import Case


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


CASES = {
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
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
