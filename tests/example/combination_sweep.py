#!/usr/bin/env python3
"""Drawn combinations of horva's modules, methods and options on the small
example catchment.

Each draw of a seed switches every module of the example on or off, gives it
one of the methods and options docs/control-file.md names, takes one of nine
weathers, one of nine catchment shapes (most of them split unevenly into
strips; some long and narrow, some with lakes on uneven ground), two or three
hourly days or nine daily steps, and adds [water_balance]. A share of the
draws takes a landscape (sweep_landscapes.LANDSCAPES) that gives the modules
ground to work on: drains under the lowland, rivers linked on many cells,
a dynamic glacier under a canopy, lakes on uneven ground, long strips with
the aquifer's line sweeps, daily steps with tracers and groundwater, a warm
start while the land carries water. The draw runs as drawn on one process,
on one process with two threads and on three or four processes (with even
strips or with strips of measured uneven speeds). The sweep's rules (RULES)
are what the documentation forbids:
  - where the program refuses the draw, one of the rules the draw breaks must
    predict the refusal and its exit code, on every layout alike; a refusal
    no rule predicts, or a run a rule said would be refused, is a finding (a
    fault of the program or of the documentation);
  - where it runs, each of PROPERTIES holds: every layout writes the same
    files, byte for byte (but for the files that are a process's own by
    design, and, with river interaction 1, whose amounts depend on the
    decomposition); the water balance closes in every step and column to
    1e-9 of the water that passed (with channels to the routing factor's
    tolerance); every term of the balance is a source, an exit, a transfer
    or a storage (example_test.check_destinations); no output holds a NaN or
    an infinity; no tracer's concentration lies below 0 or above what its
    sources give; and, in a share of the draws, a warm start at midnight or
    at noon of the last day, on one or three processes, goes on exactly as
    the run through (small_catchment.continuation_differences).
A share of the draws is made to break one rule on purpose. The summary
counts the draws refused as predicted, the findings, the draws that ran and
held and those that failed.

A failing draw prints its seed, its index, its settings in one line and what
failed; `--seed S --only K` runs it again, and with `--shrink` the sweep
looks for the fewest settings that still fail the same way. FOUND holds the
shrunk draws of earlier sweeps (`--found` runs them).
"""

import argparse
import concurrent.futures
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import threading
import time

import balance_closure_test as closure
import example_test as ex
import process_counts_test as counts
import refused_inputs_test as refused
import small_catchment as small
import sweep_landscapes as land
import tracer_test as tracers

# Hourly runs take 2 or 3 days (dimension "days"), daily runs DAILY_DAYS;
# the station files hold MOST_DAYS.
DAILY_DAYS = 9
MOST_DAYS = DAILY_DAYS
# The share of the draws made to break a rule of the reference on purpose,
# the share of the dimensions of a draw that keep the example's value, and
# the share of the draws that take one of the landscapes.
FORBIDDEN_SHARE = 0.15
PLAIN_SHARE = 0.6
LANDSCAPE_SHARE = 0.45
# The dimensions of what a draw checks, drawn by their weights alone.
DRAWN_FREELY = ("warm_start", "warm_processes")


def layouts(s):
    """(processes, threads) of the runs of the settings s."""
    return ((1, 1), (1, 2), (s["processes"], 1))

# --- the dimensions of a draw ---------------------------------------------

DEPOSITION_METHODS = (7, 9, 10, 11, 13, 14)
SLIDE_METHODS = (6, 7, 8, 9, 12, 14)
ENERGY_BALANCE_METHODS = (5, 6, 7, 11)

# name: (the values a draw takes, the plain value: the example's own or off).
# Values after the first "|" are drawn only to break a rule on purpose.
DIMENSIONS = (
    ("weather", ("as made", "cloudburst", "cold cloudburst", "warm cloudburst", "heat wave",
                 "freeze-thaw", "no precipitation", "rain on snow", "cloudburst x50"), "as made"),
    ("shape", ("20 x 24", "17 x 31", "23 x 19", "13 x 41", "29 x 11", "31 x 31", "11 x 29",
               "37 x 13", "19 x 27"), "20 x 24"),
    ("step", ("hour", "day"), "hour"),
    ("days", (2, 3), 2),
    ("processes", (3, 4), 3),
    # Strips of equal speeds, or of the speeds land.UNEVEN_SPEEDS.
    ("strips", ("even", "uneven"), "even"),
    ("grids", ("ascii", "float", "double", "netcdf"), "ascii"),
    ("precipitation_correction", ("on", "off"), "on"),
    ("regional_superposition", ("on", "off"), "on"),
    ("special_output", ("on", "off"), "on"),
    # 5 counts as 2, with a warning.
    ("radiation", ("off", 1, 2, 3, 4, 5), 1),
    ("radiation_every", (1, 3), 1),
    ("evapotranspiration", ("off", 1, 2, 3, 4), 1),
    ("land_use_layers", ("several", "one"), "several"),
    ("interception", ("off", 1, 2, 11, 12, 21, 22, 31, 32), 1),
    ("snow", ("off",) + tuple(range(1, 15)), 5),
    ("deposition", ("split", "mean 0.2", "zero", "|", "below -1"), "split"),
    # The shares of the slide mass the neighbours take (slidefraction1 .. 4)
    # and the share of the pack that slides.
    ("slide_weights", ("0.25", "0"), "0.25"),
    ("slide_mass_fraction", ("0.01", "0.3", "|", "0"), "0.01"),
    # The grids that slides, snow method 4 and Haude read.
    ("needed_grids", ("given", "|", "left out"), "given"),
    ("glacier", ("none", "static 1", "static 2", "dynamic 11", "dynamic 12", "dynamic 13"),
     "static 1"),
    ("glacier_cells", ("partial", "whole", "|", "cell without code", "two subbasins"),
     "partial"),
    ("ice_firn_beside", ("yes", "no"), "no"),
    ("glacier_close", ("1 3", "2 3", "31 12"), "31 12"),
    ("silting", ("off", 1, 2, 3), 2),
    ("unsatzon", ("off", 2, 3), 2),
    ("interaction", (0, 1, 2), 0),
    # The river cells that river interaction links: the example's or, in
    # addition, every cell of an even column.
    ("river_cells", ("rivers", "every even column"), "rivers"),
    ("ponding", (1, 0), 1),
    # Drains under every cell (1) or under the lowland.
    ("drainage", (0, 1, "lowland"), 0),
    ("clay_layer", (0, 1), 0),
    ("macropores", ("none", "every soil type"), "none"),
    ("heat", ("off", 1, 11, 12), 12),
    ("permafrost", ("off", "on"), "off"),
    ("layered_snow", ("off", "on"), "on"),
    ("surface_routing", ("off", 1, 2, 3, 4, 5, 6), 2),
    ("surface_flow_control", (1, 3), 1),
    ("groundwater", ("off", 1, 2), 1),
    ("groundwater_pond_flag", (1, 0), 1),
    ("lakes", ("off", 1, 2), 1),
    # Method 2 reads the lakes' surfaces: the lake cells raised by their
    # largest ponding depth; drawn to break the rule, the beds.
    ("lake_dem", ("as the method needs", "|", "beds under method 2"), "as the method needs"),
    ("routing", ("on", "off"), "on"),
    ("irrigation", ("off", "groundwater", "surface water"), "off"),
    ("irrigation_method", (1, 2, 3, 4), 2),
    ("tracer", ("none", "salt", "chloride", "two"), "none"),
    # Response units by soil type or by 100 m elevation classes.
    ("spin_up", ("off", "soil units", "elevation units", "|", "units, soil temperature"), "off"),
    ("substeps", (1, 2), 1),
    ("periodic_ponding", ("off", "on"), "off"),
    ("unknown_method", ("none", "|", "interception 3", "evapotranspiration 5", "snow 15",
                        "glacier 3", "silting 4", "unsatzon 4", "surface routing 7",
                        "groundwater 3", "lakes 3"), "none"),
    # A warm start of the last day, at its start or at noon, and the
    # processes it runs on.
    ("warm_start", ("no", "at midnight", "at noon"), "no"),
    ("warm_processes", (1, 3), 1),
)
PLAIN = {name: plain for name, _, plain in DIMENSIONS}
# Weights of the drawn values where they are not alike: response units copy
# the state of one cell over others, which most other checks do not need.
# Off, and the options that other modules refuse, are drawn less often, so
# that most draws run.
WEIGHTS = {"spin_up": (6, 2, 2), "step": (4, 1), "processes": (3, 1), "warm_start": (5, 3, 3),
           "warm_processes": (2, 1), "shape": (4, 1, 1, 1, 1, 1, 1, 1, 1), "unsatzon": (1, 6, 6),
           "days": (3, 1),
           "evapotranspiration": (1, 8, 1, 1, 1), "land_use_layers": (1, 1),
           "glacier": (2, 2, 2, 1, 1, 1), "silting": (4, 1, 1, 1),
           "surface_routing": (6, 1, 1, 1, 1, 1, 1), "ponding": (6, 1),
           "groundwater_pond_flag": (6, 1), "interaction": (3, 2, 1), "heat": (1, 2, 2, 2),
           "routing": (4, 1)}


def drawn_values(values):
    return values[:values.index("|")] if "|" in values else values


def dynamic(s):
    return s["glacier"].startswith("dynamic")


def active(s, name):
    """Whether the module of dimension `name` runs: spin-up response units
    switch lakes, irrigation, surface routing and groundwater off."""
    if name in ("lakes", "irrigation", "surface_routing", "groundwater") and s["spin_up"] != "off":
        return False
    return on(s[name])


def on(value):
    return value not in ("off", "none", 0)


# The standard grids a method reads that no module gives: file, name, value.
SLIDE_GRIDS = tuple(("slide_fraction_%d.asc" % k, "slidefraction%d" % k, "slide_weights")
                    for k in (1, 2, 3, 4))
VAPOUR_PRESSURE_GRID = (("vapor_pressure.asc", "vapor_pressure", 6.0),)
HAUDE_GRIDS = (("temperature_14.asc", "temperature_14", 5.0),
               ("air_humidity_14.asc", "air_humidity_14", 0.7))


def needed_grids(s):
    grids = ()
    if s["snow"] in SLIDE_METHODS:
        grids += SLIDE_GRIDS
    if s["snow"] == 4:
        grids += VAPOUR_PRESSURE_GRID
    if s["evapotranspiration"] == 4:
        grids += HAUDE_GRIDS
    return grids


def relevant(name, s):
    """Whether a dimension changes the run of the settings s."""
    unsatzon = on(s["unsatzon"])
    return {
        "land_use_layers": True,
        "radiation_every": on(s["radiation"]),
        "deposition": s["snow"] in DEPOSITION_METHODS,
        "slide_weights": s["snow"] in SLIDE_METHODS and s["needed_grids"] == "given",
        "slide_mass_fraction": s["snow"] in SLIDE_METHODS,
        "needed_grids": bool(needed_grids(s)),
        "glacier_cells": dynamic(s),
        "ice_firn_beside": dynamic(s),
        "glacier_close": dynamic(s),
        "days": s["step"] == "hour",
        "interaction": unsatzon,
        "river_cells": unsatzon and on(s["interaction"]),
        "ponding": unsatzon,
        "drainage": unsatzon,
        "clay_layer": unsatzon,
        "macropores": unsatzon,
        "lake_dem": active(s, "lakes") and s["lakes"] == 2,
        "heat": unsatzon,
        "permafrost": unsatzon and not on(s["heat"]),
        "layered_snow": unsatzon,
        "surface_flow_control": on(s["surface_routing"]),
        "groundwater_pond_flag": on(s["groundwater"]),
        "irrigation_method": on(s["irrigation"]),
        "substeps": unsatzon,
        "warm_processes": s["warm_start"] != "no",
    }.get(name, True)


def warm_checked(s):
    """Whether a warm start of the draw is compared with its run through: a
    spin-up repeats the period, which a warm start of its last day cannot,
    and without the unsaturated zone there is no state file, so that
    evapotranspiration's memory starts anew (the user guide says so)."""
    return (s["warm_start"] != "no" and s["spin_up"] == "off" and on(s["unsatzon"]) and
            radiation_in_step(s))


def radiation_in_step(s):
    """Whether the warm start falls on a step the radiation correction
    computes in the run through: it keeps no state, so a warm start computes
    it at its first step (the user guide says so)."""
    if not on(s["radiation"]):
        return True
    hours = (run_days(s) - 1) * 24 + split_hour(s)
    steps = hours if s["step"] == "hour" else hours // 24
    return steps % s["radiation_every"] == 0


def run_days(s):
    """The days the draw runs."""
    return s["days"] if s["step"] == "hour" else DAILY_DAYS


def split_hour(s):
    """The hour of the last day the warm start takes over at (daily steps
    have no noon)."""
    return 12 if s["warm_start"] == "at noon" and s["step"] == "hour" else 0


def describe(s):
    """The settings of a draw in one line, those that change nothing left out."""
    return " ".join("%s=%s" % (name, str(s[name]).replace(" ", "_"))
                    for name, _, _ in DIMENSIONS if relevant(name, s) and
                    (name != "unknown_method" or s[name] != "none"))


# --- what the reference forbids -------------------------------------------

class Rule:
    """A combination docs/control-file.md forbids: broken(s) tells whether the
    settings hold it, code(s) the exit code the set-up ends with, `make` the
    settings that break it on purpose, and `fixes` the (dimension, value)
    pairs each of which mends it."""

    def __init__(self, name, code, broken, make, fixes, covers=()):
        self.name, self.code, self.broken, self.make, self.fixes = name, code, broken, make, fixes
        # Rules the made settings break as well, which end the run later.
        self.covers = covers

    def exit_code(self, s):
        return self.code(s) if callable(self.code) else self.code


def unknown(module):
    return lambda s: s["unknown_method"].startswith(module + " ")


RULES = (
    Rule("dynamic glaciers beside silting-up", 2,
         lambda s: dynamic(s) and on(s["silting"]),
         {"glacier": ("dynamic 11", "dynamic 12", "dynamic 13"), "silting": (1, 2, 3)},
         (("silting", "off"), ("glacier", "static 1"))),
    Rule("dynamic glaciers beside surface routing", 2,
         lambda s: dynamic(s) and active(s, "surface_routing"),
         {"glacier": ("dynamic 11", "dynamic 12", "dynamic 13"), "surface_routing": (1, 2, 6),
          "silting": ("off",)},
         (("surface_routing", "off"), ("glacier", "static 2"))),
    Rule("Hamon, Wendling or Haude on several land-use layers", 44,
         lambda s: s["evapotranspiration"] in (2, 3, 4) and s["land_use_layers"] == "several",
         {"evapotranspiration": (2, 3, 4), "land_use_layers": ("several",)},
         (("land_use_layers", "one"), ("evapotranspiration", 1))),
    Rule("river interaction 2 with tracers", 1150,
         lambda s: on(s["unsatzon"]) and s["interaction"] == 2 and on(s["tracer"]),
         {"unsatzon": (2, 3), "interaction": (2,), "tracer": ("salt", "chloride")},
         (("tracer", "none"), ("interaction", 1), ("interaction", 0))),
    Rule("layered snow without soil heat", 1041,
         lambda s: on(s["unsatzon"]) and s["layered_snow"] == "on" and not on(s["heat"]),
         {"unsatzon": (2, 3), "layered_snow": ("on",), "heat": ("off",)},
         (("heat", 12), ("layered_snow", "off"))),
    Rule("irrigation without channel routing", 60,
         lambda s: active(s, "irrigation") and s["routing"] == "off",
         {"irrigation": ("surface water", "groundwater"), "routing": ("off",), "unsatzon": (2, 3)},
         (("routing", "on"), ("irrigation", "off"))),
    Rule("irrigation without the unsaturated zone", 33,
         lambda s: active(s, "irrigation") and not on(s["unsatzon"]),
         {"irrigation": ("surface water", "groundwater"), "unsatzon": ("off",)},
         (("unsatzon", 2), ("irrigation", "off")),
         covers=("channel routing without the unsaturated zone",
                 "irrigation without channel routing")),
    Rule("groundwater without the unsaturated zone", 33,
         lambda s: active(s, "groundwater") and not on(s["unsatzon"]),
         {"groundwater": (1, 2), "unsatzon": ("off",), "routing": ("off",), "irrigation": ("off",),
          "lakes": ("off",), "surface_routing": ("off",)},
         (("unsatzon", 2), ("groundwater", "off"))),
    Rule("channel routing without the unsaturated zone", 43,
         lambda s: s["routing"] == "on" and not on(s["unsatzon"]),
         {"routing": ("on",), "unsatzon": ("off",), "irrigation": ("off",)},
         (("unsatzon", 2), ("routing", "off"))),
    Rule("surface routing without the unsaturated zone", 33,
         lambda s: active(s, "surface_routing") and not on(s["unsatzon"]),
         {"surface_routing": (1, 2, 6), "unsatzon": ("off",), "routing": ("off",),
          "irrigation": ("off",)},
         (("unsatzon", 2), ("surface_routing", "off"))),
    Rule("lakes without the unsaturated zone's ponding grid", 28,
         lambda s: active(s, "lakes") and not on(s["unsatzon"]) and
         (on(s["evapotranspiration"]) or on(s["snow"])),
         {"lakes": (1, 2), "unsatzon": ("off",), "evapotranspiration": (1,), "routing": ("off",),
          "irrigation": ("off",), "surface_routing": ("off",)},
         (("unsatzon", 2), ("lakes", "off"))),
    Rule("lakes without groundwater's Use-Pond-Flag", 214,
         lambda s: active(s, "lakes") and on(s["unsatzon"]) and active(s, "groundwater") and
         s["groundwater_pond_flag"] == 0,
         {"lakes": (1, 2), "unsatzon": (2, 3), "groundwater": (1, 2),
          "groundwater_pond_flag": (0,), "ponding": (1,)},
         (("groundwater_pond_flag", 1), ("lakes", "off"), ("groundwater", "off"))),
    Rule("interception without evapotranspiration", 33,
         lambda s: on(s["interception"]) and not on(s["evapotranspiration"]),
         {"interception": (1, 2, 11, 12), "evapotranspiration": ("off",)},
         (("evapotranspiration", 1), ("interception", "off"))),
    Rule("the unsaturated zone without evapotranspiration", 33,
         lambda s: on(s["unsatzon"]) and not on(s["evapotranspiration"]),
         {"unsatzon": (2, 3), "evapotranspiration": ("off",), "interception": ("off",)},
         (("evapotranspiration", 1), ("unsatzon", "off"))),
    Rule("an energy-balance snow method without evapotranspiration", 33,
         lambda s: s["snow"] in ENERGY_BALANCE_METHODS and not on(s["evapotranspiration"]),
         {"snow": ENERGY_BALANCE_METHODS, "evapotranspiration": ("off",),
          "interception": ("off",), "unsatzon": ("off",)},
         (("evapotranspiration", 1), ("snow", 1), ("snow", 3))),
    Rule("snow slides without their slidefraction grids", 33,
         lambda s: s["snow"] in SLIDE_METHODS and s["needed_grids"] == "left out",
         {"snow": SLIDE_METHODS, "needed_grids": ("left out",), "evapotranspiration": (1,)},
         (("needed_grids", "given"), ("snow", 5), ("snow", 11))),
    Rule("snow method 4 without a vapor_pressure grid", 33,
         lambda s: s["snow"] == 4 and s["needed_grids"] == "left out",
         {"snow": (4,), "needed_grids": ("left out",), "evapotranspiration": (1, 2)},
         (("needed_grids", "given"), ("snow", 3))),
    Rule("Haude without the grids at 14:00", 46,
         lambda s: s["evapotranspiration"] == 4 and s["needed_grids"] == "left out",
         {"evapotranspiration": (4,), "needed_grids": ("left out",), "land_use_layers": ("one",)},
         (("needed_grids", "given"), ("evapotranspiration", 3))),
    Rule("canopy energy balance without the snow model's energy balance", 1160,
         lambda s: s["interception"] in (31, 32) and s["snow"] not in ENERGY_BALANCE_METHODS,
         {"interception": (31, 32), "snow": ("off", 1, 2, 3, 4, 8, 9, 10, 12, 13, 14)},
         (("snow", 5), ("snow", 11), ("interception", 21), ("interception", 22))),
    Rule("lakes in the unsaturated zone without its ponding", 215,
         lambda s: active(s, "lakes") and on(s["unsatzon"]) and s["ponding"] == 0,
         {"lakes": (1, 2), "unsatzon": (2, 3), "ponding": (0,)},
         (("ponding", 1), ("lakes", "off"))),
    # Method 2 sinks the elevation model by the largest ponding depth: where
    # it holds beds that lie at different heights, the lake's top is uneven.
    Rule("lake method 2 on an elevation model of uneven beds", 213,
         lambda s: active(s, "lakes") and s["lakes"] == 2 and on(s["unsatzon"]) and
         s["routing"] == "on" and s["lake_dem"] == "beds under method 2" and
         s["shape"] in land.UNEVEN_LAKE_SHAPES,
         {"lakes": (2,), "lake_dem": ("beds under method 2",), "shape": land.UNEVEN_LAKE_SHAPES,
          "unsatzon": (2, 3), "ponding": (1,), "routing": ("on",), "groundwater_pond_flag": (1,)},
         (("lake_dem", "as the method needs"), ("lakes", 1), ("shape", "20 x 24"))),
    Rule("temperature pre-spin-up without soil heat", 1040,
         lambda s: s["spin_up"] == "units, soil temperature" and
         on(s["unsatzon"]) and not on(s["heat"]),
         {"spin_up": ("units, soil temperature",), "unsatzon": (2, 3), "heat": ("off",),
          "layered_snow": ("off",)},
         (("spin_up", "units"),)),
    Rule("a slide mass fraction of 0", 408,
         lambda s: s["snow"] in SLIDE_METHODS and s["slide_mass_fraction"] == "0",
         {"snow": SLIDE_METHODS, "slide_mass_fraction": ("0",), "evapotranspiration": (1,)},
         (("slide_mass_fraction", "0.01"),)),
    Rule("deposition_index below -1", 10,
         lambda s: s["snow"] in DEPOSITION_METHODS and s["deposition"] == "below -1",
         {"snow": DEPOSITION_METHODS, "deposition": ("below -1",)},
         (("deposition", "split"),)),
    # The snow model checks the glaciers' grids: without it they only weigh
    # the cells of the soil and the balance.
    Rule("a glacierized cell without a glacier code", 80,
         lambda s: dynamic(s) and on(s["snow"]) and s["glacier_cells"] == "cell without code",
         {"glacier": ("dynamic 11", "dynamic 12", "dynamic 13"),
          "glacier_cells": ("cell without code",), "snow": (1, 5, 11), "silting": ("off",),
          "surface_routing": ("off",)},
         (("glacier_cells", "partial"),)),
    Rule("a glacier in two subbasins", 84,
         lambda s: dynamic(s) and on(s["snow"]) and s["glacier_cells"] == "two subbasins",
         {"glacier": ("dynamic 11", "dynamic 12", "dynamic 13"),
          "glacier_cells": ("two subbasins",), "snow": (1, 5, 11), "silting": ("off",),
          "surface_routing": ("off",)},
         (("glacier_cells", "whole"),)),
    Rule("an interception method outside 1, 2, 11, 12, 21, 22, 31, 32", 1161,
         lambda s: unknown("interception")(s) and on(s["interception"]),
         {"unknown_method": ("interception 3",), "interception": (1, 2)},
         (("unknown_method", "none"),)),
    Rule("an evapotranspiration method outside 1 to 4", 10,
         lambda s: unknown("evapotranspiration")(s) and on(s["evapotranspiration"]),
         {"unknown_method": ("evapotranspiration 5",), "evapotranspiration": (1,)},
         (("unknown_method", "none"),)),
    Rule("a snow method outside 1 to 14", 17,
         lambda s: unknown("snow")(s) and on(s["snow"]),
         {"unknown_method": ("snow 15",), "snow": (1, 5), "interception": ("off", 1)},
         (("unknown_method", "none"),)),
    Rule("a glacier method outside 1, 2, 11, 12, 13", 80,
         lambda s: unknown("glacier")(s) and on(s["snow"]) and s["glacier"] != "none",
         {"unknown_method": ("glacier 3",), "snow": (1, 5), "glacier": ("static 1",),
          "interception": ("off", 1)},
         (("unknown_method", "none"),)),
    Rule("a silting-up method outside 1 to 3", 17,
         lambda s: unknown("silting")(s) and on(s["silting"]),
         {"unknown_method": ("silting 4",), "silting": (2,)},
         (("unknown_method", "none"),)),
    Rule("an unsaturated-zone method outside 2 and 3", 91,
         lambda s: unknown("unsatzon")(s) and on(s["unsatzon"]),
         {"unknown_method": ("unsatzon 4",), "unsatzon": (2,)},
         (("unknown_method", "none"),)),
    Rule("a surface-routing method outside 1 to 6", 10,
         lambda s: unknown("surface routing")(s) and active(s, "surface_routing"),
         {"unknown_method": ("surface routing 7",), "surface_routing": (2,)},
         (("unknown_method", "none"),)),
    Rule("a groundwater method outside 1 and 2", 17,
         lambda s: unknown("groundwater")(s) and active(s, "groundwater"),
         {"unknown_method": ("groundwater 3",), "groundwater": (1,)},
         (("unknown_method", "none"),)),
    Rule("a lake initialization method outside 1 and 2", 215,
         lambda s: unknown("lakes")(s) and active(s, "lakes") and on(s["unsatzon"]),
         {"unknown_method": ("lakes 3",), "lakes": (1,), "ponding": (1,),
          "unsatzon": (2, 3)},
         (("unknown_method", "none"),)),
)


def broken_rules(s):
    return [rule for rule in RULES if rule.broken(s)]


class Draw:
    """Draw `index` of `seed`: its settings, as drawn (a share in one of the
    landscapes, `landscape`, and a share made to break one rule on purpose,
    `made`), and the rules they break."""

    def __init__(self, seed, index, settings=None):
        self.seed, self.index = seed, index
        self.made = self.landscape = self.name = None
        if settings is None:
            rng = random.Random("%d/%d" % (seed, index))
            # Each dimension keeps the example's value in a share of the
            # draws, so that most draws run and a module's other methods
            # meet the example's neighbours.
            settings = {name: plain if name not in DRAWN_FREELY and rng.random() < PLAIN_SHARE
                        else rng.choices(drawn_values(values), WEIGHTS.get(name))[0]
                        for name, values, plain in DIMENSIONS}
            if rng.random() < LANDSCAPE_SHARE:
                names = sorted(land.LANDSCAPES)
                self.landscape = rng.choices(names, [land.LANDSCAPES[n][0] for n in names])[0]
                land.apply_landscape(rng, self.landscape, settings)
            if rng.random() < FORBIDDEN_SHARE:
                self.made = rng.choice(RULES)
                for name, values in self.made.make.items():
                    settings[name] = rng.choice(values)
                # Response units switch some of the modules a rule is about off.
                if "spin_up" not in self.made.make:
                    settings["spin_up"] = "off"
        self.settings = settings
        self.rules = broken_rules(settings)

    def expected_codes(self):
        """The exit codes a refusal of the draw may end with."""
        return sorted({rule.exit_code(self.settings) for rule in self.rules})

    def title(self):
        what = "forbidden: %s" % "; ".join("%s, code %d" % (r.name, r.exit_code(self.settings))
                                          for r in self.rules) if self.rules else "allowed"
        if self.index < 0:
            return "%sthe example with %s (%s)" % (
                "%s: " % self.name if self.name else "",
                plain_changes(self.settings) or "nothing changed", what)
        if self.landscape:
            what += "; %s" % self.landscape
        return "seed %d draw %d (%s): %s" % (self.seed, self.index, what, describe(self.settings))


# --- the control file and the input of a draw ----------------------------

def section_edit(text, name, *edits):
    """replace_lines within the section [name]."""
    match = re.search(r"^\[%s\]\n" % re.escape(name), text, flags=re.M)
    ex.check(match, "the control file has no section [%s]" % name)
    end = re.compile(r"^\[", flags=re.M).search(text, match.end())
    end = end.start() if end else len(text)
    return text[:match.start()] + ex.replace_lines(text[match.start():end], edits) + text[end:]


def first_word(text, name, label, value):
    """The first word of the line of [name] whose free text starts with label."""
    return section_edit(text, name, (r"^\S+(\s+%s)" % label, r"%s\1" % value))


def switch(text, name, value):
    """The first line of [name], its switch."""
    return section_edit(text, name, (r"\A(\[%s\]\n)\S+" % re.escape(name), r"\g<1>%s" % value))


def drop_standard_grid(text, name):
    match = re.search(r"^\[standard_grids\]\n(\d+)", text, flags=re.M)
    text, count = re.subn(r"^\S+ +%s +.*\n" % name, "", text, count=1, flags=re.M)
    ex.check(count == 1, "no standard grid %s" % name)
    return text[:match.start(1)] + str(int(match.group(1)) - 1) + text[match.end(1):]


def written_at_end(text, name):
    """The standard grid `name` written at the end of the run, so that a warm
    start can read it back from the file it was read from."""
    text, count = re.subn(r"^(\S+ +%s +.*)$" % name, r"\1 writecode = 3", text, flags=re.M)
    ex.check(count == 1, "no standard grid %s" % name)
    return text


# The depth of the clay layer, m.
CLAY_GRIDS = (("clay_depth.asc", "clay_depth", 1.2),)
PERMAFROST_GRIDS = (("thaw_coefficient.asc", "ThawCoeffPermaFrost", 0.1, ""),
                    ("thaw_depth.asc", "PermafrostThawDepth", 0.3, " writecode = 3"),
                    ("snow_free_days.asc", "SnowFreeDaysGrid", 10, " writecode = 3"),
                    ("snow_cover_days.asc", "SnowCoverDaysGrid", 0, " writecode = 3"))
PERMAFROST_SECTION = """
[permafrost]
1     Permafrost-Method
20    Min_Snow_Age_Refreeze (days)
5     Max_SWE_SnowFree (mm)
thaw_depth.stat 2001  thaw depth statistics
1e-9  reduced k_sat (m/s)
"""
SUBSTEP_LINES = ("\n60  minimum dynamic time step (s)\nsubsteps.stat 2001  statistics of the "
                 "sub-steps\nsubsteps.asc  SUBSTEPS grid\n0  its write code")
# The method-1 formula of silting-up as expressions, with its parameters in
# the soil table.
SILTING_EXPRESSIONS = ("SiltingUpExpressions { X=A; Y=B*K^C*(100*L)^D; Z=E*(100*L)^F*K^G*O^H; "
                       "W=(P>0.05)*(P<76.2)*(11.89+8.73*LOG10(P+(P<=0.05)))+(P>=76.2)*28.33; "
                       "V=((X-Y)*EXP(-Z*Q)+Y)*R/60; }\n")
SILTING_PARAMETERS = ("SU_PAR01 = 65; SU_PAR02 = 12.2; SU_PAR03 = 0.52; SU_PAR04 = -0.64; "
                      "SU_PAR05 = 0.013; SU_PAR06 = -1.03; SU_PAR07 = 0.7; SU_PAR08 = -0.19;")
IRRIGATION_TYPES = {
    1: "1 sprinkled_fields 1 %d 0 0 3  3 1 12  3 2 12  3 3 0",
    2: "1 sprinkled_fields 2 %d 0 0 starting from 3 1 with 12 mm to 3 2 with 12 mm every 1 day",
    3: "1 sprinkled_fields 3 %d 0.5 0.1",
    4: "1 sprinkled_fields 4 %d 0.95"}
UNKNOWN_METHODS = {
    "interception 3": ("interception_model", "method", 3),
    "evapotranspiration 5": ("evapotranspiration", "method:", 5),
    "snow 15": ("snow_model", "method:", 15),
    "glacier 3": ("ice_firn", "Glacier-Method", 3),
    "silting 4": ("SiltingUpModel", "method:", 4),
    "unsatzon 4": ("unsatzon_model", "method:", 4),
    "surface routing 7": ("SurfaceRoutingModel", "method:", 7),
    "groundwater 3": ("groundwater_flow", "method:", 3),
    "lakes 3": ("lake_model", "initialization method", 3)}


def on_off(value):
    return 1 if on(value) else 0


def two_tracers(text):
    """Chloride in the rain, the reservoir and the lake (as tracer_test has
    it) and salt in what enters every cell (as process_counts_test has it)."""
    text = tracers.with_tracer(text)
    # Salt second, so that the grid of 5 is its input and chloride keeps
    # its grid of 1.
    text = ex.replace_once("1  number of tracers\n%s\n" % tracers.TRACER,
                           "2  number of tracers\n%s\n%s\n" % (
                               tracers.TRACER, counts.TRACER.split("\n", 1)[1]))(text)
    return counts.add_standard_grids(text, ["tracer_flux.asc  concflux_tracer_2_input  "
                                            "fillcode = 0 readcode = 1"])


# The night's temperature, degC, which daily steps of Penman-Monteith and
# the snow model read.
NIGHT_GRIDS = (("temperature_night.asc", "temperature_night", 0.0),)


def daily_control(text):
    """Every module at the step of a day, the values of a stamp covering
    the day from it on."""
    text, count = re.subn(r"^60(\s+time (?:interval|step) in minutes)", r"1440\1", text,
                          flags=re.M)
    ex.check(count > 10, "the control file has %d time intervals of 60 minutes" % count)
    text = ex.replace_once("60  min_to_int_end: a step's values cover the hour",
                           "1440  min_to_int_end: a step's values cover the day")(text)
    # The last stamp of a run is its last day's.
    text = ex.replace_lines(text, ((r"^23( +end hour)$", r"0\1"),))
    return counts.add_standard_grids(text, ["%s  %s  fillcode = 0 readcode = 1" % (f, n)
                                            for f, n, _ in NIGHT_GRIDS])


def control_edit(s, grid_format=True):
    """The control file of the settings s; without grid_format the grids are
    written as the example writes them (a warm start writes doubles)."""
    def edit(text):
        # The edits of the tables that expect the example's own lines first.
        if s["spin_up"] != "off":
            text = counts.response_units(text)
            if s["spin_up"] == "elevation units":
                text = ex.replace_once("soil.asc  HydrologicResponseUnits",
                                       "%s  HydrologicResponseUnits" % ELEVATION_UNITS)(text)
            if s["spin_up"] == "units, soil temperature":
                text = ex.replace_once("0  no temperature pre-spin-up",
                                       "1  temperature pre-spin-up")(text)
        if s["tracer"] == "salt":
            text = counts.lakes_with_tracer(text)
        elif s["tracer"] == "chloride":
            text = tracers.with_tracer(text)
        elif s["tracer"] == "two":
            text = two_tracers(text)
        if dynamic(s):
            text = counts.dynamic_glacier(text)
            text = first_word(text, "ice_firn", "Glacier-Method", s["glacier"].split()[1])
            text = section_edit(text, "ice_firn",
                                (r"^2 3(  GMBEvalDay)", s["glacier_close"] + r"\1"))
            for name in ("GlacierizedCells", "GlacierCodes"):
                text = written_at_end(text, name)
            if s["ice_firn_beside"] == "no":
                text = drop_standard_grid(text, "ice_firn")
        elif s["glacier"] == "none":
            text = drop_standard_grid(text, "ice_firn")
        else:
            text = first_word(text, "ice_firn", "Glacier-Method", s["glacier"].split()[1])
        if on(s["interaction"]):
            text = counts.link_order(text)
            text = first_word(text, "unsatzon_model", "surface water interaction",
                              s["interaction"])
        if s["interception"] in (21, 22, 31, 32):
            text = closure.canopy_snow(s["interception"])(text)
            # Every grid of the canopy's snow written at the end, for a warm start.
            text = section_edit(text, "interception_model",
                                (r"^((?:sc|ceb)\d\.asc)\n0$", r"\1\n3",
                                 14 if s["interception"] > 30 else 10))
        elif on(s["interception"]):
            text = first_word(text, "interception_model", "method", s["interception"])
        if on(s["snow"]):
            text = first_word(text, "snow_model", "method:", s["snow"])
            if s["snow"] in DEPOSITION_METHODS:
                text = counts.add_standard_grids(
                    text, ["deposition_index.asc  deposition_index  fillcode = 0 readcode = 1"])
            if s["snow"] in SLIDE_METHODS:
                text = first_word(text, "snow_model", "slide mass fraction",
                                  s["slide_mass_fraction"])
                text = section_edit(text, "snow_model",
                                    (r"^(slide\w+\.asc  .*\n)0(\s)", r"\g<1>3\2", 3))
        if s["needed_grids"] == "given" and needed_grids(s):
            text = counts.add_standard_grids(text, ["%s  %s  fillcode = 0 readcode = 1" % (f, n)
                                                    for f, n, _ in needed_grids(s)])
        if relevant("permafrost", s) and s["permafrost"] == "on":
            text = counts.add_standard_grids(text, ["%s  %s  fillcode = 0 readcode = 1%s" %
                                                    (f, n, w) for f, n, _, w in PERMAFROST_GRIDS])
            text += PERMAFROST_SECTION
        if s["periodic_ponding"] == "on":
            text = counts.ponding_reread_unwritten(text)
        for name, value in (("radiation_correction", s["radiation"]),
                            ("evapotranspiration", s["evapotranspiration"]),
                            ("interception_model", s["interception"]),
                            ("snow_model", s["snow"]), ("SiltingUpModel", s["silting"]),
                            ("unsatzon_model", s["unsatzon"]), ("heat_transfer", s["heat"]),
                            ("lake_model", s["lakes"]), ("LayeredSnowModel", s["layered_snow"]),
                            ("SurfaceRoutingModel", s["surface_routing"]),
                            ("groundwater_flow", s["groundwater"]),
                            ("routing_model", s["routing"]), ("irrigation", s["irrigation"]),
                            ("precipitation_correction", s["precipitation_correction"]),
                            ("RegionalSuperposition", s["regional_superposition"]),
                            ("special_output", s["special_output"])):
            text = switch(text, name, on_off(value))
        if on(s["radiation"]):
            text = first_word(text, "radiation_correction", "method:", s["radiation"])
            text = first_word(text, "radiation_correction", "the correction every step",
                              s["radiation_every"])
        if on(s["evapotranspiration"]):
            text = first_word(text, "evapotranspiration", "method:", s["evapotranspiration"])
        if s["land_use_layers"] == "one":
            text = ex.replace_lines(text, ((r"^\[multilayer_landuse\]\n(?:.+\n)*\n", ""),))
        if on(s["silting"]):
            text = first_word(text, "SiltingUpModel", "method:", s["silting"])
            if s["silting"] == 3:
                text = ex.replace_lines(text, ((r"^(  GrainSizeDist = .*)$",
                                                r"\1\n  " + SILTING_PARAMETERS, 3),))
                text = section_edit(text, "SiltingUpModel",
                                    (r"^(-0\.19 .*\n)", r"\1" + SILTING_EXPRESSIONS))
        if on(s["unsatzon"]):
            text = first_word(text, "unsatzon_model", "method:", s["unsatzon"])
            text = first_word(text, "unsatzon_model", "ponding:", s["ponding"])
            if s["drainage"]:
                text = closure.drained(text)
            if s["macropores"] == "every soil type":
                text = land.with_macropores(text)
            if s["clay_layer"]:
                text = first_word(text, "unsatzon_model", "no clay layer", 1)
                text = counts.add_standard_grids(text, ["%s  %s  fillcode = 0 readcode = 1" %
                                                        (f, n) for f, n, _ in CLAY_GRIDS])
            if s["unsatzon"] == 3:
                text = section_edit(text, "unsatzon_model",
                                    (r"^(unsatzon_state  state file.*)$", r"\1" + SUBSTEP_LINES))
        if on(s["heat"]):
            text = first_word(text, "heat_transfer", "method:", s["heat"])
            # The thaw depth and the SE stack at the end too, for a warm start.
            text = section_edit(text, "heat_transfer",
                                (r"^((?:thaw\.asc|se\.stack)  .*\n)0(\s)", r"\g<1>3\2", 2))
        if on(s["lakes"]):
            text = first_word(text, "lake_model", "initialization method", s["lakes"])
        if on(s["surface_routing"]):
            text = first_word(text, "SurfaceRoutingModel", "method:", s["surface_routing"])
            text = switch(text, "SurfaceRoutingModel", s["surface_flow_control"])
        if on(s["groundwater"]):
            text = first_word(text, "groundwater_flow", "method:", s["groundwater"])
            text = first_word(text, "groundwater_flow", "Use-Pond-Flag", s["groundwater_pond_flag"])
        if on(s["irrigation"]):
            origin = 1 if s["irrigation"] == "groundwater" else 2
            text = ex.replace_lines(text, ((r"^1 sprinkled_fields .*$",
                                            IRRIGATION_TYPES[s["irrigation_method"]] % origin),))
            # Irrigation by demand goes on from the last amounts and the root
            # zone's moisture: both at the end, for a warm start.
            text = ex.replace_lines(text, (
                (r"^(irrig\.asc  IRRIG\n)0(  its write code)$", r"\g<1>3\2"),
                (r"^(sb05\.asc  SB05\n)0(  its write code)$", r"\g<1>3\2")))
        if s["substeps"] > 1:
            text += "\n[soil_surface_groundwater_substeps]\n%d\n" % s["substeps"]
        if s["unknown_method"] != "none":
            section, label, value = UNKNOWN_METHODS[s["unknown_method"]]
            text = first_word(text, section, label, value)
        if grid_format and s["grids"] != "ascii":
            text = ex.replace_once("WriteAsciiGrids = 1", {
                "float": "WriteAsciiGrids = 0", "double": "WriteDoubleGrids = 1",
                "netcdf": "WriteAsciiGrids = 0\nWriteNetcdfGrids = 1"}[s["grids"]])(text)
        text += ex.BALANCE_SECTION
        return daily_control(text) if s["step"] == "day" else text
    return edit


def glacier_input(cells):
    """The glacier grids of process_counts_test's dynamic glacier, whole
    cells, or faulty ones (the first glacier cell without a code)."""
    def fraction(r, c, zone):
        share = counts.glacier_fraction(r, c, zone)
        if cells == "whole":
            return 1.0 if share > 0 else 0.0
        if cells == "two subbasins":
            return 0.5 if zone in (2, 3) and r <= 8 else 0.0
        return share

    def edit(folder):
        glaciers = []
        counts.write_grid_like(folder, "zones.asc", "glacier_fraction.asc",
                               lambda r, c, z: glaciers.append((r, c)) or fraction(r, c, z)
                               if fraction(r, c, z) > 0 else 0.0)

        def code(r, c, zone):
            if cells == "cell without code" and glaciers and (r, c) == glaciers[0]:
                return -9999
            return 1 if fraction(r, c, zone) > 0 else 0
        counts.write_grid_like(folder, "zones.asc", "glacier_codes.asc", code)
    return edit


# The response units by 100 m elevation classes.
ELEVATION_UNITS = "elevation_classes.asc"


def rewrite_station(folder, name, change):
    """Every value v of a station file replaced by change(day, hour, v)."""
    ex.rewrite_station_values(folder, name, change, "%.2f")


def station_mean(folder, name):
    with open(os.path.join(folder, name)) as f:
        lines = f.read().splitlines()
    header = next(i for i, line in enumerate(lines) if line.startswith("YY"))
    values = [float(v) for line in lines[header + 1:] for v in line.split()[4:]]
    return sum(values) / len(values)


def heat_wave(folder):
    """15 K warmer and dry."""
    rewrite_station(folder, "temperature.txt", lambda d, h, v: v + 15.0)
    rewrite_station(folder, "precipitation.txt", lambda d, h, v: 0.0)


def freeze_thaw(folder):
    """The temperatures shifted to a mean of 0 degC plus a wave of +-3.5 K
    and 12 hours, four times the rain and 0.8 mm more every 6 hours."""
    mean = station_mean(folder, "temperature.txt")
    rewrite_station(folder, "temperature.txt",
                    lambda d, h, v: v - mean + 3.5 * math.sin(2.0 * math.pi * h / 12.0))
    rewrite_station(folder, "precipitation.txt",
                    lambda d, h, v: 4.0 * v + (0.8 if h % 6 == 0 else 0.0))


def rain_on_snow(folder):
    """Ten times the precipitation, falling as snow on a day 10 K colder and
    as rain on the next, 10 K warmer."""
    ex.cloudburst(folder)
    rewrite_station(folder, "temperature.txt", lambda d, h, v: v - 10.0 if d == 1 else v + 10.0)


WEATHERS = {"as made": None, "cloudburst": ex.cloudburst, "cold cloudburst": closure.cold_cloudburst,
            "warm cloudburst": ex.warm_cloudburst, "heat wave": heat_wave,
            "freeze-thaw": freeze_thaw,
            "no precipitation": lambda folder: rewrite_station(folder, "precipitation.txt",
                                                               lambda d, h, v: 0.0),
            "rain on snow": rain_on_snow,
            "cloudburst x50": lambda folder: rewrite_station(folder, "precipitation.txt",
                                                             lambda d, h, v: 50.0 * v)}
# How a day's value comes out of its hours: summed (amounts per step) or
# their mean.
SUMMED_STATIONS = ("precipitation.txt", "global_radiation.txt")


def daily_stations(folder):
    """Every station file at daily steps, stamped at the day's start."""
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".txt"):
            continue
        path = os.path.join(folder, name)
        with open(path) as f:
            lines = f.read().splitlines()
        header = next((i for i, line in enumerate(lines) if line.startswith("YY")), None)
        if header is None:
            continue
        days = {}
        for line in lines[header + 1:]:
            p = line.split()
            days.setdefault(tuple(p[:3]), []).append([float(v) for v in p[4:]])
        rows = []
        for day, hours in sorted(days.items()):
            values = [sum(column) for column in zip(*hours)]
            if name not in SUMMED_STATIONS:
                values = [v / len(hours) for v in values]
            rows.append(" ".join(list(day) + ["00"] + ["%.2f" % v for v in values]))
        with open(path, "w") as f:
            f.write("\n".join(lines[:header + 1] + rows) + "\n")


def input_edit(s):
    def edit(folder):
        if WEATHERS[s["weather"]]:
            WEATHERS[s["weather"]](folder)
        if s["step"] == "day":
            daily_stations(folder)
            for name, _, value in NIGHT_GRIDS:
                counts.write_grid_like(folder, "zones.asc", name, lambda r, c, z: value)
        if s["tracer"] in ("salt", "two"):
            counts.tracer_input(folder)
        if s["tracer"] in ("chloride", "two"):
            tracers.ones(folder)
        if s["spin_up"] == "elevation units":
            counts.write_grid_like(folder, "dem.asc", ELEVATION_UNITS,
                                   lambda r, c, height: int(height // 100))
        if dynamic(s):
            glacier_input(s["glacier_cells"])(folder)
        if relevant("river_cells", s) and s["river_cells"] == "every even column":
            land.rivers_on_even_columns(folder)
        if on(s["interaction"]):
            counts.river_link_input(folder)
        if on(s["snow"]) and s["snow"] in DEPOSITION_METHODS:
            if s["deposition"] == "below -1":
                refused.deposition_index("0", "-1.5")(folder)
            else:
                counts.write_grid_like(folder, "zones.asc", "deposition_index.asc", {
                    "split": lambda r, c, z: 0.3 if r <= 10 else -0.3,
                    "mean 0.2": lambda r, c, z: 0.2, "zero": lambda r, c, z: 0.0}[s["deposition"]])
        if on(s["unsatzon"]) and s["drainage"]:
            (land.lowland_drains if s["drainage"] == "lowland" else closure.drains)(folder)
        if relevant("lake_dem", s) and s["lake_dem"] == "as the method needs":
            land.lake_surfaces(folder)
        for name, _, value in CLAY_GRIDS if on(s["unsatzon"]) and s["clay_layer"] else ():
            counts.write_grid_like(folder, "zones.asc", name, lambda r, c, z: value)
        for name, _, value in needed_grids(s) if s["needed_grids"] == "given" else ():
            value = float(s[value]) if isinstance(value, str) else value
            counts.write_grid_like(folder, "zones.asc", name, lambda r, c, z: value)
        if relevant("permafrost", s) and s["permafrost"] == "on":
            for name, _, value, _ in PERMAFROST_GRIDS:
                counts.write_grid_like(folder, "zones.asc", name, lambda r, c, z: value)
        if s["periodic_ponding"] == "on":
            counts.doubled_ponding_copies(folder)
    return edit


# --- what the runs wrote ---------------------------------------------------

def nonfinite_word(word):
    word = word.strip(",;:()").lower().lstrip("+-")
    return word in ("nan", "inf", "infinity") or word.startswith("nan(") or \
        word in ("nanf", "inff", "infinityf")


def binary_grid(data):
    """(bytes per value, columns, rows, levels) of horva's binary grid or
    stack, or None: twelve floats or doubles, the sixth -9999, then the
    values of every cell (of every level)."""
    for size, kind in ((4, "f"), (8, "d")):
        if len(data) < 12 * size or len(data) % size:
            continue
        head = struct.unpack("=12" + kind, data[:12 * size])
        columns, rows = head[0], head[1]
        if head[5] != -9999 or not (0 < columns < 1e6 and 0 < rows < 1e6) or \
                columns != int(columns) or rows != int(rows):
            continue
        cells = int(columns) * int(rows)
        values = len(data) // size - 12
        if values and values % cells == 0:
            return size, int(columns), int(rows), values // cells
    return None


def first_nonfinite(path):
    """Where the file holds a NaN or an infinity first, or None; a file of a
    form this cannot read is a fault of its own."""
    with open(path, "rb") as f:
        data = f.read()
    name = os.path.basename(path)
    if data[:4] in (b"CDF\x01", b"CDF\x02", b"\x89HDF"):
        dump = subprocess.run(["ncdump", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, errors="replace")
        ex.check(dump.returncode == 0, "ncdump cannot read %s: %s" % (name, dump.stdout[-500:]))
        for number, line in enumerate(dump.stdout.splitlines(), 1):
            if any(nonfinite_word(w) for w in re.split(r"[\s,;]+", line)):
                return "%s (ncdump line %d): %s" % (name, number, line.strip()[:120])
        return None
    grid = binary_grid(data)
    if grid:
        size, columns, rows, levels = grid
        values = struct.unpack("=%d%s" % (len(data) // size, "f" if size == 4 else "d"), data)
        for k, value in enumerate(values):
            if value != value or value in (float("inf"), float("-inf")):
                if k < 12:
                    return "%s: header value %d is %r" % (name, k + 1, value)
                if levels > 1:
                    return "%s: value %d of %d after the header (a stack of %d levels) is %r" % (
                        name, k - 11, len(values) - 12, levels, value)
                return "%s: row %d, column %d is %r" % (name, (k - 12) // columns + 1,
                                                        (k - 12) % columns + 1, value)
        return None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return "%s: neither text, nor a binary grid or stack, nor netCDF" % name
    for number, line in enumerate(text.splitlines(), 1):
        for column, word in enumerate(line.split(), 1):
            if nonfinite_word(word):
                return "%s: line %d, word %d is %s" % (name, number, column, word)
    return None


def nonfinite_outputs(work):
    found = []
    for name in sorted(os.listdir(os.path.join(work, "output"))):
        where = first_nonfinite(os.path.join(work, "output", name))
        if where:
            found.append(where)
    return found


# The tracers' outputs begin with the first three letters of their names.
TRACER_PREFIXES = {"none": (), "salt": ("sal",), "chloride": ("chl",), "two": ("chl", "sal")}
# The largest concentration of a tracer's outputs whose names match: chloride
# leaves with evaporation and comes in at 1 from every source (rain,
# lakes, soil and aquifer at the start), so that no store or flow holds
# more (its soil store holds masses); salt stays behind where water
# evaporates, and only what leaves a layer is capped at its max_conc of
# 100 mg/l. No output of a tracer holds a value below 0.
CONCENTRATION_BOUNDS = {"chl": (r"^chl(?!store)", 1.0), "sal": (r"^sal(unsat|routi)\.stat$", 100.0)}
# The water whose concentration an output gives, where a store or flow may
# hold none: the concentration is bounded where the water is above 0.
WATER_OF = {"unsat.stat": "qg.stat", "routi.stat": "routed.stat", "Surfa.stat": "qgsr.stat",
            "inter.asc": "intercept.asc", "snow_.asc": "swe.asc", "snowp.asc": "swe.asc"}
# The top layer's concentration where it is too dry to have one.
DRY_MARK = 99999.0


def grid_values(path):
    """(where, value) of every value of a statistics file (every subbasin
    and the catchment), an ASCII grid or stack, or a binary grid or stack,
    nodata included; none of a netCDF file."""
    with open(path, "rb") as f:
        data = f.read()
    name = os.path.basename(path)
    grid = binary_grid(data)
    if grid:
        size = grid[0]
        values = struct.unpack("=%d%s" % (len(data) // size, "f" if size == 4 else "d"), data)
        return [("%s: value %d after the header" % (name, k - 11), v)
                for k, v in enumerate(values) if k >= 12]
    if data[:4] in (b"CDF\x01", b"CDF\x02", b"\x89HDF"):
        return []
    lines = data.decode("utf-8", errors="replace").splitlines()
    head = 3 if name.endswith(".stat") else 12 if lines and lines[0].startswith("stack") else 6
    first = 4 if name.endswith(".stat") else 0
    found = []
    for number, line in enumerate(lines[head:], head + 1):
        for column, word in enumerate(line.split()[first:], first + 1):
            try:
                found.append(("%s: line %d, word %d" % (name, number, column), float(word)))
            except ValueError:
                continue
    return found


def tracer_faults(output, tracer):
    """The first value of each output of the tracers that lies below 0 or
    above the largest concentration its sources give."""
    faults = []
    for prefix in TRACER_PREFIXES[tracer]:
        pattern, bound = CONCENTRATION_BOUNDS[prefix]
        for name in sorted(n for n in os.listdir(output) if n.startswith(prefix)):
            values = grid_values(os.path.join(output, name))
            water = WATER_OF.get(name[len(prefix):])
            wet = [v > 0.0 for _, v in grid_values(os.path.join(output, water))] \
                if water and os.path.exists(os.path.join(output, water)) else []
            bounded = re.search(pattern, name)
            for k, (where, value) in enumerate(values):
                if value == -9999:
                    continue
                above = bounded and value != DRY_MARK and (len(wet) != len(values) or wet[k]) \
                    and value > bound * (1 + 1e-6) + 1e-9
                if value < -1e-9 or above:
                    faults.append("%s is %.6g (%s)" % (
                        where, value, "below 0" if value < 0 else "above %g" % bound))
                    break
    return faults


def step_dates(output):
    with open(os.path.join(output, "balance_precipitation.stat")) as f:
        return [" ".join(line.split()[:4]) for line in f.read().splitlines()[3:]]


def open_balance(output, tolerance):
    """None when every step and column of the balance closes, else the first
    step and column left open, its largest terms and how many are open."""
    terms = ex.balance_rows(output)
    try:
        ex.check_closure(terms, tolerance)
        return None
    except ex.Failure as failure:
        first = str(failure)
    step, column = (int(v) for v in re.search(r"step (\d+), column (\d+)", first).groups())
    rows = terms["precipitation"]
    opened = 0
    for k in range(len(rows)):
        for z in range(len(rows[k])):
            try:
                ex.check_closure({t: [[r[k][z]]] for t, r in terms.items()}, tolerance)
            except ex.Failure:
                opened += 1
    largest = sorted(((abs(r[step - 1][column - 1]), t, r[step - 1][column - 1])
                      for t, r in terms.items() if t != "residual" and r[step - 1][column - 1]),
                     reverse=True)[:5]
    columns = len(rows[0])
    return "%s (%s, %s); open in %d of %d steps and columns; its largest terms: %s" % (
        first, step_dates(output)[step - 1],
        "the catchment" if column == columns else "subbasin column %d" % column,
        opened, len(rows) * columns, ", ".join("%s %.6g" % (t, v) for _, t, v in largest))


def fatal_texts(work):
    """The FATAL entries of the run (mpiexec may fail before horva writes any)."""
    if not os.path.exists(os.path.join(work, ex.DIAG_FILE)):
        return ["no diagnostics file (see %s)" % os.path.join(work, "console.txt")]
    return small.fatal_entries(work)


def fatal_summary(work):
    entries = [t for t in fatal_texts(work) if "caught at top level" not in t and
               "Program aborted" not in t]
    return (entries[0].strip().replace("\n", " ")[:300]) if entries else "no FATAL entry"


def full_code(work):
    for text in fatal_texts(work):
        match = re.search(r"Program aborted with exit code (-?\d+)", text)
        if match:
            return int(match.group(1))
    return None


class Fault:
    def __init__(self, kind, text):
        self.kind, self.text = kind, text

    def __str__(self):
        return "%s: %s" % (self.kind, self.text)


def layout_name(processes, threads):
    return "%d process%s with %d thread%s" % (processes, "es" if processes > 1 else "",
                                            threads, "s" if threads > 1 else "")


class Run:
    """A run of a draw: its folder, layout and exit status."""

    def __init__(self, work, processes, threads, status):
        self.work, self.processes, self.threads, self.status = work, processes, threads, status

    def name(self):
        return layout_name(self.processes, self.threads)


def source(args, s):
    """The small catchment of the draw's shape, made once per shape."""
    with args.lock:
        if s["shape"] not in args.sources:
            rows, cols = (int(v) for v in s["shape"].split(" x "))
            args.sources[s["shape"]] = small.generate(
                os.path.join(args.work, "catchment_%dx%d" % (rows, cols)), days=MOST_DAYS,
                rows=rows, cols=cols)
        return args.sources[s["shape"]]


def run_layouts(args, draw, base, chosen):
    """The draw's runs on the layouts chosen, and their timeouts."""
    s = draw.settings
    runs, faults = [], []
    for processes, threads in chosen:
        work = os.path.join(base, "np%d_threads%d" % (processes, threads))
        small.prepare(work, source(args, s), run_days(s), control_edit(s), input_edit(s))
        speeds = land.UNEVEN_SPEEDS[:processes] if s["strips"] == "uneven" and processes > 1 \
            else None
        try:
            status, _ = small.run(args, work, processes, threads, speeds=speeds)
        except ex.Failure:
            faults.append(Fault("timeout", "%s did not end within %d s" %
                                (layout_name(processes, threads), args.timeout)))
            continue
        runs.append(Run(work, processes, threads, status))
    return runs, faults


def refusal_faults(draw, runs):
    """Whether a rule predicts the refusal of every refused run: its code,
    at set-up, alike on every layout; a refused run no rule predicts, and a
    draw every layout runs though a rule forbids it, are findings."""
    expected = draw.expected_codes()
    refused = [r for r in runs if r.status != 0]
    if not refused:
        if not draw.rules:
            return []
        return [Fault("ran though forbidden", "every layout ran; the rules predicted %s" %
                      ", ".join("%s (%d)" % (r.name, r.exit_code(draw.settings))
                                for r in draw.rules))]
    faults = []
    for run in runs:
        logged = full_code(run.work)
        if run.status == 0:
            faults.append(Fault("layout", "%s ran where %s refused" % (run.name(),
                                                                    refused[0].name())))
        elif logged not in expected or run.status != logged % 256:
            faults.append(Fault("unpredicted refusal", "%s ended with status %d, code %s%s: %s" % (
                run.name(), run.status, logged,
                " (the rules predicted %s)" % " or ".join(map(str, expected)) if expected else
                " (no rule predicts a refusal)", fatal_summary(run.work))))
        elif step_dates_written(run.work):
            faults.append(Fault("refusal", "%s refused it after the set-up, with steps in the "
                                "balance" % run.name()))
    return faults


def step_dates_written(work):
    dates = os.path.join(work, "output", "balance_precipitation.stat")
    return os.path.exists(dates) and bool(step_dates(os.path.dirname(dates)))


def interaction_by_strips(s, run):
    """River interaction 1 takes the water of a river for each process's own
    cells: its amounts depend on the decomposition."""
    return s["interaction"] == 1 and on(s["unsatzon"]) and run.processes > 1


# --- the properties of a draw that ran --------------------------------------
# Each takes (args, draw, base, runs), the runs all ended with status 0, and
# returns its faults.

def same_on_every_layout(args, draw, base, runs):
    faults = []
    for run in runs[1:]:
        if interaction_by_strips(draw.settings, run):
            continue
        differ = small.differing_outputs(runs[0].work, run.work)
        if differ:
            faults.append(Fault("layout", "%s differs from %s in %d files: %s" % (
                run.name(), runs[0].name(), len(differ), " ".join(differ[:12]))))
    return faults


def balance_closed(args, draw, base, runs):
    """On the first layout, and on those whose amounts are their own."""
    tolerance = closure.CHANNEL_TOLERANCE if draw.settings["routing"] == "on" else 1e-9
    faults = []
    for k, run in enumerate(runs):
        if k and not interaction_by_strips(draw.settings, run):
            continue
        opened = open_balance(os.path.join(run.work, "output"), tolerance)
        if opened:
            faults.append(Fault("balance", "%s: %s" % (run.name(), opened)))
    return faults


def water_goes_somewhere(args, draw, base, runs):
    """Every term of the balance is a source, an exit, a transfer that nets
    to 0 over the catchment or a storage."""
    tolerance = closure.CHANNEL_TOLERANCE if draw.settings["routing"] == "on" else 1e-9
    try:
        ex.check_destinations(ex.balance_rows(os.path.join(runs[0].work, "output")), tolerance,
                              units=draw.settings["spin_up"] != "off")
    except ex.Failure as failure:
        return [Fault("destinations", "%s: %s" % (runs[0].name(), failure))]
    return []


def outputs_finite(args, draw, base, runs):
    faults = []
    for run in runs:
        found = nonfinite_outputs(run.work)
        if found:
            faults.append(Fault("nonfinite", "%s: %d files, first %s" % (run.name(), len(found),
                                                                        found[0])))
    return faults


def tracers_within_sources(args, draw, base, runs):
    """No tracer's concentration below 0 or above what its sources give."""
    faults = []
    for run in runs:
        found = tracer_faults(os.path.join(run.work, "output"), draw.settings["tracer"])
        if found:
            faults.append(Fault("tracers", "%s: %d files, first %s" % (run.name(), len(found),
                                                                      found[0])))
    return faults


def warm_start_continues(args, draw, base, runs):
    s = draw.settings
    if not warm_checked(s):
        return []
    hour = split_hour(s)
    try:
        differ = small.continuation_differences(
            args, os.path.join(base, "warm"), source(args, s), run_days(s),
            control_edit(s, grid_format=False), input_edit(s), s["warm_processes"], hour)
    except ex.Failure as failure:
        differ = ["(%s)" % failure]
    if not differ:
        return []
    return [Fault("warm start", "from %02d:00 of day %d on %s the warm start differs from the run "
                  "through in %d files: %s" % (
                      hour, run_days(s), layout_name(s["warm_processes"], 1), len(differ),
                      " ".join(first_line(d) for d in differ[:12])))]


def first_line(difference):
    """The first line of a difference; of a run that ended early, with the
    message it ended on (a FATAL entry, or the line before the exception)."""
    lines = difference.split("\n")
    if "ended with status" not in lines[0]:
        return lines[0]
    said = [line for line in lines if "FATAL" in line] or \
        [before for before, line in zip(lines, lines[1:]) if re.search(r"[Ee]xception \d+", line)]
    return "%s %s" % (lines[0], said[0].strip()[:300] if said else "(no message)")


# The checks of every draw that ran, in order; the warm start, which runs
# again, last.
PROPERTIES = [same_on_every_layout, balance_closed, water_goes_somewhere, outputs_finite,
              tracers_within_sources, warm_start_continues]


def check_draw(args, draw, base, chosen=None, properties=None):
    """What became of the draw in folder base: "refused as predicted",
    "finding", "passed" or "failed", and the faults."""
    runs, faults = run_layouts(args, draw, base, chosen or layouts(draw.settings))
    refusal = refusal_faults(draw, runs)
    if refusal or any(r.status for r in runs):
        findings = [f for f in refusal if f.kind in FINDINGS]
        return ("finding" if findings else "failed" if refusal or faults else
                "refused as predicted"), faults + refusal
    if not faults:
        for check in PROPERTIES if properties is None else properties:
            faults += check(args, draw, base, runs)
    return ("failed" if faults else "passed"), faults


# What no fault of a run shows, but a rule that says otherwise than the program.
FINDINGS = ("unpredicted refusal", "ran though forbidden")


# --- shrinking a failure ---------------------------------------------------

def properties_for(kinds):
    """The checks that show faults of these kinds."""
    return [p for p, kind in ((same_on_every_layout, "layout"), (balance_closed, "balance"),
                              (water_goes_somewhere, "destinations"),
                              (outputs_finite, "nonfinite"), (tracers_within_sources, "tracers"),
                              (warm_start_continues, "warm start")) if kind in kinds]


def shrink(args, draw, kinds, base):
    """The settings closest to the example's own that still fail with a
    fault of one of these kinds: each dimension in turn takes its plain value
    where the failure stays and no rule breaks."""
    s = dict(draw.settings)
    chosen = None if "layout" in kinds else layouts(s)[:1]
    for name, _, plain in DIMENSIONS:
        if s[name] == plain or (name == "warm_start" and "warm start" in kinds):
            continue
        trial = dict(s, **{name: plain})
        if broken_rules(trial):
            continue
        _, faults = check_draw(args, Draw(draw.seed, draw.index, trial), os.path.join(base, name),
                               chosen, properties_for(kinds))
        shutil.rmtree(os.path.join(base, name), ignore_errors=True)
        if any(f.kind in kinds for f in faults):
            s = trial
    return s


def plain_changes(s):
    return " ".join("%s=%s" % (n, str(s[n]).replace(" ", "_"))
                    for n, _, plain in DIMENSIONS if s[n] != plain and relevant(n, s))


# --- the command line ------------------------------------------------------

def run_draw(args, draw):
    base = os.path.join(args.work, "seed%d" % draw.seed, "draw%d" % draw.index)
    shutil.rmtree(base, ignore_errors=True)
    start = time.time()
    try:
        outcome, faults = check_draw(args, draw, base)
    except ex.Failure as failure:
        outcome, faults = "failed", [Fault("sweep", str(failure))]
    shrunk = None
    if outcome in ("failed", "finding") and args.shrink and not draw.rules:
        shrunk = shrink(args, draw, {f.kind for f in faults}, os.path.join(base, "shrink"))
    if not faults and not args.keep:
        shutil.rmtree(base, ignore_errors=True)
    return outcome, faults, shrunk, time.time() - start


def report(draw, outcome, faults, shrunk, seconds):
    lines = ["%s: %s (%.0f s)" % ({"passed": "ok", "refused as predicted": "ok, refused",
                                   "finding": "FINDING", "failed": "FAILED"}[outcome],
                                  draw.title(), seconds)]
    for fault in faults:
        lines.append("  %s" % fault)
    if shrunk:
        lines.append("  shrunk to the example with %s" % plain_changes(shrunk))
    if faults and draw.index >= 0:
        lines.append("  rerun: --seed %d --only %d" % (draw.seed, draw.index))
    elif faults:
        lines.append("  rerun: --example \"%s\"" % plain_changes(draw.settings))
    return "\n".join(lines)


def parse_settings(text):
    """The settings of the example changed by "name=value ..." as a draw's
    line gives them (a blank of a value written as "_")."""
    s = dict(PLAIN)
    values = {name: values for name, values, _ in DIMENSIONS}
    for word in text.split():
        name, _, value = word.partition("=")
        ex.check(name in values, "no dimension %s" % name)
        chosen = [v for v in values[name] if str(v) == value.replace("_", " ") and v != "|"]
        ex.check(chosen, "%s takes none of %s" % (name, value))
        s[name] = chosen[0]
    return s


# The shrunk forms of draws that failed, as `--example` takes them: name:
# (settings, what failed when they were found). `--found` runs them, and CI
# runs them once their fault is mended: each failed before its mend.
FOUND = {
    "a warm start takes surface routing's own negative runoff sum": (
        "interaction=1 river_cells=every_even_column surface_routing=6 groundwater=off "
        "warm_start=at_noon",
        "seed 2719 draw 41; on main 6ee3589 and 3ad0d5c the warm start ended with 71: the state "
        "file's flow-time record of zone 2 held sx -2.2509993868879974e-11, which the run "
        "wrote itself"),
    "a warm start on 3 processes takes surface routing's own negative runoff sum": (
        "interaction=1 river_cells=every_even_column surface_routing=6 groundwater=off "
        "warm_start=at_noon warm_processes=3",
        "seed 6143 draw 99 and seed 8363 draw 102; on main 3ad0d5c the warm start ended with "
        "71: the direct runoff storage of zone 2 held -2.923357865285399e-13"),
    "a warm start with interaction 2 takes surface routing's own negative runoff sum": (
        "interaction=2 river_cells=every_even_column surface_routing=6 warm_start=at_midnight",
        "seed 6143 draw 8; on main 3ad0d5c the warm start ended with 71 over sx "
        "-2.2509993868879974e-11 of zone 2"),
    "a warm start takes surface routing's own negative weight sum": (
        "shape=19_x_27 surface_routing=6 groundwater=off warm_start=at_noon",
        "seed 9173 draw 140; on main 3ad0d5c and d8920a9 the warm start ended with 71: the "
        "state file's flow-time record of zone 1 held the weight sum n -1.688249540165998e-11"),
    "a warm start takes surface routing's own negative stores after daily cloudbursts": (
        "weather=cloudburst_x50 step=day radiation=4 interception=off clay_layer=1 "
        "layered_snow=off surface_routing=6 surface_flow_control=3 groundwater=off "
        "warm_start=at_midnight warm_processes=3",
        "seed 7393 draw 77; on main 3ad0d5c the warm start of day 9 ended with 71: on 1 process "
        "the state file's runoff sum sx of a flow-time record of zone 1 read "
        "-9.796920379924417e-22, on 3 processes the direct runoff storage of zone 1 "
        "-5.492941399735841e-23, both written by the run through"),
    "a pond of a few 1e-18 mm keeps the concentration of its water": (
        "radiation=3 land_use_layers=one interception=2 surface_routing=5 tracer=chloride "
        "substeps=2",
        "seed 6311 draw 133; on main 7c03873 and 3ad0d5c chlstore.asc held a pond's chloride "
        "concentration of -1 (line 621, row 7, column 9; 1 and 3 processes): a pond of "
        "3.5e-18 mm with -3.5e-18 of mass, the remainder the surface water left by difference"),
}

OUTCOMES = ("refused as predicted", "finding", "passed", "failed")
# The sample CI runs (about 45 s): draws that run with spin-up response
# units, with snow slides on the layered snow pack, with a dynamic glacier's
# annual close under a canopy, with warm starts at midnight and at noon (one
# while the land carries water), daily steps, uneven shapes and strips,
# drains under the lowland, rivers linked on many cells, lakes on uneven
# ground and the aquifer's line sweeps on a long strip, and a refusal
# (sweep_checks_test holds it to that).
CI_SEED, CI_DRAWS = 1831, (0, 3, 22, 24, 37)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--horva", required=True)
    parser.add_argument("--mpiexec", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=10, help="draws 0 .. count-1 of the seed")
    parser.add_argument("--only", type=int, action="append", metavar="K",
                        help="run draw K of the seed alone (repeatable)")
    parser.add_argument("--jobs", type=int, default=1, help="draws run at once")
    parser.add_argument("--timeout", type=int, default=240, help="seconds a run may take")
    parser.add_argument("--shrink", action="store_true",
                        help="look for the fewest settings that still fail")
    parser.add_argument("--keep", action="store_true", help="keep the folders of passed draws")
    parser.add_argument("--list", action="store_true", help="print the draws, run nothing")
    parser.add_argument("--ci", action="store_true", help="run the draws of CI's sample")
    parser.add_argument("--example", metavar="SETTINGS",
                        help="run the example changed by \"name=value ...\" alone")
    parser.add_argument("--found", nargs="*", choices=sorted(FOUND), metavar="NAME",
                        help="run the shrunk draws of FOUND (those named, or all)")
    args = parser.parse_args(argv)
    if args.ci:
        args.seed, args.only = CI_SEED, list(CI_DRAWS)
    if args.found is not None:
        draws = []
        for k, name in enumerate(args.found or sorted(FOUND)):
            draws.append(Draw(args.seed, -1 - k, parse_settings(FOUND[name][0])))
            draws[-1].name = name
    elif args.example is not None:
        draws = [Draw(args.seed, -1, parse_settings(args.example))]
    else:
        draws = [Draw(args.seed, k) for k in (args.only or range(args.count))]
    if args.list:
        for draw in draws:
            print(draw.title())
        return 0
    # The runs start in their own folders.
    args.work, args.horva = os.path.abspath(args.work), os.path.abspath(args.horva)
    os.makedirs(args.work, exist_ok=True)
    args.sources, args.lock = {}, threading.Lock()
    counted = {outcome: [] for outcome in OUTCOMES}
    kinds = {}
    start = time.time()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = {pool.submit(run_draw, args, draw): draw for draw in draws}
        for future in concurrent.futures.as_completed(futures):
            draw = futures[future]
            outcome, faults, shrunk, seconds = future.result()
            print(report(draw, outcome, faults, shrunk, seconds), flush=True)
            counted[outcome].append(draw.index)
            for kind in {f.kind for f in faults}:
                kinds[kind] = kinds.get(kind, 0) + 1
    made = sum(1 for d in draws if d.made)
    warm = sum(1 for d in draws if warm_checked(d.settings) and not d.rules)
    bad = sorted(counted["finding"] + counted["failed"])
    print("seed %d: %d draws (%d made to break a rule, %d with a warm start) in %.0f s: %s%s%s" % (
        args.seed, len(draws), made, warm, time.time() - start,
        ", ".join("%d %s" % (len(counted[o]), o) for o in OUTCOMES),
        (" (" + ", ".join("%s %d" % kv for kv in sorted(kinds.items())) + ")") if kinds else "",
        (": draws " + " ".join(map(str, bad))) if bad else ""))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
