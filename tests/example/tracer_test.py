#!/usr/bin/env python3
"""A tracer travels through every module of horva.

The first check a hydrologist makes of solute transport: one tracer that
does not decay and leaves with every water flux ("evaporating"), at
concentration 1 in the rain, in the soil and the aquifer at the start, in
the lakes and reservoirs and in the irrigation water, must stand at 1 in
every store that holds water, in the runoff and in the routed discharge, and
the runs on one and three processes must write the same files.
"""

import glob
import os
import re
import sys

import example_test as ex
import small_catchment as small
from small_catchment import Case

TRACER = ("chloride non_radioactive evaporating min_conc = 0 max_conc = 0 kg/kg soilini = 1 "
          "gwini = 1 statcode = 2001 gridcode = 3 path = ./ statext = stat gridext = asc")
TOLERANCE = 1e-9


def read_grid(path):
    """The values of an ASCII grid as rows of floats, and its nodata value."""
    with open(path) as f:
        lines = f.read().splitlines()
    nodata = float(lines[5].split()[1])
    return [[float(v) for v in line.split()] for line in lines[6:] if line.strip()], nodata


def with_tracer(text):
    """One tracer, concentration 1 in the rain, the reservoirs and the lake."""
    text = ex.replace_once("[substance_transport]\n0  number of tracers\n",
                           "[substance_transport]\n1  number of tracers\n%s\n" % TRACER)(text)
    text, count = re.subn(r"^(\d+)(  number of grids: file, name, keys)$",
                          lambda m: "%d%s" % (int(m.group(1)) + 1, m.group(2)), text, flags=re.M)
    ex.check(count == 1, "no count of standard grids")
    text = ex.replace_once("\n\n[variable_grids]",
                           "\nones.asc  concflux_tracer_1_input  fillcode = 0 readcode = 1"
                           "\n\n[variable_grids]")(text)
    text, count = re.subn(r"C0 = 0 0 0 0 0 0 0 0 0", "C0 = 1 0 0 0 0 0 0 0 0", text)
    ex.check(count == 2, "the reservoir and the lake have no C0")
    # Sprinkling from groundwater every day of March.
    return ex.replace_once("starting from 5 10 with 12 mm to 6 28 with 12 mm every 6 day",
                           "starting from 3 1 with 12 mm to 3 28 with 12 mm every 1 day")(text)


def without_layered_snow(text):
    return ex.replace_once("[LayeredSnowModel]\n1", "[LayeredSnowModel]\n0")(text)


def without_lakes(text):
    return ex.replace_once("[lake_model]\n1 ", "[lake_model]\n0 ")(text)


def ones(folder):
    """A grid of 1 wherever the zone grid has a cell."""
    with open(os.path.join(folder, "zones.asc")) as f:
        lines = f.read().splitlines()
    nodata = lines[5].split()[1]
    body = [" ".join(v if v == nodata else "1" for v in line.split()) for line in lines[6:]]
    with open(os.path.join(folder, "ones.asc"), "w") as f:
        f.write("\n".join(lines[:6] + body) + "\n")


def soil_thickness(work):
    """Per soil code the thickness of its layers (m), from the control file."""
    with open(os.path.join(work, ex.CONTROL_FILE)) as f:
        text = f.read()
    section = text.split("[soil_table]")[1].split("\n[")[0]
    return {int(code): [float(v) for v in thick.split()]
            for code, thick in re.findall(r"^(\d+) [^{]*\{[^}]*?thickness = ([\d. ]+);", section,
                                          flags=re.M | re.S)}


def off_one(values):
    """The values that are not 1 within the tolerance."""
    return [v for v in values if abs(v - 1.0) > TOLERANCE]


def grid_values(work, name, where=None):
    """The values of an output grid on cells with data (and where `where`
    holds a positive value, when given)."""
    values, nodata = read_grid(os.path.join(work, "output", name))
    mask = read_grid(os.path.join(work, "output", where))[0] if where else None
    return [v for i, row in enumerate(values) for j, v in enumerate(row)
            if v != nodata and (mask is None or mask[i][j] > 0.0)]


def statistic_rows(path):
    """The rows of a statistics file: date and the value of every subbasin
    (the column of the total left out)."""
    with open(path) as f:
        header = f.readline().split()
        rows = [line.split() for line in f if line[:1].isdigit()]
    subbasins = len([h for h in header if h.startswith('"')])
    return {tuple(row[:4]): [float(v) for v in row[4:4 + subbasins]] for row in rows}


def concentrations_with_water(work, concentration, water):
    """The concentrations of a statistics file where its water statistic
    shows runoff."""
    out = os.path.join(work, "output")
    conc, flow = statistic_rows(os.path.join(out, concentration)), statistic_rows(
        os.path.join(out, water))
    ex.check(conc.keys() == flow.keys(), "%s and %s cover other steps" % (concentration, water))
    return [c for date in conc for c, q in zip(conc[date], flow[date]) if q > 0.0]


def table_concentrations(work, name):
    """The tracer column (the last) of a reservoir table."""
    with open(os.path.join(work, "output", name)) as f:
        return [float(line.split()[-1]) for line in f if line[:4].isdigit()]


def check_concentration_one(work):
    written = sorted(os.listdir(os.path.join(work, "output")))
    faults = []

    def expect(label, values, may_be_empty=False):
        ex.check(values or may_be_empty, "%s: no values (written: %s)" % (label, " ".join(written)))
        wrong = off_one(values)
        if wrong:
            faults.append("%s: %d of %d values differ from 1, e.g. %s" %
                          (label, len(wrong), len(values), wrong[:5]))

    # The stores where they hold water, at the end of the run.
    expect("interception store", grid_values(work, "chlinter.asc", "intercept.asc"))
    expect("snow store", grid_values(work, "chlsnow_.asc", "swe.asc"))
    if os.path.exists(os.path.join(work, "output", "chlsnowp.asc")):
        expect("snow layers", grid_values(work, "chlsnowp.asc", "swe.asc"))
    expect("water to the soil", grid_values(work, "chlinter_flux.asc"))
    expect("top soil layer", grid_values(work, "chlunsat.asc"))
    expect("water on the land", grid_values(work, "chlSilti.asc", "SurfStorSiltingUp"), True)
    for layer in (1, 2):
        expect("aquifer layer %d" % layer, grid_values(work, "chl%dgrou.asc" % layer))
    # Every step's runoff, routed discharge and reservoirs.
    for concentration, water in (("chlunsat.stat", "qg.stat"), ("chlSurfa.stat", "qgsr.stat"),
                                 ("chlrouti.stat", "routed.stat")):
        expect(concentration, concentrations_with_water(work, concentration, water))
    expect("reservoir", table_concentrations(work, "reservoir_1.txt"))
    if faults:
        raise ex.Failure("\n".join(faults))


def every_module(text):
    return with_tracer(text)


def every_module_but_lakes(text):
    return without_lakes(with_tracer(text))


def without_layered_snow_nor_lakes(text):
    return without_layered_snow(without_lakes(with_tracer(text)))


# Lakes with tracers run on one process only.
CASES = {
    "every_module": Case(every_module, ones, days=3, processes=(1,),
                         check_outputs=check_concentration_one),
    "every_module_but_lakes": Case(every_module_but_lakes, ones, days=3, processes=(1, 3),
                                   check_outputs=check_concentration_one),
    "single_layer_snow": Case(without_layered_snow_nor_lakes, ones, days=3, processes=(1, 3),
                              check_outputs=check_concentration_one),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
