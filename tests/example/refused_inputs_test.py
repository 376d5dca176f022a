#!/usr/bin/env python3
"""horva refuses control-file values that would create or destroy water.

Each row edits one value of a small copy of the example and runs it on one
and on two processes: the run ends with the row's code and a FATAL entry
that names the section, the label and the value (or, for a value that is
merely unusual, runs with a WARNING that names it). The unedited copy runs
with status 0.
"""

import os
import re
import sys

import example_test as ex
import small_catchment as small
from small_catchment import Case


# --- interception, evapotranspiration, snow, unsaturated zone, groundwater ---

def with_deposition(text):
    """Snow method 11 (method 5 with wind deposition) and its standard grid."""
    text = ex.replace_once("5     method: energy", "11    method: energy")(text)
    text = ex.replace_once("24  number of grids", "25  number of grids")(text)
    return text.replace("\ngw_kolmation", "\ndeposition_index.asc deposition_index fillcode = 0 "
                        "readcode = 1\ngw_kolmation")


def deposition_index(value, other=None):
    """deposition_index.asc: value in the catchment, other at row 15, column 6."""
    def edit(folder):
        with open(os.path.join(folder, "zones.asc")) as f:
            lines = f.read().splitlines()
        rows = [" ".join(w if w == "-9999" else other if (r, c) == (15, 6) and other else value
                         for c, w in enumerate(line.split(), 1)) for r, line in enumerate(lines[6:], 1)]
        with open(os.path.join(folder, "deposition_index.asc"), "w") as f:
            f.write("\n".join(lines[:6] + rows) + "\n")
    return edit


def refused(section, label, value, code, line):
    """value in place of the first word of the line whose free text starts
    with `line` (or the edit `line`)."""
    def edit(text):
        text, count = re.subn(r"^\S+(\s+%s)" % re.escape(line), value + r"\1", text, flags=re.M)
        ex.check(count == 1, "the control file has no line \"... %s\"" % line)
        return text
    return Case(edit if isinstance(line, str) else line, code=code,
                words="section [%s]: the value %s of \"%s\"" % (section, value, label))


def tuning(line):
    return lambda text: text + "\n[unsatzon_tuning]\n%s\n" % line


def bad_cell(grid, value, edit_control=None, edit_input=None):
    """A value at row 15, column 6: in the catchment, in rank 0's strip on two processes."""
    return Case(edit_control, edit_input or ex.spoil_grid_value(grid + ".asc", 15, 6, value), code=10,
                words="grid \"%s\" holds %s at row 15, column 6" % (grid, value))


VERTICAL_AND_LATERAL = {
    "interception_negative_storage": refused(
        "interception_model", "parameter interception storage maximum water layer thickness for ",
        "-0.35", 17, "storage per unit leaf area"),
    "evapotranspiration_negative_tau0": refused(
        "evapotranspiration", "transmissivity tau0 and tau1 for ", "-0.7", 10, "0.05  transmissivity"),
    "snow_negative_cwh": refused("snow_model", "CWH for ", "-0.1", 17, "CWH:"),
    "snow_albedo_above_one": refused("snow_model", "ALBsnow_max for ", "1.2", 17, "ALBsnow_max"),
    "snow_albedo_min_above_max": refused("snow_model", "ALBsnow_min for ", "0.95", 17, "ALBsnow_min"),
    "snow_negative_transzone": refused("snow_model", "transzone for ", "-0.75", 17, "transzone:"),
    "snow_deposition_below_minus_one": bad_cell("deposition_index", "-1.5", with_deposition,
                                                deposition_index("0", "-1.5")),
    # Merely unusual: snow may drift out of a catchment.
    "snow_deposition_mean_not_zero": Case(with_deposition, deposition_index("0.2"),
                                          words="\"deposition_index\" has a catchment mean of 0.2, not 0"),
    "unsatzon_readgrid_4": refused("unsatzon_model", "read control parameter for storage grids for ", "4",
                                   17, "readgrid: 0 cold start"),
    "unsatzon_negative_channel_density": Case(ex.replace_once("1 1 1  channel", "1 -1 1  channel"),
                                              code=10, words="density[2] is -1 in [unsatzon_model]"),
    "unsatzon_negative_max_error": refused("unsatzon_tuning", "max_error", "-1e-05", 17,
                                           tuning("max_error = -1e-05")),
    "unsatzon_no_iterations": refused("unsatzon_tuning", "max_iterations", "0", 17,
                                      tuning("max_iterations = 0")),
    "groundwater_method_3": refused("groundwater_flow", "method in ", "3", 17, "method: successive"),
    "groundwater_sor_2": refused("groundwater_flow", "sor-parameter in ", "2", 17, "sor-parameter"),
    "groundwater_kolmation_nodata": bad_cell("gw_kolmation_1", "-9999"),
    "groundwater_negative_kolmation": bad_cell("gw_kolmation_1", "-1e-08"),
}

# --- end of interception ... groundwater ---

def snow_types(count):
    return ex.replace_once("1     number of snow types", "%d     number of snow types" % count)


CASES = {
    "unedited": Case(),
    "no_snow_type": Case(snow_types(0), code=30, words="the number of snow types in "
                         "[LayeredSnowProperties] of catchment.ctl.intern is 0"),
    "negative_snow_types": Case(snow_types(-2), code=30, words="the number of snow types in "
                                "[LayeredSnowProperties] of catchment.ctl.intern is -2"),
}
CASES.update(VERTICAL_AND_LATERAL)

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
