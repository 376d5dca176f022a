#!/usr/bin/env python3
"""The water balance closes with the modules and methods the example does not use.

Each row edits a small copy of the example, adds `[water_balance]` and runs
it on one process and on two or three: every step of every subbasin and of
the catchment closes to 1e-9 of the water that passed, and the term the row
is about moved water.
"""

import sys

import example_test as ex
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


def closes(*moved):
    """Every step and zone closes, and each term of moved changed."""
    def check(work):
        terms = ex.balance_rows(work + "/output")
        for term in moved:
            ex.check(term in terms and any(v != 0.0 for row in terms[term] for v in row),
                     "%s never moved water" % term)
        ex.check_closure(terms, 1e-9)
    return check


def canopy_snow(method):
    """Interception with the canopy's snow (and above 30 its energy balance)."""
    def edit(text):
        grids = ["sctemp", "scrh", "scrad", "scwind", "scload", "scage", "scalbedo", "scsublim",
                 "scunload", "scliquid"] + (["ceb", "cebt", "cebtold", "cebdummy"] if method > 30
                                            else [])
        lines = "".join("%s.asc\n0\n%s.stat 0\n" % (g, g) for g in grids[:10])
        lines += "0.5  minimum LAI\n0.05  minimum z0\n1.0  LAI scaling\n"
        lines += "".join("%s.asc\n0\n%s.stat 0\n" % (g, g) for g in grids[10:])
        return ex.replace_lines(text, (
            (r"^1   method\n(throughfall\.asc)", "%d  method\n\\1" % method),
            (r"^(0   interception readgrid\n)", "\\g<1>" + lines)))
    return edit


def surface_method(method, flow_control=1):
    def edit(text):
        return ex.replace_lines(text, (
            (r"^1  on: the ponded water flows.*$", "%d  on" % flow_control),
            (r"^2  method: the steepest.*$", "%d  method" % method)))
    return edit


def cold_cloudburst(folder):
    """Ten times the precipitation, 8 K colder: snow falls on the forests."""
    ex.cloudburst(folder)
    ex.scale_station_values(folder, "temperature.txt", lambda v: v - 8.0)


def snow_off(text):
    return ex.switched_off(text, "snow_model")


def groundwater_fields(text):
    """The fields watered from groundwater from the first day on."""
    fields = "1 sprinkled_fields 2 1 0 0 starting from 5 10 with 12 mm to 6 28 with 12 mm every 6 day"
    ex.check(fields in text, "the example's irrigation table has changed")
    return text.replace(fields, "1 sprinkled_fields 2 1 0 0 starting from 3 1 with 12 mm to 3 2 "
                                "with 12 mm every 1 day") + ex.BALANCE_SECTION


def irrigated_from_the_first_step(work):
    """12 mm a day fall on the fields in every hourly step, the first too."""
    irrigation = ex.balance_rows(work + "/output")["irrigation"]
    ex.check(all(row[-1] > 0.0 for row in irrigation),
             "the catchment's irrigation is 0 in steps %s" %
             [i + 1 for i, row in enumerate(irrigation) if not row[-1] > 0.0])


CASES = {
    # The canopy holds snow and sublimates it: both leave the land's water.
    "canopy_snow_21": Case(with_balance(canopy_snow(21)), cold_cloudburst, days=2, processes=(1, 3),
                           check_outputs=closes("canopy_snow_storage", "canopy_sublimation")),
    "canopy_snow_32": Case(with_balance(canopy_snow(32)), cold_cloudburst, days=2, processes=(1, 2),
                           check_outputs=closes("canopy_snow_storage", "canopy_sublimation")),
    # Without the snow model no glacier takes the rain on its cells.
    "glacier_without_snow": Case(with_balance(snow_off), ex.cloudburst, days=2, processes=(1, 3),
                                 check_outputs=closes("precipitation")),
    # Overland flow by heads crosses the borders of the subbasins.
    "surface_heads": Case(with_balance(surface_method(6)), ex.cloudburst, days=2,
                          processes=(1, 3), check_outputs=closes("surface_exchange")),
    "surface_heads_apart": Case(with_balance(surface_method(6, 3)), ex.cloudburst, days=2,
                                processes=(1, 2), check_outputs=closes("surface_storage")),
    # Irrigation runs before the soil: groundwater gives from the first step.
    "groundwater_irrigation": Case(groundwater_fields, days=2, processes=(1, 2),
                                   check_outputs=irrigated_from_the_first_step),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
