#!/usr/bin/env python3
"""The water balance closes with the modules and methods the example does not use,
and with its channels, lakes and reservoirs.

Each row edits a small copy of the example, adds `[water_balance]` and runs
it on one process and on two or three: every step of every subbasin and of
the catchment closes to 1e-9 of the water that passed (with the channels
to CHANNEL_TOLERANCE), and the term the row is about moved water.
"""

import os
import sys

import example_test as ex
import process_counts_test as counts
import small_catchment as small
from small_catchment import Case


def with_balance(*edits):
    """The edits and the balance of the land and its runoff concentration:
    the aquifer, the channels (and with them the lakes and irrigation) keep
    balances of their own."""
    def edit(text):
        text = ex.switched_off(text, "groundwater_flow", "routing_model", "lake_model",
                               "irrigation")
        for e in edits:
            text = e(text)
        return text + ex.BALANCE_SECTION
    return edit


def with_channels(*off):
    """The example's modules with channel routing, its lakes and reservoirs,
    but those named off, and the balance."""
    return lambda text: ex.switched_off(text, *off) + ex.BALANCE_SECTION


def closes(*moved, tolerance=1e-9):
    """Every step and zone closes, and each term of moved changed."""
    def check(work):
        terms = ex.balance_rows(work + "/output")
        for term in moved:
            ex.check(term in terms and any(v != 0.0 for row in terms[term] for v in row),
                     "%s never moved water" % term)
        ex.check_closure(terms, tolerance)
    return check


# Routing turns mm into m^3/s with 16.6666667 for 1000/60, 2.0e-9 too much:
# what a reservoir or lake takes in gains that share, what it gives off
# loses it.
CHANNEL_TOLERANCE = 2e-9


def canopy_snow(method):
    """Interception with the canopy's snow (above 30 with its energy balance)."""
    lines = "".join("sc%d.asc\n0\nsc%d.stat 0\n" % (k, k) for k in range(10)) + "0.5\n0.05\n1.0\n"
    lines += "".join("ceb%d.asc\n0\nceb%d.stat 0\n" % (k, k) for k in range(4 if method > 30 else 0))
    return lambda text: ex.replace_lines(text, (
        (r"^1   method\n(throughfall\.asc)", "%d  method\n\\1" % method),
        (r"^(0   interception readgrid\n)", "\\g<1>" + lines)))


def surface_method(method, flow_control=1):
    return lambda text: ex.replace_lines(text, (
        (r"^1  on: the ponded water flows.*$", "%d  on" % flow_control),
        (r"^2  method: the steepest.*$", "%d  method" % method)))


def cold_cloudburst(folder):
    """Ten times the precipitation, 8 K colder: snow falls on the forests."""
    ex.cloudburst(folder)
    ex.scale_station_values(folder, "temperature.txt", lambda v: v - 8.0)


# The lines of a glacier that grows and shrinks, with its annual balance at
# the end of the first day.
DYNAMIC_GLACIER = ("qsnowonglac.stat 0\n0\n1 5000 0.01\n1 3\n28.5 1.36 1 0\nfirnstack.asc\n0\n"
                   "firn.stat 0\nmb.asc\n0\nmbold.asc\n0\nmb1.stat 0\nmb2.stat 0\n1.0\n"
                   "snowglac.stat 0\n" + "".join("g%d.asc\n0\n" % k for k in range(7)) + "1000 0.25\n")


def dynamic_glacier(text):
    text = ex.replace_lines(text, (
        (r"^24  number of grids: file, name, keys$", "25  number of grids"),
        (r"^ice_firn\.asc  ice_firn .*$", "glacier.asc  GlacierizedCells  fillcode = 0 readcode = 1\n"
                                         "glacier_codes.asc  GlacierCodes  fillcode = 0 readcode = 1"),
        (r"^1     Glacier-Method.*$", "11    Glacier-Method"),
        (r"^(qglac\.stat 2024\n)", "\\g<1>" + DYNAMIC_GLACIER),
        (r"^0     snow readgrid:.*$", "1     snow readgrid")))
    return ex.switched_off(text, "SiltingUpModel", "SurfaceRoutingModel")


def glacier_grids(folder):
    """The cells of ice_firn wholly under glacier 1, with 50 mm of snow
    beside it at the start, and snow falling."""
    cold_cloudburst(folder)
    with open(os.path.join(folder, "ice_firn.asc")) as f:
        lines = f.read().splitlines()
    head, rows = lines[:6], [l.split() for l in lines[6:]]
    for name, on, off in (("glacier", 1, 0), ("glacier_codes", 1, 0), ("snowstorage", 50, 0),
                          ("swe", 50, 0), ("liquidstorage", 0, 0), ("snowdays", 0, 0),
                          ("snowage", 0, 0), ("snowtemp", 270, 273), ("surftemp", 270, 273)):
        with open(os.path.join(folder, name + ".asc"), "w") as f:
            f.write("\n".join(head + [" ".join(v if v == "-9999" else str(on if float(v) > 0 else off)
                                                for v in row) for row in rows]) + "\n")


def groundwater_fields(text):
    """The fields watered from groundwater from the first day on."""
    return ex.replace_lines(text, ((r"^(1 sprinkled_fields 2 1 0 0 starting from) 5 10 (.*) 6 28 "
                                    r"(.*) 6 day$", r"\1 3 1 \2 3 2 \3 1 day"),)) + ex.BALANCE_SECTION


def irrigated_from_the_first_step(work):
    irrigation = [row[-1] for row in ex.balance_rows(work + "/output")["irrigation"]]
    ex.check(min(irrigation) > 0.0, "no irrigation in the steps %s" %
             [k + 1 for k, v in enumerate(irrigation) if not v > 0.0])


# Drains 1 m deep every 20 m under the whole catchment.
DRAINS = (("drainage_depth.asc", "drainage_depth", 1.0),
          ("drainage_distance.asc", "drainage_distance", 20.0))


def drained(text):
    text = counts.add_standard_grids(text, ["%s  %s  fillcode = 0 readcode = 1" % (f, n)
                                            for f, n, _ in DRAINS])
    return ex.replace_lines(text, ((r"^0(     no drainage)$", r"1\1"),))


def drains(folder):
    for name, _, value in DRAINS:
        counts.write_grid_like(folder, "zones.asc", name, lambda r, c, z: value)


CASES = {
    # The canopy holds snow and sublimates it: both leave the land's water.
    "canopy_snow_21": Case(with_balance(canopy_snow(21)), cold_cloudburst, processes=(1, 3),
                           check_outputs=closes("canopy_snow_storage", "canopy_sublimation")),
    "canopy_snow_32": Case(with_balance(canopy_snow(32)), cold_cloudburst, processes=(1, 2),
                           check_outputs=closes("canopy_snow_storage", "canopy_sublimation")),
    # Without the snow model no glacier takes the rain on its cells.
    "glacier_without_snow": Case(with_balance(lambda t: ex.switched_off(t, "snow_model")),
                                 ex.cloudburst, processes=(1, 3),
                                 check_outputs=closes("precipitation")),
    # Overland flow by heads crosses the borders of the subbasins.
    "surface_heads": Case(with_balance(surface_method(6)), ex.cloudburst,
                          processes=(1, 3), check_outputs=closes("surface_exchange")),
    "surface_heads_apart": Case(with_balance(surface_method(6, 3)), ex.cloudburst,
                                processes=(1, 2), check_outputs=closes("surface_storage")),
    # The annual balance of a dynamic glacier empties the pack beside it.
    "dynamic_glacier": Case(with_balance(dynamic_glacier), glacier_grids,
                            processes=(1, 3), check_outputs=closes("snow_reset_on_glacier")),
    # A lake's volume lies on its cells, in the example metres above its top.
    # Without the lake model the reservoirs hold their own water.
    "lakes": Case(with_channels(), processes=(1, 2),
                  check_outputs=closes("lake_storage", "outflow", tolerance=CHANNEL_TOLERANCE)),
    "reservoirs_flood": Case(with_channels("lake_model"), ex.cloudburst, processes=(1, 2),
                             check_outputs=closes("reservoir_storage", "channel_storage",
                                                  tolerance=CHANNEL_TOLERANCE)),
    # What the drains take from the soil leaves the model.
    "drainage": Case(with_balance(drained), drains, processes=(1, 3),
                     check_outputs=closes("drainage")),
    # Irrigation runs before the soil: groundwater gives from the first step.
    "groundwater_irrigation": Case(groundwater_fields,
                                   check_outputs=irrigated_from_the_first_step),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
