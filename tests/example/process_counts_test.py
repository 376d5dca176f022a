#!/usr/bin/env python3
"""horva gives the same results on any number of processes.

Each row edits a small copy of the example (settings the example itself does
not use) and runs it on one process and on two or three: every run ends with
status 0 and writes the same output files, byte for byte, or every run ends
with the same code and message.
"""

import math
import os
import sys

import example_test as ex
import small_catchment as small
from small_catchment import Case, Then


def observed_discharge(days):
    """An input edit: input/observed.txt, hourly discharges of the three
    subbasins from 2021-03-01 00:00 for `days` days."""
    def edit(folder):
        with open(os.path.join(folder, "observed.txt"), "w") as f:
            f.write("YY\tMM\tDD\tHH\t1\t2\t3\n")
            for step in range(24 * days):
                f.write("2021\t3\t%d\t%d" % (1 + step // 24, step % 24) +
                        "".join("\t%.3f" % (0.2 * k + 0.1 * math.sin(step / 5.0 + k))
                                for k in (1, 2, 3)) + "\n")
    return edit


def with_observed(text):
    """[routing_model] compares every subbasin with input/observed.txt."""
    return ex.replace_once("none  no observed discharge\n0     column descriptors of observed discharge\n",
                           "input/observed.txt  observed discharge\n3  column descriptors\n"
                           "1 1  subbasin, column\n2 2\n3 3\n")(text)


def kolmation_everywhere(value):
    """An input edit: every cell of gw_kolmation_1.asc leaks with value."""
    def edit(folder):
        path = os.path.join(folder, "gw_kolmation_1.asc")
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(text.replace("1e-08", value))
    return edit


def response_units(text):
    """Spin-up over one repetition, the cells of a soil type forming one
    response unit: units that reach over several strips."""
    text = ex.replace_once("24  number of grids: file, name, keys\n",
                           "25  number of grids: file, name, keys\n"
                           "soil.asc  HydrologicResponseUnits  fillcode = 0 readcode = 1\n")(text)
    return ex.replace_once("[SpinUp]\n0  no spin-up\n",
                           "[SpinUp]\n1  spin-up\n0  no temperature pre-spin-up\n"
                           "1  repetition\n0  units from HydrologicResponseUnits\n")(text)


def ponding_reread(text):
    """The ponding grid (in m) re-read at 11:00 of every day from
    ponding.asc_YYYYMMDDHH, its set-up values back three steps later."""
    return ex.replace_once("statcode = 2024\n", "statcode = 2024 writecode = 2 periodicity = 1 D "
                           "12 persistent = 0 3\n")(text)


def doubled_ponding_copies(folder):
    with open(os.path.join(folder, "ponding.asc")) as f:
        lines = f.read().splitlines()
    text = "\n".join(lines[:6] + [" ".join(v if v == "-9999" else repr(2 * float(v))
                                            for v in line.split()) for line in lines[6:]]) + "\n"
    for step in range(24 * 3):
        with open(os.path.join(folder, "ponding.asc_202103%02d%02d" % (1 + step // 24, step % 24)),
                  "w") as f:
            f.write(text)


def ponding_in_mm(work):
    """On 1 March the ponding holds its set-up value in mm, twice that from
    the re-read at 11:00 to 13:00, and the set-up value again from 14:00."""
    def values(hour):
        with open(os.path.join(work, "output", "ponding_20210301.%02d00" % hour)) as f:
            return [float(v) for line in f.read().splitlines()[6:] for v in line.split() if v != "-9999"]
    before = values(10)
    ex.check(min(before) > 1.0, "the set-up ponding is not in mm: %g" % min(before))
    for hour, factor in ((11, 2.0), (13, 2.0), (14, 1.0), (15, 1.0)):
        wrong = [a for a, b in zip(values(hour), before) if abs(a - factor * b) > 1e-9 * b]
        ex.check(not wrong, "at %02d:00 the ponding holds %g, not %g times the set-up value in mm"
                 % (hour, wrong[0] if wrong else 0, factor))


def criteria_written(work):
    """Routing alone appended the efficiency criteria of every subbasin."""
    with open(os.path.join(work, "output", "routed_alone.stat")) as f:
        lines = f.read().splitlines()
    rows = [line for line in lines if line[:4].isdigit()]
    ex.check(len(rows) == 48, "routing alone routed %d steps, not 48" % len(rows))
    criteria = [line.split("\t") for line in lines[3 + len(rows):] if "\t" in line]
    ex.check(len(criteria) == 4 * 21 and all(len(c) == 5 for c in criteria),
             "routing alone wrote %d lines of criteria" % len(criteria))


CASES = {
    # Routing alone on what a run wrote, with observed discharge beside its
    # runoff: each file keeps its own date.
    "routing_alone_observed": Case(
        edit_input=observed_discharge(3), processes=(1, 2),
        then=Then("routing.ctl", with_observed, ("-mode:routing",)),
        check_outputs=criteria_written),
    "routing_alone_observed_ends": Case(
        edit_input=observed_discharge(1), processes=(1, 3),
        then=Then("routing.ctl", with_observed, ("-mode:routing",)),
        words="not found (end of discharge file at 1.3.2021, 23h)", level=3),
    # The leakage of one cell swings, on the last of three strips.
    "groundwater_swinging_leakage_elsewhere": Case(
        edit_input=ex.spoil_grid_value("gw_kolmation_1.asc", 3, 8, "1e-4"), processes=(1, 3),
        words="gw_kolmation_1 * time step / storage coefficient is 7.2 at row 3, column 8;"),
    # Every cell swings alike: the first in row order is named.
    "groundwater_swinging_leakage_everywhere": Case(
        edit_input=kolmation_everywhere("1e-04"), processes=(1, 3),
        words="gw_kolmation_1 * time step / storage coefficient is 7.2 at row 2, column 5;"),
    "spin_up_response_units": Case(response_units, processes=(1, 2, 3)),
    # The unsaturated zone holds the ponding in mm: a re-read and the
    # restore of the set-up values keep it there.
    "periodic_ponding": Case(ponding_reread, doubled_ponding_copies, processes=(1, 3),
                             check_outputs=ponding_in_mm),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
