"""Landscapes the combination sweep draws beside its switches.

A switch turns a module on; a landscape gives the modules ground to work on:
drains under the lowland only, rivers linked on many cells, lakes whose
cells lie at different heights (with the elevation model method 2 needs),
macropores in every soil, and long strips of cells on several processes.
LANDSCAPES names the sets of values that make such a catchment; a draw that
takes one takes each of its dimensions from the set, in the set's order.
"""

import os
import re

import example_test as ex
import process_counts_test as counts

# The shapes whose lakes have cells at different heights (the lake's top
# one level, the bed following the valley floor towards the dam).
UNEVEN_LAKE_SHAPES = ("13 x 41", "29 x 11", "31 x 31", "37 x 13")
# Shapes of few rows or few columns: on 3 and 4 processes strips of 2-4 rows,
# or of many rows and few columns.
LONG_STRIP_SHAPES = ("37 x 13", "11 x 29", "13 x 41")
# The times of ranks 0-3 that uneven strips read as their speeds (a larger
# time is a slower process, which takes fewer rows).
UNEVEN_SPEEDS = (1.0, 2.2, 0.6, 1.5)
# The share of the catchment's cells, the lowest, that the drains lie under,
# their depth (m) and distance (m).
LOWLAND_SHARE = 0.75
DRAIN_DEPTH, DRAIN_DISTANCE = 1.0, 20.0
# The bed of a river added to the example's, m.
RIVER_DEPTH, RIVER_WIDTH = 1.0, 5.0
# Macropores in every soil type: the threshold of the water reaching the
# surface (m/s, about 0.4 mm an hour), the largest flow (m/s), the depth
# they feed (m) and the capacity's factor per metre.
MACROPORES = "PMacroThresh = 1e-7; MacroCapacity = 5e-5; MacroDepth = 0.6; CapacityRedu = 0.5;"


def read_grid(folder, name):
    """{(row, column): word} of an ASCII grid (rows and columns from 1) and
    its nodata word."""
    with open(os.path.join(folder, name)) as f:
        lines = f.read().splitlines()
    nodata = lines[5].split()[1]
    return {(r, c): v for r, line in enumerate(lines[6:], 1)
            for c, v in enumerate(line.split(), 1)}, nodata


def lowland_cells(folder):
    """The cells of the catchment at or below the elevation under which
    LOWLAND_SHARE of its cells lie."""
    zones, nodata = read_grid(folder, "zones.asc")
    dem, _ = read_grid(folder, "dem.asc")
    inside = sorted((float(dem[cell]), cell) for cell, z in zones.items() if z != nodata)
    ex.check(inside, "the zone grid holds no cell")
    limit = inside[max(0, int(round(LOWLAND_SHARE * len(inside))) - 1)][0]
    return {cell for height, cell in inside if height <= limit}


def lowland_drains(folder):
    """Drains under the lowland; the other cells of the catchment have
    none: a depth of 0 and no distance (nodata)."""
    low = lowland_cells(folder)
    counts.write_grid_like(folder, "zones.asc", "drainage_depth.asc",
                           lambda r, c, z: DRAIN_DEPTH if (r, c) in low else 0.0)
    counts.write_grid_like(folder, "zones.asc", "drainage_distance.asc",
                           lambda r, c, z: DRAIN_DISTANCE if (r, c) in low else -9999)


def rivers_on_even_columns(folder):
    """A river on every cell of an even column of the catchment besides the
    example's own rivers, which keep their beds."""
    for name, value in (("river_depth.asc", RIVER_DEPTH), ("river_width.asc", RIVER_WIDTH)):
        old, nodata = read_grid(folder, name)
        counts.write_grid_like(folder, "zones.asc", name,
                               lambda r, c, z: old[(r, c)] if old[(r, c)] != nodata else
                               value if c % 2 == 0 else nodata)


def lake_surfaces(folder):
    """The elevation model with the lakes' surfaces: each lake cell raised
    by its largest ponding depth, which method 2 sinks again."""
    lakes, nodata = read_grid(folder, "lake_codes.asc")
    ponding, _ = read_grid(folder, "ponding.asc")
    path = os.path.join(folder, "dem.asc")
    with open(path) as f:
        lines = f.read().splitlines()
    rows = []
    for r, line in enumerate(lines[6:], 1):
        rows.append(" ".join("%.4f" % (float(v) + float(ponding[(r, c)]))
                             if lakes.get((r, c), nodata) != nodata else v
                             for c, v in enumerate(line.split(), 1)))
    with open(path, "w") as f:
        f.write("\n".join(lines[:6] + rows) + "\n")


def with_macropores(text):
    """Macropores in every soil type of the soil table."""
    text, count = re.subn(r"^(  method = MultipleHorizons; layers = \d+;)$",
                          r"\1\n  " + MACROPORES, text, flags=re.M)
    ex.check(count >= 3, "the soil table has %d soil types" % count)
    return text


def lake_tops(folder):
    """{lake code: the set of its cells' elevation plus largest ponding depth,
    and the set of its cells' elevations}, m, rounded to 0.01 m."""
    lakes, nodata = read_grid(folder, "lake_codes.asc")
    ponding, _ = read_grid(folder, "ponding.asc")
    dem, _ = read_grid(folder, "dem.asc")
    tops = {}
    for cell, code in lakes.items():
        if code != nodata:
            top, ground = tops.setdefault(code, (set(), set()))
            top.add(round(float(dem[cell]) + float(ponding[cell]), 2))
            ground.add(round(float(dem[cell]), 2))
    return tops


def glacier_and_canopy_snow(rng, s):
    """Snow methods that the canopy's energy balance (interception 32) needs."""
    return rng.choice((5, 11) if s["interception"] == 32 else (1, 3, 5, 11, 12))


# name: (weight, {dimension: the values it takes, or a function of the
# random generator and the settings so far}). Each set breaks no rule by
# itself; a dimension it leaves alone is drawn as usual.
LANDSCAPES = {
    "drained lowland": (2, {
        "drainage": ("lowland",), "unsatzon": (2, 3), "evapotranspiration": (1,),
        "groundwater": (1, 2, "off"), "groundwater_pond_flag": (1,), "interaction": (1, 2, 0),
        "irrigation": ("surface water", "groundwater", "off"), "routing": ("on",),
        "tracer": ("none",), "spin_up": ("off",),
        "weather": ("as made", "cloudburst", "warm cloudburst", "freeze-thaw")}),
    "rivers linked on many cells": (2, {
        "river_cells": ("every even column",), "interaction": (1, 2), "unsatzon": (2, 3),
        "evapotranspiration": (1,), "groundwater": (1, 2, "off"), "groundwater_pond_flag": (1,),
        "routing": ("on",), "tracer": ("none",), "spin_up": ("off",)}),
    "a dynamic glacier under a canopy": (2, {
        "glacier": ("dynamic 11", "dynamic 12", "dynamic 13"), "interception": (21, 22, 32),
        "snow": glacier_and_canopy_snow, "evapotranspiration": (1,), "silting": ("off",),
        "surface_routing": ("off",), "glacier_close": ("1 3", "2 3"),
        "glacier_cells": ("partial", "whole"), "spin_up": ("off",),
        "weather": ("rain on snow", "freeze-thaw", "cold cloudburst", "as made")}),
    "lakes on uneven ground": (2, {
        "shape": UNEVEN_LAKE_SHAPES, "lakes": (1, 2), "unsatzon": (2, 3),
        "evapotranspiration": (1,), "ponding": (1,), "groundwater_pond_flag": (1,),
        "routing": ("on",), "spin_up": ("off",), "glacier": ("static 1", "static 2", "none")}),
    "long strips": (2, {
        "shape": LONG_STRIP_SHAPES, "processes": (3, 4), "groundwater": (2, 1),
        "groundwater_pond_flag": (1,), "unsatzon": (2, 3), "evapotranspiration": (1,),
        "strips": ("even", "uneven"), "spin_up": ("off",)}),
    "daily steps with tracers and groundwater": (2, {
        "step": ("day",), "tracer": ("salt", "chloride", "two"), "groundwater": (1, 2),
        "groundwater_pond_flag": (1,), "unsatzon": (2, 3), "evapotranspiration": (1,),
        "interaction": (0, 1), "macropores": ("every soil type", "none"), "spin_up": ("off",)}),
    "a warm start while the land carries water": (2, {
        "weather": ("rain on snow", "cloudburst", "warm cloudburst", "cloudburst x50"),
        "surface_routing": (1, 2, 3, 4, 5, 6), "warm_start": ("at midnight", "at noon"),
        "days": (3, 2), "unsatzon": (2, 3), "evapotranspiration": (1,), "spin_up": ("off",),
        "glacier": ("static 1", "static 2", "none"), "radiation_every": (1,)}),
}


def apply_landscape(rng, name, settings):
    """The settings with the values of landscape `name` drawn in."""
    for dimension, values in LANDSCAPES[name][1].items():
        settings[dimension] = values(rng, settings) if callable(values) else rng.choice(values)
    return settings
