#!/usr/bin/env python3
"""Writes the synthetic example catchment of horva at any size.

A main valley runs from north to an outlet on the southern edge, a side
valley joins it from the north-east; three subbasins, soil, land-use, region
and ponding grids, a small glacier on the highest crest, a reservoir at the
outlet and a lake in the upper valley, an aquifer of two layers (the soil's
saturated zone and the valley fill under it), parameter tables, hourly
station files of five meteorological variables and the control file that
runs them. The same landscape and the same weather come out at every size:
the grids sample one landscape defined on the unit square, and the stations
sit at fixed relative positions (their elevations do not depend on the
grid).

usage: make_catchment.py [--rows 60] [--cols 80] [--days 122] [--out DIR] [--jobs N]

DIR (default: the folder "catchment" next to this script) receives the
control file catchment.ctl and the folder input/ with the grids and station
files. Only the Python standard library is needed.
"""

import argparse
import functools
import math
import multiprocessing
import os
import random
import re
import sys

CELL_SIZE = 100.0
XLL = 2700000.0
YLL = 1200000.0
NODATA = -9999
START = (2021, 3, 1)  # the first day of the station files, hour 0
LATITUDE = 47.3
LONGITUDE = 8.9
REFERENCE_MERIDIAN = 15.0

# --- the landscape on the unit square: u from west to east, v from north to
# south (the order of the rows of a grid file) ---------------------------------


@functools.lru_cache(maxsize=None)
def _hash01(ix, iy, seed):
    h = (ix * 374761393 + iy * 668265263 + seed * 2246822519) & 0xFFFFFFFF
    h = ((h ^ (h >> 13)) * 1274126177) & 0xFFFFFFFF
    return ((h ^ (h >> 16)) & 0xFFFFFF) / float(0xFFFFFF)


def noise(x, y, seed, octaves=3):
    """Smooth value noise in 0 .. 1, frequency doubling per octave."""
    total = 0.0
    weight = 0.5
    norm = 0.0
    for octave in range(octaves):
        f = 4 << octave
        fx, fy = x * f, y * f
        ix, iy = int(math.floor(fx)), int(math.floor(fy))
        tx, ty = fx - ix, fy - iy
        tx = tx * tx * (3 - 2 * tx)
        ty = ty * ty * (3 - 2 * ty)
        s = seed + 17 * octave
        a = _hash01(ix, iy, s)
        b = _hash01(ix, iy + 1, s)
        a += (_hash01(ix + 1, iy, s) - a) * tx
        b += (_hash01(ix + 1, iy + 1, s) - b) * tx
        total += weight * (a + (b - a) * ty)
        norm += weight
        weight *= 0.5
    return total / norm


def main_axis(v):
    """West-east position of the main valley's floor at v."""
    return 0.42 + 0.08 * math.sin(2.2 * math.pi * v)


JUNCTION_V = 0.62
JUNCTION = (main_axis(JUNCTION_V), JUNCTION_V)
TRIBUTARY_HEAD = (0.90, 0.22)


def tributary_position(u, v):
    """Distance to the side valley's axis and the share of its length (0 at
    the junction, 1 at its head)."""
    ax, ay = JUNCTION
    bx, by = TRIBUTARY_HEAD
    dx, dy = bx - ax, by - ay
    t = ((u - ax) * dx + (v - ay) * dy) / (dx * dx + dy * dy)
    t = min(1.0, max(0.0, t))
    return math.hypot(u - ax - t * dx, v - ay - t * dy), t


def main_floor(v):
    return 420.0 + 480.0 * (1.0 - v) ** 1.3


class Site:
    """What the landscape is at one point."""

    __slots__ = ("inside", "elevation", "above_floor", "subbasin")


def site(u, v):
    s = Site()
    wobble = noise(u, v, 7)
    d_main = abs(u - main_axis(v))
    d_trib, t = tributary_position(u, v)
    main_surface = main_floor(v) + 1150.0 * (d_main / 0.3) ** 1.5
    trib_floor = main_floor(JUNCTION_V) + 520.0 * t**1.2
    trib_surface = trib_floor + 1150.0 * (d_trib / 0.3) ** 1.5
    relief = 70.0 * (noise(u, v, 3) - 0.5) + 10.0 * (noise(u, v, 11, 2) - 0.5)
    in_trib = trib_surface < main_surface
    floor = trib_floor if in_trib else main_floor(v)
    s.elevation = min(main_surface, trib_surface) + relief * min(1.0, (d_trib if in_trib else d_main) / 0.05)
    s.above_floor = s.elevation - floor

    # The divide follows the ridges; near the outlet the catchment narrows to
    # a gorge, at the top it ends below the crest.
    half_width = 0.30 - 0.22 * max(0.0, v - 0.75) / 0.25 + 0.05 * (wobble - 0.5)
    top = 0.03 + 0.05 * (d_main / 0.3) ** 2
    main_part = d_main < half_width and v > top
    trib_part = d_trib < 0.16 + 0.04 * (wobble - 0.5) and t < 0.97
    s.inside = (main_part or trib_part) and 0.01 < u < 0.99
    if in_trib and trib_part and t > 0.03:
        s.subbasin = 2
    elif v < 0.5:
        s.subbasin = 3
    else:
        s.subbasin = 1
    return s


def soil_code(s, u, v):
    if s.above_floor < 25.0:
        return 1  # alluvial loam of the valley floors
    if s.elevation > 1250.0 + 80.0 * (noise(u, v, 23) - 0.5):
        return 3  # shallow stony soil of the crests
    return 2  # brown earth of the slopes


def landuse_code(s, u, v, soil):
    patch = noise(u, v, 31)
    if soil == 1:
        if v > 0.7 and patch > 0.5:
            return 1  # settlement
        return 2 if patch > 0.35 else 3  # fields, else meadows
    if s.elevation > 1380.0:
        return 3  # alpine pasture
    if s.above_floor < 90.0 and patch > 0.45:
        return 3
    return 4 if s.elevation < 880.0 + 120.0 * (patch - 0.5) else 5  # deciduous, coniferous


def region_code(v):
    return 1 if v < 0.5 else 2


RIVER_DEPTH = 1.0  # m, the riverbed below the ground


def is_river(s):
    """Surface routing hands its water to the channel on the valley floors."""
    return s.above_floor < 6.0


def irrigation_code(s, v, landuse):
    """The fields of the lower main valley are sprinkled from groundwater."""
    return 1 if landuse == 2 and s.subbasin == 1 and v > 0.7 else 0


def ponding_storage(s, soil):
    """Largest ponding depth in m (the model holds it in mm): flat valley
    floors hold more."""
    return 0.001 * (5.0 + (20.0 if soil == 1 else 0.0) + 10.0 * max(0.0, 1.0 - s.above_floor / 100.0))


# A small glacier on the highest crest of the north: firn above 1900 m, ice
# below it down to 1875 m.
GLACIER_BOTTOM = 1875.0
FIRN_BOTTOM = 1900.0


def ice_firn(s):
    """1 ice, 2 firn, 0 no glacier."""
    if s.elevation < GLACIER_BOTTOM:
        return 0
    return 2 if s.elevation >= FIRN_BOTTOM else 1


class Lake:
    """A lake of a few cells on the main valley's floor: an ellipse around
    the valley's axis at v with half-axes (a, b) in subbasin `subbasin`, its
    surface `rise` m above the floor at v. Its bed is the ground where that
    lies lower (towards the dam) and half a metre below the surface
    elsewhere."""

    def __init__(self, code, subbasin, v, a, b, rise):
        self.code, self.subbasin = code, subbasin
        self.u, self.v, self.a, self.b = main_axis(v), v, a, b
        self.surface = round(main_floor(v) + rise, 1)

    def covers(self, u, v):
        return ((u - self.u) / self.a) ** 2 + ((v - self.v) / self.b) ** 2 < 1.0

    def bed(self, s):
        return round(min(s.elevation, self.surface - 0.5), 1)


# The reservoir of the outlet's gorge behind its dam, and a natural lake in
# the upper main valley. Channel routing holds both on the grid: a cell's
# elevation plus its largest ponding depth is the lake's top.
LAKES = (Lake(1, 1, 0.88, 0.035, 0.04, 4.0), Lake(2, 3, 0.33, 0.025, 0.03, 2.0))


def lake_at(s, u, v):
    """The lake at (u, v), or None."""
    for lake in LAKES:
        if s.inside and s.subbasin == lake.subbasin and lake.covers(u, v):
            return lake
    return None


# The aquifer has two layers, and both start at the soil's table (the grid
# read parameter 0 of [groundwater_flow]). Layer 1 is the soil's saturated
# zone, as thick as the soil profile: it conducts as the lowest horizon of
# SOIL_TABLE does (m/s) and gives 5 % of a metre of head.
SOIL_SATURATED_ZONE_K = {1: 1.5e-6, 2: 3.0e-6, 3: 2.0e-5}
SOIL_SATURATED_ZONE_S = 0.05


def valley_share(s, height):
    """1 on the valley floor, falling to 0 at `height` m above it."""
    return max(0.0, 1.0 - s.above_floor / height)


# Layer 2 is the valley fill, silty sand and gravel 20 m thick under the
# floors, thinning within 60 m up the slopes to 2 m of weathered rock, which
# conducts and stores little. A fill that drains faster would empty the
# upper valley, which no river feeds, in the weeks after the cold start.
def fill_thickness(s):
    return 2.0 + 18.0 * valley_share(s, 60.0)


def fill_conductivity(s):
    return 2e-6 + 1e-5 * valley_share(s, 60.0)


def fill_storage(s):
    return 0.005 + 0.045 * valley_share(s, 60.0)


def leakage(soil, lake):
    """Between the layers (1/s): under the valley floors the fill lies
    against the alluvium, so that what the slopes send down the fill rises
    into the soil with a few centimetres of head instead of standing metres
    above the ground; the lakes' silted beds pass a quarter of that, the
    weathered rock of the slopes 1e-7 m/s per metre of head."""
    return 5e-7 if lake else 2e-6 if soil == 1 else 1e-7


def fixed_head(u, v, elevation, nrows, ncols):
    """The valley fill leaves the catchment under the river in the gorge:
    the cells of the last row within a cell's width of the valley's axis
    keep, in both layers, the riverbed's level, RIVER_DEPTH below the
    ground. Elsewhere the catchment's edge is a divide."""
    if v > 1.0 - 1.0 / nrows and abs(u - main_axis(v)) <= 1.0 / ncols:
        return "%.1f" % (elevation - RIVER_DEPTH)
    return str(NODATA)


# --- grids -------------------------------------------------------------------

GRIDS = ("zones", "dem", "soil", "landuse", "regions", "ponding", "river_depth", "river_width",
         "river_links", "irrigation", "ice_firn", "lake_codes", "aquifer_thickness", "gw_k_1",
         "gw_k_2", "gw_storage_coeff_1", "gw_storage_coeff_2", "gw_boundary_fix_h",
         "gw_boundary_fix_q", "gw_kolmation_1")
# The grids that hold a value only inside the catchment.
CATCHMENT_GRIDS = GRIDS[:1] + GRIDS[2:]


def grid_rows(task):
    """The text of rows first .. last of every grid file."""
    first, last, nrows, ncols = task
    lines = {name: [] for name in GRIDS}
    nd = str(NODATA)
    for r in range(first, last + 1):
        v = (r - 0.5) / nrows
        row = {name: [] for name in GRIDS}
        for c in range(1, ncols + 1):
            u = (c - 0.5) / ncols
            s = site(u, v)
            lake = lake_at(s, u, v)
            elevation = lake.bed(s) if lake else s.elevation
            row["dem"].append("%.1f" % elevation)
            if not s.inside:
                for name in CATCHMENT_GRIDS:
                    row[name].append(nd)
                continue
            soil = soil_code(s, u, v)
            landuse = landuse_code(s, u, v, soil)
            river = is_river(s)
            row["zones"].append(str(s.subbasin))
            row["soil"].append(str(soil))
            row["landuse"].append(str(landuse))
            row["regions"].append(str(region_code(v)))
            ponding = lake.surface - elevation if lake else ponding_storage(s, soil)
            row["ponding"].append("%.4f" % ponding)
            row["river_depth"].append("%.1f" % RIVER_DEPTH if river else nd)
            row["river_width"].append("5.0" if river else nd)
            row["river_links"].append("0")
            row["irrigation"].append(str(irrigation_code(s, v, landuse)))
            row["ice_firn"].append(str(ice_firn(s)))
            row["lake_codes"].append(str(lake.code) if lake else nd)
            row["aquifer_thickness"].append("%.1f" % fill_thickness(s))
            row["gw_k_1"].append("%.2e" % SOIL_SATURATED_ZONE_K[soil])
            row["gw_k_2"].append("%.2e" % fill_conductivity(s))
            row["gw_storage_coeff_1"].append("%.2f" % SOIL_SATURATED_ZONE_S)
            row["gw_storage_coeff_2"].append("%.3f" % fill_storage(s))
            row["gw_boundary_fix_h"].append(fixed_head(u, v, elevation, nrows, ncols))
            row["gw_boundary_fix_q"].append(nd)
            row["gw_kolmation_1"].append("%.0e" % leakage(soil, lake))
        for name in GRIDS:
            lines[name].append(" ".join(row[name]))
    return {name: "\n".join(text) + "\n" for name, text in lines.items()}


def write_grids(folder, nrows, ncols, jobs):
    header = (
        "ncols %d\nnrows %d\nxllcorner %.1f\nyllcorner %.1f\ncellsize %.1f\nnodata_value %d\n"
        % (ncols, nrows, XLL, YLL, CELL_SIZE, NODATA)
    )
    files = {name: open(os.path.join(folder, name + ".asc"), "w", newline="\n") for name in GRIDS}
    try:
        for f in files.values():
            f.write(header)
        block = max(1, min(64, nrows // (4 * max(1, jobs)) or 1))
        tasks = [(a, min(nrows, a + block - 1), nrows, ncols) for a in range(1, nrows + 1, block)]
        if jobs > 1 and len(tasks) > 1:
            with multiprocessing.Pool(jobs) as pool:
                for texts in pool.imap(grid_rows, tasks):
                    for name in GRIDS:
                        files[name].write(texts[name])
        else:
            for task in tasks:
                texts = grid_rows(task)
                for name in GRIDS:
                    files[name].write(texts[name])
    finally:
        for f in files.values():
            f.close()


# --- stations and weather -------------------------------------------------------

# Name and position (u, v) of every station of the network.
STATIONS = {
    "Talmuendung": (0.47, 0.95),
    "Unterau": (0.40, 0.78),
    "Kirchberg": (0.22, 0.70),
    "Seitental": (0.70, 0.55),
    "Hochalm": (0.84, 0.30),
    "Mitteldorf": (0.50, 0.53),
    "Oberwald": (0.44, 0.20),
    "Gratkopf": (0.18, 0.36),
    "Sattel": (0.62, 0.33),
    "Ostrand": (0.80, 0.66),
}

# The stations of each variable's file, in the order of its columns.
NETWORKS = {
    "temperature": ["Talmuendung", "Unterau", "Kirchberg", "Mitteldorf", "Hochalm", "Oberwald",
                    "Gratkopf", "Sattel"],
    "precipitation": list(STATIONS),
    "air_humidity": ["Talmuendung", "Seitental", "Mitteldorf", "Oberwald", "Gratkopf"],
    "wind_speed": ["Talmuendung", "Hochalm", "Mitteldorf", "Gratkopf", "Sattel"],
    "global_radiation": ["Talmuendung", "Kirchberg", "Hochalm", "Mitteldorf", "Oberwald"],
}

HEADLINES = {
    "temperature": "air temperature in degrees C, hourly",
    "precipitation": "precipitation in mm per hour",
    "air_humidity": "relative humidity as a fraction (0 .. 1), hourly",
    "wind_speed": "wind speed in m/s, hourly",
    "global_radiation": "global radiation in Wh/m2 per hour",
}

# One weather type per day from 1 March, repeated after the last: S sunny,
# T afternoon thunderstorm, F frontal rain, H heavy frontal rain, C cloudy and
# cool, W showery. March brings snow to the heights, April its melt and a
# rain flood, May a dry spell of three weeks, June a second flood and storms.
WEATHER = ("STSSFFCSSSTSWWCSSSSSTFFCSSTSWFC"
           "CWWSSSFCSSWSSSCFHHCSSTSSWCSSFS"
           "SSSSSSSSSSSSSSSSSSSSSTSCWSSTSSS"
           "STSSTSSFHHHCWSSSTSSSSWSTTSSSCS")
# Mean temperature of the valley floor (420 m) on 1 March and its rise per day.
SPRING_TEMPERATURE = 1.0
WARMING_PER_DAY = 0.14

# Hours in which a station's file holds no value (station, day from 0, hours).
OUTAGES = {
    "air_humidity": [("Mitteldorf", 1, range(3, 7))],
    "temperature": [("Gratkopf", 8, range(10, 15))],
    "precipitation": [("Ostrand", 11, range(6, 24)), ("Ostrand", 12, range(0, 6))],
}


def days_in_month(year, month):
    if month == 2:
        return 29 if year % 4 == 0 and (year % 100 != 0 or year % 400 == 0) else 28
    return 31 if month in (1, 3, 5, 7, 8, 10, 12) else 30


def calendar(days):
    year, month, day = START
    for _ in range(days):
        yield year, month, day
        day += 1
        if day > days_in_month(year, month):
            day, month = 1, month + 1
            if month > 12:
                month, year = 1, year + 1


def day_of_year(year, month, day):
    return sum(days_in_month(year, m) for m in range(1, month)) + day


class Weather:
    """The regional weather of every hour, shared by all stations."""

    def __init__(self, days):
        rng = random.Random(20210301)
        self.hours = []
        for d, (year, month, day) in enumerate(calendar(days)):
            kind = WEATHER[d % len(WEATHER)]
            mean = SPRING_TEMPERATURE + WARMING_PER_DAY * d + {
                "S": 1.5, "T": 2.5, "F": -3.5, "H": -4.0, "C": -2.5, "W": -1.0}[kind]
            mean += 1.2 * (rng.random() - 0.5)
            swing = {"S": 6.0, "T": 5.0, "F": 1.8, "H": 1.5, "C": 2.2, "W": 3.5}[kind]
            rain = self.rain_of_day(kind, rng)
            for h in range(24):
                # The value of hour h covers the hour that begins at h.
                clock = h + 0.5
                wave = math.cos(2.0 * math.pi * (clock - 15.0) / 24.0)
                cloud = {"S": 0.92, "T": 0.85, "F": 0.25, "H": 0.15, "C": 0.45, "W": 0.55}[kind]
                cloud += 0.1 * (rng.random() - 0.5)
                if rain[h] > 0.0:
                    cloud = min(cloud, 0.3)
                self.hours.append({
                    "date": (year, month, day, h),
                    "doy": day_of_year(year, month, day),
                    "clock": clock,
                    "temperature": mean + swing * wave,
                    "rain": rain[h],
                    "storm": kind == "T",
                    "humidity": {"S": 0.62, "T": 0.68, "F": 0.9, "H": 0.95, "C": 0.8,
                                 "W": 0.82}[kind]
                    - (0.16 if kind in "ST" else 0.06) * wave,
                    "wind": {"S": 1.6, "T": 2.4, "F": 4.6, "H": 5.0, "C": 2.6, "W": 3.0}[kind]
                    + 0.9 * max(0.0, wave),
                    "cloud": cloud,
                })

    @staticmethod
    def rain_of_day(kind, rng):
        rain = [0.0] * 24
        if kind == "F":
            start = 2 + int(rng.random() * 8)
            for h in range(start, min(24, start + 14)):
                rain[h] = 0.3 + 2.0 * rng.random() ** 1.5
        elif kind == "H":
            start = int(rng.random() * 4)
            for h in range(start, min(24, start + 20)):
                rain[h] = 1.0 + 3.0 * rng.random() ** 1.5
        elif kind == "T":
            start = 14 + int(rng.random() * 3)
            for h in range(start, start + 3):
                rain[h] = 1.5 + 9.0 * rng.random() ** 2
        elif kind == "W":
            for _ in range(5):
                rain[6 + int(rng.random() * 16)] = 0.2 + 1.8 * rng.random()
        return rain


def clear_sky_radiation(doy, clock):
    """Global radiation of a cloudless hour at the catchment in Wh/m2."""
    declination = math.radians(23.45) * math.sin(2.0 * math.pi * (284 + doy) / 365.0)
    solar_time = clock + (LONGITUDE - REFERENCE_MERIDIAN) / 15.0
    hour_angle = math.radians(15.0 * (solar_time - 12.0))
    lat = math.radians(LATITUDE)
    sin_h = math.sin(lat) * math.sin(declination) + math.cos(lat) * math.cos(declination) * math.cos(hour_angle)
    if sin_h <= 0.01:
        return 0.0
    return 1098.0 * sin_h * math.exp(-0.057 / sin_h)


def station_elevation(name):
    u, v = STATIONS[name]
    return round(site(u, v).elevation)


def station_value(variable, hour, z, rng):
    above = z - 500.0
    if variable == "temperature":
        lapse = 0.0072 if hour["cloud"] > 0.8 else 0.0058
        return "%.1f" % (hour["temperature"] - lapse * above + 0.6 * (rng.random() - 0.5))
    if variable == "precipitation":
        amount = hour["rain"]
        if amount <= 0.0:
            return "0.0"
        if hour["storm"]:
            amount *= 1.6 * rng.random() ** 1.5  # cells hit some gauges, miss others
        else:
            amount *= (1.0 + 0.0008 * above) * (0.7 + 0.6 * rng.random())
        return "%.1f" % amount if amount >= 0.05 else "0.0"
    if variable == "air_humidity":
        value = 0.96 if hour["rain"] > 0.0 else hour["humidity"] - 0.00004 * above
        return "%.2f" % min(1.0, max(0.2, value + 0.06 * (rng.random() - 0.5)))
    if variable == "wind_speed":
        gust = 1.0 + 0.6 * (rng.random() - 0.5)
        return "%.1f" % max(0.0, hour["wind"] * (1.0 + 0.0009 * above) * gust)
    radiation = clear_sky_radiation(hour["doy"], hour["clock"])
    if radiation <= 0.0:
        return "0"
    cloud = min(1.0, max(0.05, hour["cloud"] + 0.1 * (rng.random() - 0.5)))
    return "%.0f" % (radiation * cloud * (1.0 + 0.00005 * above))


def write_station_file(folder, variable, weather, nrows, ncols):
    names = NETWORKS[variable]
    height = nrows * CELL_SIZE
    width = ncols * CELL_SIZE
    z = [station_elevation(n) for n in names]
    outages = {}
    for name, day, hours in OUTAGES.get(variable, []):
        for h in hours:
            outages[(names.index(name), day * 24 + h)] = True
    rng = random.Random("%s-%d" % (variable, len(names)))
    with open(os.path.join(folder, variable + ".txt"), "w", newline="\n") as f:
        f.write(HEADLINES[variable] + "\n")
        f.write("X " + " ".join("%.0f" % (XLL + STATIONS[n][0] * width) for n in names) + "\n")
        f.write("Y " + " ".join("%.0f" % (YLL + (1.0 - STATIONS[n][1]) * height) for n in names) + "\n")
        f.write("Z " + " ".join("%d" % e for e in z) + "\n")
        f.write("YY MM DD HH " + " ".join(names) + "\n")
        for k, hour in enumerate(weather.hours):
            values = []
            for s, name in enumerate(names):
                value = station_value(variable, hour, z[s], rng)
                values.append("-9999" if (s, k) in outages else value)
            f.write("%04d %02d %02d %02d " % hour["date"] + " ".join(values) + "\n")


# --- parameter tables and the control file --------------------------------------

LANDUSE_TABLE = """\
[landuse_table]
5     number of land-use records (one layer each; [multilayer_landuse] stacks them)
1 grass {
  FixDays   = 15    105   135   255   285   345;
  LAI       = 1.0   1.5   3.5   3.5   2.0   1.0;
  VCF       = 0.7   0.8   0.95  0.95  0.85  0.7;
  RootDepth = 0.2   0.3   0.4   0.4   0.3   0.2;
  Albedo    = 0.22  0.22  0.2   0.2   0.22  0.22;
  Z0        = 0.02  0.03  0.1   0.1   0.05  0.02;
  RSC       = 90    80    60    60    70    90;
  RSI       = 10    10    10    10    10    10;
  RSE       = 250   250   250   250   250   250;
  VegStart = 100; VegStop = 290;
  SoilTillage = 95;
}
2 field crops {
  FixDays   = 15    110   160   210   240   345;
  LAI       = 0.5   0.5   3.0   4.5   1.0   0.5;
  VCF       = 0.1   0.2   0.8   0.95  0.3   0.1;
  RootDepth = 0.1   0.1   0.6   0.9   0.3   0.1;
  Albedo    = 0.18  0.18  0.2   0.22  0.2   0.18;
  Z0        = 0.01  0.01  0.1   0.2   0.05  0.01;
  RSC       = 100   100   60    55    80    100;
  RSI       = 10    10    10    10    10    10;
  RSE       = 200   200   250   250   200   200;
  VegStart = 110; VegStop = 240;
  SoilTillage = 110 121; SR_ResidCovrg = 0.1 0.1 0.2 0.3 0.1 0.1;
}
3 deciduous trees {
  FixDays   = 15    110   140   260   300   345;
  LAI       = 0.5   0.8   5.0   5.0   1.5   0.5;
  VCF       = 0.7   0.75  0.95  0.95  0.8   0.7;
  RootDepth = 1.2   1.2   1.2   1.2   1.2   1.2;
  Albedo    = 0.18  0.18  0.16  0.16  0.18  0.18;
  Z0        = 1.0   1.0   1.5   1.5   1.2   1.0;
  RSC       = 150   120   70    70    100   150;
  RSI       = 10    10    10    10    10    10;
  RSE       = 400   400   400   400   400   400;
  VegStart = 110; VegStop = 290;
  DynamicPhenology = 1; PhenoBaseTemp = 5; PhenoSearchStart = 60; PhenoStartSum = 180;
}
4 coniferous trees {
  FixDays   = 15    345;
  LAI       = 8.0   8.0;
  VCF       = 0.9   0.9;
  RootDepth = 1.0   1.0;
  Albedo    = 0.1   0.1;
  Z0        = 1.6   1.6;
  RSC       = 80    80;
  RSI       = 10    10;
  RSE       = 450   450;
}
5 sealed surface {
  FixDays   = 15    345;
  LAI       = 0     0;
  VCF       = 0     0;
  RootDepth = 0     0;
  Albedo    = 0.15  0.15;
  Z0        = 0.5   0.5;
  RSC       = 0     0;
  RSI       = 0     0;
  RSE       = 1000  1000;
}
"""

MULTILAYER_TABLE = """\
[multilayer_landuse]
5     number of multilayer land uses: the codes of the grid landuse.asc
1 settlement { layers = 5 -9999; }
2 fields { layers = 2 -9999; }
3 meadows { layers = 1 -9999; }
4 deciduous forest { layers = 3 1; k_extinct = 0.5; LAI_scale = 10; }
5 coniferous forest { layers = 4 1; k_extinct = 0.5; LAI_scale = 10; }
"""

SOIL_TABLE = """\
[soil_table]
3     number of soil types: the codes of the grid soil.asc
1 alluvial loam {
  method = MultipleHorizons; layers = 3;
  thickness = 0.3 0.7 1.0;  ksat = 2.9e-6 2.0e-6 1.5e-6;
  theta_sat = 0.43 0.42 0.40;  theta_res = 0.078 0.075 0.07;
  alpha = 3.6 3.4 3.0;  Par_n = 1.56 1.5 1.45;
  GrainSizeDist = 0.4 0.4 0.15 0.05 0 0 0;
}
2 brown earth {
  method = MultipleHorizons; layers = 3;
  thickness = 0.2 0.5 0.8;  ksat = 1.2e-5 6.0e-6 3.0e-6;
  theta_sat = 0.41 0.40 0.38;  theta_res = 0.065 0.06 0.06;
  alpha = 7.5 6.0 5.0;  Par_n = 1.89 1.7 1.6;
  GrainSizeDist = 0.6 0.25 0.1 0.05 0 0 0;
}
3 stony shallow soil {
  method = MultipleHorizons; layers = 2;
  thickness = 0.15 0.35;  ksat = 4.0e-5 2.0e-5;
  theta_sat = 0.41 0.35;  theta_res = 0.057 0.05;
  alpha = 12.4 10.0;  Par_n = 2.28 2.0;
  GrainSizeDist = 0.5 0.2 0.1 0.1 0.1 0 0;
}
"""


def grid_lines(entries):
    """A grid or statistics file per line, each followed by its write code
    line when it is a grid: (file, code, meaning)."""
    return "".join("%s %d\n" % entry[:2] if entry[0].endswith(".stat") else
                   "%s  %s\n%s  its write code\n" % (entry[0], entry[2], entry[1])
                   for entry in entries)


RADIATION_SECTION = """\
[radiation_correction]
1   on: slope, aspect and the shadows of the terrain
60  time interval in minutes
1   method: slope and aspect with shading
tcorr.asc  corrected temperature
0   its write code
1.0  scaling factor of the temperature correction (K)
exkorr.asc  correction factor of the radiation
0   its write code
shadow.asc  shadows of the terrain
0   its write code
1   the correction every step
4   sub-intervals per step
"""


def interception_section():
    """A bucket per vegetation layer, emptied by the potential transpiration,
    after snow."""
    return "[interception_model]\n1   on\n60  time interval in minutes\n1   method\n" + grid_lines([
        ("throughfall.asc", 0, "throughfall"), ("throughfall.stat", 2024, ""),
        ("eiact.asc", 0, "interception evaporation"), ("eiact.stat", 2024, ""),
        ("intercept.asc", 3, "interception storage, for a warm start"),
        ("intercept.stat", 2024, "")]) + \
        "0.35  storage per unit leaf area (mm)\n0   interception readgrid\n"


def snow_section():
    """Melt by an energy balance of the snow pack, no slides."""
    head = """\
[snow_model]
1     on
60    time interval in minutes
5     method: energy balance
0.75  transzone: half-width of the rain/snow transition (K)
0.75  T0R: rain/snow threshold temperature (degrees C)
0.0   T0: melt threshold temperature (degrees C)
0.1   CWH: liquid water capacity of the snow
0.25  CRFR: refreezing coefficient
2.5   degree-day factor (mm/K/day)
1.5   temperature factor
0.5   wind factor
0.01  z0 of snow (m)
0.5   RMFMIN: least radiation melt factor
1.5   RMFMAX: largest radiation melt factor
0.45  ALBsnow_min
0.9   ALBsnow_max
"""
    body = grid_lines([
        ("rain.asc", 0, "rain"), ("rain.stat", 2024, ""), ("snow.asc", 0, "snow"),
        ("snow.stat", 2024, ""), ("snowdays.asc", 3, "days with snow, for a warm start"), ("snowdays.stat", 0, ""),
        ("snowage.asc", 3, "snow age, for a warm start"), ("snowage.stat", 0, ""), ("albedo.stat", 0, ""),
        ("snowout.asc", 0, "outflow of the snow cover"), ("snowout.stat", 2024, ""),
        ("melt.asc", 0, "melt alone"), ("melt.stat", 0, ""),
        ("snowstorage.asc", 3, "solid storage, for a warm start"),
        ("liquidstorage.asc", 3, "liquid storage, for a warm start"),
        ("swe.stat", 2024, ""), ("swe.asc", 3, "snow water equivalent, for a warm start")])
    extended = """\
0     snow readgrid: 0 cold start, 1 the storages of a former run
snowtemp.asc  snow pack temperature
3     its write code: for a warm start
snowtemp.stat 0
surftemp.asc  snow surface temperature
3     its write code: for a warm start
surftemp.stat 0
slidein.asc  mass put into slides (no slides with this method)
0     its write code
slidein.stat 0
slidemobile.asc  mass moving in slides
0     its write code
slidemobile.stat 0
slidedepo.asc  deposition of slides
0     its write code
slidedepo.stat 0
55    maximum slope for deposition (degrees)
1     maximum deposition factor
30    minimum slope for slides (degrees)
0.01  slide mass fraction
1     correction of the incoming long-wave radiation
1     correction of the outgoing long-wave radiation
1     EnBalScaling: factor of the energy balance
"""
    return head + body + extended


def glacier_section():
    """Static glaciers melting by degree days, their melt routed through
    three linear storages per subbasin."""
    return """\
[ice_firn]
1     Glacier-Method: degree days on glaciers that keep their extent
7.0   DDFice (mm/K/day)
5.5   DDFfirn (mm/K/day)
4.0   DDFsnow (mm/K/day)
1.5   MF: melt factor
0.0   Aice_min
0.0   Aice_max
0.0   Asnow_min
0.0   Asnow_max
12    kice_els: storage constant of the ice melt (h)
120   kfirn_els: storage constant of the firn melt (h)
48    ksnow_els: storage constant of the snow melt on glaciers (h)
0     initial Qice_els
0     initial Qfirn_els
0     initial Qsnow_els
""" + grid_lines([("firnmelt.asc", 0, "melt from firn"), ("qfirn.stat", 2024, ""),
                  ("icemelt.asc", 0, "melt from ice"), ("qice.stat", 2024, ""),
                  ("qglac.stat", 2024, "")])


LAKE_SECTION = """\
[lake_model]
1      on: the cells of lake_codes hold their lake's water as ponding
1      initialization method: no change of grids
0.08   Albedo_OpenWater
0.001  z0_OpenWater (m)
0      readgrids: the lakes start from V0
"""

# The stacks of the layered snow pack, each followed by its write code: at
# the end of the run, for a warm start; the downward flux is not needed.
SNOW_STACKS = [("swes.stack", 3, "solid water of the snow layers (mm)"),
               ("swel.stack", 3, "liquid water of the snow layers (mm)"),
               ("tempersnow.stack", 3, "temperature of the snow layers"),
               ("thetasnow.stack", 3, "water content of the snow layers"),
               ("hhydsnow.stack", 3, "hydraulic heads of the snow layers"),
               ("hgeosnow.stack", 3, "geodetic heights of the snow layers"),
               ("qusnow.stack", 3, "downward flux of the snow layers"),
               ("thicksnow.stack", 3, "thickness of the snow layers"),
               ("denssnow.stack", 3, "density of the snow layers"),
               ("uppersnow.asc", 3, "index of the top snow layer")]


def layered_snow_sections():
    """Three snow layers on the soil column, with the soil heat. The snow
    holds no residual water: the freezing curve would keep it liquid in the
    cold, and what the layers cannot hold would drain from a frozen pack. It
    lies as dense as settled snow: the top layer takes what the others do not
    hold, and at a fresh snow's density it grows metres thick and the heat
    that reaches it through the snow cannot melt it by the summer."""
    per_layer = "".join("  %s = %s;\n" % (key, " ".join([value] * 3)) for key, value in (
        ("thickness", "0.1"), ("ksat", "1e-4"), ("theta_sat", "0.9"), ("theta_res", "0.0"),
        ("alpha", "5.0"), ("Par_n", "2.0"), ("DensityDry", "400"),
        ("HeatCapacityDry", "2100"), ("DryThermalConduct", "0.1")))
    return ("[LayeredSnowModel]\n1     on\n1     method of layered snow model\n"
            "400   dLayeredSnowMaxDensity\n500   dLayeredSnowMaxDensity\n"
            "-1    dTOffsetFreshSnow (K)\n0     dDrainageDensitiySnow\n"
            "0.1   dWaterHoldingCapacity\n1     dSEeffectiveness\n1     dSEeffectivenessSoil\n" +
            grid_lines(SNOW_STACKS) +
            "\n[LayeredSnowProperties]\n1     number of snow types\n"
            "1 snow {\n  method = MultipleHorizons; layers = 3;\n" + per_layer + "}\n")


def groundwater_section(control_cell):
    """Two aquifer layers, the soil's saturated zone and the valley fill
    under it, leakage between them; ponded water (the lakes) counts as head
    above the ground."""
    lines = ["[groundwater_flow]", "1     on", "60    time interval in minutes",
             "1     method: successive over-relaxation", "200   maxiter",
             "1e-7  maxerror_allowed (m)", "1     alpha", "1.3   sor-parameter",
             "0     grid read parameter: the heads start from the soil's table",
             "2     number of layers",
             "%d %d  control point (row column)" % control_cell,
             "gw_control.txt  control point file", "1     Use-Pond-Flag"]
    for k in (1, 2):
        for name, meaning in (("head", "hydraulic heads"), ("flow_x", "flow in x"),
                              ("flow_y", "flow in y"), ("balance", "balance")):
            lines += ["gw_%s_%d.asc  %s of layer %d" % (name, k, meaning, k),
                      "3     its write code"]
    return "\n".join(lines) + "\n"


HEAT_CONSTANTS = [("10", "dTModLowBoundBase (degrees C)"), ("-0.0065", "dTModLapseRate (K/m)"),
                  ("800", "dTModCDrySoil (J/(kg K))"), ("1500", "dTModRhoDrySoil (kg/m3)"),
                  ("0.3", "dTModLamDrySoil (W/(m K))"), ("1e-9", "dTModKmin (m/s)"),
                  ("0.57", "dTModLamWat (W/(m K))"), ("2.2", "dTModLamIce (W/(m K))"),
                  ("4187", "dTModCWater (J/(kg K))"), ("1950", "dTModCIce20 (J/(kg K))"),
                  ("2100", "dTModCIce0 (J/(kg K))"), ("334000", "dTModLatHeat (J/kg)"),
                  ("1000", "dTModRhoWater (kg/m3)"), ("124.6", "dTModFactor (m/K)"),
                  ("0", "dTModSEForStat"), ("60", "dTModShortestStep (s)"),
                  ("3600", "dTModLongestStep (s)"), ("1", "dTModNFactorFreezing"),
                  ("1", "dTModNFactorThawing")]


def heat_section():
    """Soil heat and frozen soil, implicit, with the heat that water carries."""
    return ("[heat_transfer]\n1   on\n12  method: implicit, with the heat of the water\n0\n0\n" +
            "".join("%s  %s\n" % c for c in HEAT_CONSTANTS) +
            "uz_temperature.txt  soil temperature at the control point\n"
            "temper.stat 0  statistics\n"
            "temper.stack  soil temperature stack\n3   its write code: for a warm start\n"
            "thaw.asc  thaw depth\n0   its write code\n"
            "se.stack  SE stack\n0   its write code\n")


SILTING_SECTION = """\
[SiltingUpModel]
1      on: the surface of tilled fields silts up under rain
60     time interval in minutes
2      method: the formula with the parameters below
sdisp.stat 2024  statistics SDISP
qdsu.stat 2024   statistics QDSU
sdisp.asc  silting-up disposition grid
3          its write code: for a warm start
rainpause.asc  RAINPAUSE grid
3              its write code: for a warm start
ekin.asc  EKIN grid
3         its write code: for a warm start
tsbb.asc  TSBB grid
3         its write code: for a warm start
qdsu.asc  QDSU grid
0         its write code
1 3    subbasin codes
0.25 0.1  minimum rain pause in days
0      readgrids
1.0    parameter A for method 2 (I_0)
0.2    parameter B for method 2 (I_inf)
0.52   parameter C for method 2 (I_inf)
-0.64  parameter D for method 2 (I_inf)
0.013  parameter E for method 2 (C_v)
-1.03  parameter F for method 2 (C_v)
0.7    parameter G for method 2 (C_v)
-0.19  parameter H for method 2 (C_v)
"""

SURFACE_SECTION = """\
[SurfaceRoutingModel]
1  on: the ponded water flows from cell to cell to the rivers
60  time interval in minutes
2  method: the steepest of the eight neighbours
qdsr.stat 4001  direct runoff
qisr.stat 4001  interflow
qbsr.stat 4001  baseflow
qgsr.stat 4001  total runoff
velocity.stk  velocity stack
0  its write code
fluxes.stk  fluxes stack
0  its write code
0.0001  iteration error of the wake length (m)
20  its iteration limit
0.00001  iteration error of the velocity (m/s)
50  its iteration limit
1  shortest inner step (s)
100  longest inner step (s)
0.01  flow depth from which crop stems count (m)
1.0  concentration factor
0  read setting (the unsaturated zone's decides)
qssr.stat 4001  water on the land
"""

IRRIGATION_SECTIONS = """\
[irrigation]
1   on: the fields of the lower valley (grid irrigation_codes)
60  time interval in minutes
irrig_gw.stat 2024  water taken from groundwater (mm)
irrig_sw.stat 2024  water taken from surface water (mm)

[irrigation_table]
1
1 sprinkled_fields 2 1 0 0 starting from 5 10 with 12 mm to 6 28 with 12 mm every 6 day
"""

# The reservoir at the outlet holds back the floods of the whole valley: its
# outflow rises with the stored volume. The lake of the upper valley spills
# over a natural sill once it holds 120000 m3.
RESERVOIR_RULES = """\
[abstraction_rule_reservoir_1]
5
0 0
1e5 0.2
3e5 1.0
6e5 4.0
1.5e6 20.0

[abstraction_rule_reservoir_2]
5
0 0
1.2e5 0
1.5e5 0.5
2e5 3.0
3e5 15.0
"""


def interpolation_section(variable, method, limits, nstations, output, writecode, distance, comment):
    return """\
[%(variable)s]
# %(comment)s
%(variable)s.txt  station file (in the input directory)
%(method)d  method: 1 inverse distance weighting, 2 elevation regression per region
60  time step in minutes
%(low)s %(high)s  lower and upper limit
2 %(distance).0f %(nstations)d  IDW exponent, maximum distance (m), maximum number of stations
3  minimum number of stations per regression region
%(output)s %(writecode)d  output grid (in the output directory) and write code
""" % dict(variable=variable, method=method, low=limits[0], high=limits[1], nstations=nstations,
           output=output, writecode=writecode, distance=distance, comment=comment)


def subbasin_areas(folder):
    """Area in km2 of every subbasin of zones.asc."""
    counts = {}
    with open(os.path.join(folder, "zones.asc")) as f:
        for line in f.readlines()[6:]:
            for value in line.split():
                if value != str(NODATA):
                    counts[int(value)] = counts.get(int(value), 0) + 1
    return {code: n * CELL_SIZE * CELL_SIZE / 1e6 for code, n in counts.items()}


def unsatzon_section(control_cell):
    """The unsaturated zone: Richards equation with a fixed step, the table
    in the lowest layer at the start, ponding on the valley floors; daily
    statistics, hourly total runoff, the state grids at the end of the run."""
    statistics = [("QDRAIN", "qdrain.stat", 0), ("GWSTAND", "gwstand.stat", 2024),
                  ("GWN", "gwn.stat", 4024), ("SB_1_", "sb1.stat", 2024),
                  ("SB_2_", "sb2.stat", 2024), ("ROOT", "root.stat", 2024),
                  ("INFEX", "infex.stat", 4024), ("POND", "pond.stat", 2024),
                  ("QD", "qd.stat", 4024), ("QI", "qi.stat", 4024), ("QB", "qb.stat", 4024),
                  ("Qg", "qg.stat", 4001), ("GWIN", "gwin.stat", 0), ("GWEX", "gwex.stat", 0),
                  ("MACRO", "macro.stat", 0), ("INFILT", "infilt.stat", 4024)]
    # Write code 3: at the end of the run, for a warm start (readgrid 1);
    # 13: the sum over the run. With soil heat the first heat steps of a
    # warm start move heat with the water flux q_unten of the last step.
    grids = [("SB05", "sb05.asc", 0), ("SB1_", "sb1.asc", 0), ("WURZ", "root.asc", 0),
             ("Theta", "theta.stack", 3), ("hh", "hh.stack", 3), ("hgeo", "hgeo.stack", 3),
             ("q_unten", "qdown.stack", 3), ("GWSTAND", "gwdist.asc", 3),
             ("GWtheta", "gwtheta.asc", 3), ("GWN", "gwn.asc", 13), ("GWLEVEL", "gwlevel.asc", 3),
             ("QDRAIN", "qdrain.asc", 0), ("saturation", "satur.asc", 0),
             ("infiltration excess", "infex.asc", 0), ("QD", "qd.asc", 13), ("QI", "qi.asc", 13),
             ("DELTAGW", "baseflow.asc", 3), ("GWIN", "gwin.asc", 0), ("GWEX", "gwex.asc", 0),
             ("POND", "pond.asc", 3), ("GWN-Uprise", "uprise.asc", 0),
             ("GWN-PERCOL", "percol.asc", 0), ("MACROPORE-Infiltration", "macro.asc", 0),
             ("IRRIG", "irrig.asc", 0)]
    lines = ["[unsatzon_model]",
             "1     on",
             "60    time interval in minutes",
             "2     method: 2 fixed time step, 3 dynamic",
             "0     surface water interaction off",
             "1     ponding: max_ponding_storage is used",
             "0     no drainage",
             "0     no clay layer",
             "1e-8  k_sat of a clay layer (m/s)",
             "1     ini_gw_level: 1 puts the table at the top of the lowest layer"]
    lines += ["%s %d  statistics %s" % (name, code, label) for label, name, code in statistics]
    for label, name, code in grids:
        lines += ["%s  %s" % (name, label), "%d  its write code" % code]
    lines += ["%d %d  control point (row column)" % control_cell]
    lines += ["uz_%s.txt  control point: %s" % (name.lower(), name)
              for name in ("Qbottom", "Theta", "hhyd", "Otherdata", "etr", "interflow")]
    lines += ["1 2 3  subbasin codes",
              "2 3 2.5  kelsqd: storage constant of direct runoff (h)",
              "30 40 35  kelsqi: storage constant of interflow (h)",
              "1 1 1  channel network density",
              "1.5 1.5 1.5  kelsqlat: recession constant of baseflow (m)",
              "0.05 0.05 0.05  QB-Red.Faktor: largest baseflow (mm per step)",
              "0.3 0.3 0.3  surface-runoff fraction of snowmelt",
              "0     readgrid: 0 cold start, 1 the state grids and state file of a former run",
              "unsatzon_state  state file (per process: _0, _1, ...)"]
    return "\n".join(lines) + "\n"


def channel(name, area, length, slope):
    return ("%s (K = 0.5, KF = 2, B = 5, BF = 50, T = 1, M = 25, MF = 15, I = %.4f, L = %.0f, "
            "A = %.2f)" % (name, slope, length, area))


def routing_section(nrows, areas):
    """Subbasin 3 (the north) drains through its lake, subbasin 2 (the side
    valley) straight into subbasin 1, whose reservoir at the outlet on the
    southern edge holds back the floods; a water supply takes a share of the
    flow out of the catchment."""
    valley = nrows * CELL_SIZE
    def reach(v):
        return (1.0 - v) * valley, (main_floor(v) - main_floor(1.0)) / ((1.0 - v) * valley)
    side_length, side_slope = reach(JUNCTION_V)
    north_length, north_slope = reach(0.5)
    return """\
[routing_model]
1     on
60    time interval in minutes
1 1000 30 1  specific discharge of the tables from 1 to 1000 l/s/km2 in 30 intervals, 1 sub-interval
routed.stat 2001  routed discharge of every step
none  no observed discharge
0     column descriptors of observed discharge
0     steps left out of the comparison
TG 3 (AREA = %(a3).2f, F = 1)
 SP 2 (file = lake_2.txt V0 = 1.4e5 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 600)
TG 1 (AREA = %(a1).2f, F = 1)
 %(side)s
 %(north)s
 SP 1 (file = reservoir_1.txt V0 = 1e5 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 600)
 AL 1 = extern abstraction_1.txt 0.1 0.3 0.4 m3/s
end of the descriptions
""" % dict(a1=areas[1], a3=areas[3], side=channel("OL 2", areas[2], side_length, side_slope),
           north=channel("OL 3", areas[3], north_length, north_slope))


# The glacier, the lakes (with the subbasins they lie in) and the aquifer's
# layers: (file, name); both layers take the same thickness, conductivities
# hold in x and y alike.
MORE_GRIDS = [("ice_firn", "ice_firn"), ("lake_codes", "lake_codes"),
              ("zones", "zonegrid_soilmodel")] + [
    (file.replace("K", str(k)), name + str(k)) for k in (1, 2) for file, name in (
        ("aquifer_thickness", "aquifer_thickness_"), ("gw_k_K", "gw_k_x_"), ("gw_k_K", "gw_k_y_"),
        ("gw_storage_coeff_K", "gw_storage_coeff_"), ("gw_boundary_fix_h", "gw_boundary_fix_h_"),
        ("gw_boundary_fix_q", "gw_boundary_fix_q_"))] + [("gw_kolmation_1", "gw_kolmation_1")]


def control_file(nrows, ncols, days, areas):
    end_year, end_month, end_day = list(calendar(days))[-1]
    reach = 2.0 * math.hypot(nrows, ncols) * CELL_SIZE
    cells = [(round(0.95 * nrows), round(0.47 * ncols)), (round(0.53 * nrows), round(0.50 * ncols)),
             (round(0.30 * nrows), round(0.84 * ncols))]
    cell_list = " ".join("%d %d" % rc for rc in cells)
    soil_water = "\n".join([interception_section(), snow_section(), glacier_section(),
                            SILTING_SECTION, unsatzon_section(cells[1]), heat_section(),
                            LAKE_SECTION, layered_snow_sections(), SURFACE_SECTION,
                            groundwater_section(cells[1]), routing_section(nrows, areas),
                            RESERVOIR_RULES])
    meteo = "".join([
        interpolation_section("temperature", 2, (-40, 50), 8, "temperature.asc", 355, reach,
                              "lapse rate fitted per region; daily grids, mean, minimum, maximum"),
        interpolation_section("precipitation", 1, (0, 200), 6, "precipitation.asc", 43, reach,
                              "daily sums and the sum of the last day"),
        interpolation_section("air_humidity", 1, (0, 1), 5, "air_humidity.asc", 53, reach,
                              "a fraction; the mean over the run"),
        interpolation_section("wind_speed", 1, (0, 60), 5, "wind_speed.asc", 53, reach,
                              "the mean over the run"),
        interpolation_section("global_radiation", 1, (0, 1400), 5, "global_radiation.asc", 13,
                              reach, "Wh/m2 per step; the sum over the run"),
    ])
    return """\
# horva example: a synthetic catchment of %(nrows)d x %(ncols)d cells of 100 m with three
# subbasins, hourly station data of five meteorological variables from 1 March
# to 30 June: snow on the heights, its melt, a dry spell in May, floods in April
# and June. Every module is on.
# Written by examples/make_catchment.py; run it from a work folder that holds a
# copy of this file, the input folder (or a link to it) and an empty output
# folder (scripts/run-example.sh does all of that).
#
# "#" starts a comment; "$set $name = value" defines a symbol used below.

$set $input = input/
$set $output = output/
$set $endday = %(end_day)d
$set $endmonth = %(end_month)d

[output_interval]
24  hours between two lines "model time" in the log
0   1: log a summary of every interpolated grid at every step
0   third output switch
60  min_to_int_end: a step's values cover the hour from its time stamp on
WriteAsciiGrids = 1
InitialStateDirectory = $input
DefaultOutputDirectory = $output

[output_list]
2  subbasins listed for statistics of mode 5 and 6
1
3

[coordinates]
%(latitude).2f  latitude (degrees north)
%(longitude).2f  longitude (degrees east)
%(meridian).0f  reference meridian of the time zone
0  time shift of the data time to local time (hours)

[model_time]
0        start hour
%(start_day)d        start day
%(start_month)d        start month
%(start_year)d     start year
23       end hour
$endday  end day
$endmonth        end month
%(end_year)d     end year

[zone_grid]
zones.asc  subbasin codes 1, 2, 3; nodata outside the catchment

[elevation_model]
dem.asc  elevation in m

[standard_grids]
%(grid_count)d  number of grids: file, name, keys
soil.asc     soil_types          fillcode = 0 readcode = 1
landuse.asc  landuse             fillcode = 0 readcode = 1
regions.asc  regression_regions  fillcode = 0 readcode = 1
ponding.asc  max_ponding_storage fillcode = 0 readcode = 1 statfile = max_ponding_storage.stat statcode = 2024
river_depth.asc  river_depth     fillcode = 0 readcode = 1
river_width.asc  river_width     fillcode = 0 readcode = 1
river_links.asc  river_links     fillcode = 0 readcode = 1
irrigation.asc   irrigation_codes fillcode = 0 readcode = 1
%(more_grids)s
[variable_grids]
0  number of grids that the sub-models change and write

%(multilayer)s
%(landuse)s
%(soil)s
%(irrigation)s
%(radiation)s
[evapotranspiration]
1   on: Penman-Monteith per vegetation layer
60  time interval in minutes
1   method: 1 Penman-Monteith, 2 Hamon, 3 Wendling, 4 Haude (2 to 4 need one layer)
1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2  PEC of Hamon, January to December (dimensionless)
0.26 0.26 0.33 0.39 0.39 0.37 0.35 0.33 0.31 0.26 0.26 0.26  fh of Haude, January to December
0.5  fk, the coast factor of Wendling
etp.asc  potential transpiration (layer k: etp_Layer_k.asc; etp.asc the sum with the soil)
13  its write code: the sum over the run
etp.stat 2024  its statistics: daily means of every subbasin
etr.asc  real evapotranspiration (etr.asc the total)
13  write code
etr.stat 2024  statistics
evap.asc  potential soil evaporation
13  write code
evap.stat 2024  statistics
evar.asc  real soil evaporation
0  write code
evar.stat 0  statistics
evrs.asc  snow evaporation
0  write code
evrs.stat 0  statistics
eip.asc  potential interception evaporation
0  write code
eip.stat 0  statistics
rgex.stat 2024  statistics of the global radiation corrected for slope and aspect
0.2 0.6 0.2 0  CR: global over clear-sky radiation from the relative sunshine duration
0.072 -0.808 1.749 -0.239  CS: relative sunshine duration from that ratio
0.70 0.05  transmissivity of the day: tau0 + tau1 cos(2 pi day / 365)
1500  altitude scale of the daily temperature amplitude (m)
5 6 7 8 9 9 9 9 8 7 5 4  daily temperature amplitude per month (K)
0.6 0.0  day share of the amplitude, annual variability
cloudiness.stat 0  statistics of the cloudiness
HamonCorrectionOpenWater = 1.0

%(soil_water)s
[region_transition_distance]
500  metres over which the regions of regression_regions blend

[substance_transport]
0  number of tracers

[SpinUp]
0  no spin-up

[ExternalCoupling]
0  no external program

[meteo_data_count]
5  number of meteorological variables

[meteo_names]
temperature
precipitation
air_humidity
wind_speed
global_radiation

%(meteo)s
[precipitation_correction]
1         on: gauge undercatch grows with the wind speed
0.02 0.01 rain correction a and b
0.30 0.05 snow correction a and b
0.5       rain/snow threshold temperature (degrees C)
1.0       half-width of the transition (K)

[RegionalSuperposition]
1    on
60   time interval in minutes
1    number of rules
precipitation mul 1 12 1:1.05 2:1.0   five percent more in region 1 (the north)

[special_output]
1    on
60   time interval in minutes
3    number of outputs: row and column pairs of the outlet, Mitteldorf and Hochalm
{grid = temperature; file = points_temperature.txt; cells = %(cells)s;}
{grid = precipitation; file = points_precipitation.txt; cells = %(cells)s;}
{grid = global_radiation; file = points_global_radiation.txt; cells = %(cells)s;}
""" % dict(nrows=nrows, ncols=ncols, end_day=end_day, end_month=end_month, end_year=end_year,
           start_year=START[0], start_month=START[1], start_day=START[2], latitude=LATITUDE,
           longitude=LONGITUDE, meridian=REFERENCE_MERIDIAN, multilayer=MULTILAYER_TABLE,
           landuse=LANDUSE_TABLE, soil=SOIL_TABLE, meteo=meteo, cells=cell_list,
           soil_water=soil_water, irrigation=IRRIGATION_SECTIONS, radiation=RADIATION_SECTION,
           grid_count=8 + len(MORE_GRIDS), more_grids="".join(
               "%s.asc  %s  fillcode = 0 readcode = 1\n" % g for g in MORE_GRIDS))


def routing_alone(text):
    """The control file of "-mode:routing": channel routing reads the total
    runoff (qg.stat) that a run of catchment.ctl wrote to the same output
    folder and writes its own routed discharge and tables of the reservoir,
    the lake and the abstraction beside those of the run."""
    head = ("# Channel routing alone: horva -mode:routing routing.ctl, after a run of\n"
            "# catchment.ctl in the same work folder.\n")
    for name in ("routed", "reservoir_1", "lake_2", "abstraction_1"):
        text = re.sub(r"\b%s\.(stat|txt)\b" % name, r"%s_alone.\1" % name, text)
    return head + text


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=60)
    parser.add_argument("--cols", type=int, default=80)
    parser.add_argument("--days", type=int, default=122, help="days of hourly station data")
    parser.add_argument("--out", default=os.path.join(here, "catchment"))
    parser.add_argument("--jobs", type=int, default=min(4, os.cpu_count() or 1),
                        help="processes that compute the grids (default: up to 4)")
    args = parser.parse_args(argv)
    if args.rows < 10 or args.cols < 10 or args.days < 1:
        parser.error("the catchment needs at least 10 x 10 cells and one day")
    folder = os.path.join(args.out, "input")
    os.makedirs(folder, exist_ok=True)
    write_grids(folder, args.rows, args.cols, args.jobs)
    weather = Weather(args.days)
    for variable in NETWORKS:
        write_station_file(folder, variable, weather, args.rows, args.cols)
    text = control_file(args.rows, args.cols, args.days, subbasin_areas(folder))
    with open(os.path.join(args.out, "catchment.ctl"), "w", newline="\n") as f:
        f.write(text)
    with open(os.path.join(args.out, "routing.ctl"), "w", newline="\n") as f:
        f.write(routing_alone(text))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
