#!/usr/bin/env python3
"""The combination sweep draws what it claims and its checks notice faults.

Without running horva: the draws of many seeds are taken as drawn, come
up with every value and mostly run; CI's sample holds what it must; a
refusal counts as predicted only where a broken rule gives its code; the
weathers and daily steps change the station files as they say; every draw's
edits apply to the small catchment's control file and input; and a NaN or
an infinity planted in every form of output, and an open step planted in
the balance files, are found where they were planted; the balance's places
that hold only under a condition fail outside it.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys

import combination_sweep as sweep
import example_test as ex
import small_catchment as small
import sweep_landscapes as land


def check_rules():
    """Each rule's made settings break it and each of its fixes mends it."""
    faults = []
    for rule in sweep.RULES:
        s = dict(sweep.PLAIN, **{name: values[0] for name, values in rule.make.items()})
        if not rule.broken(s):
            faults.append("the settings made for \"%s\" do not break it" % rule.name)
        for name, value in rule.fixes:
            if rule.broken(dict(s, **{name: value})):
                faults.append("%s=%s does not mend \"%s\"" % (name, value, rule.name))
    ex.check(not faults, "\n".join(faults[:20]))


# Values drawn that found faults before: each must come up in draws that
# break no rule.
NEW_VALUES = {"weather": ("heat wave", "freeze-thaw", "no precipitation", "rain on snow",
                          "cloudburst x50"),
              "shape": ("17 x 31", "23 x 19", "13 x 41", "29 x 11", "31 x 31", "11 x 29",
                        "37 x 13", "19 x 27"),
              "step": ("day",), "days": (3,), "processes": (4,), "strips": ("uneven",),
              "tracer": ("two",), "spin_up": ("soil units", "elevation units"),
              "warm_start": ("at midnight", "at noon"), "warm_processes": (3,),
              "drainage": ("lowland",), "river_cells": ("every even column",),
              "macropores": ("every soil type",),
              "glacier": ("dynamic 11", "dynamic 12", "dynamic 13"),
              "interception": (21, 22, 32), "groundwater": (2,), "interaction": (1, 2)}
# What each landscape must bring together in a share of the draws that
# break no rule, and that share of its draws.
LANDSCAPE_HOLDS = {
    "drained lowland": lambda s: s["drainage"] == "lowland" and sweep.on(s["unsatzon"]),
    "rivers linked on many cells": lambda s: s["river_cells"] == "every even column" and
    sweep.relevant("river_cells", s),
    "a dynamic glacier under a canopy": lambda s: sweep.dynamic(s) and
    s["interception"] in (21, 22, 32) and s["glacier_close"] != "31 12",
    "lakes on uneven ground": lambda s: s["shape"] in land.UNEVEN_LAKE_SHAPES and
    sweep.active(s, "lakes"),
    "long strips": lambda s: s["shape"] in land.LONG_STRIP_SHAPES and
    s["groundwater"] in (1, 2),
    "daily steps with tracers and groundwater": lambda s: s["step"] == "day" and
    s["tracer"] != "none" and sweep.active(s, "groundwater"),
    "a warm start while the land carries water": lambda s: sweep.warm_checked(s) and
    sweep.active(s, "surface_routing") and s["weather"] != "as made"}
LANDSCAPE_SHARE_HELD = 0.6


def check_draws():
    """The draws are taken as drawn: the made ones break their rule, every
    rule is made, every value comes up, and most draws break none."""
    faults, made, values, allowed, warm, noon = [], set(), set(), set(), 0, 0
    landscapes = {name: [0, 0] for name in land.LANDSCAPES}
    count = 2000
    for seed in range(1, 6):
        for index in range(count // 5):
            draw = sweep.Draw(seed, index)
            s = draw.settings
            if draw.made:
                made.add(draw.made.name)
                if draw.made not in draw.rules:
                    faults.append("seed %d draw %d does not break %s, made to" % (
                        seed, index, draw.made.name))
            values.update(s.items())
            if not draw.rules:
                allowed.update(s.items())
                if draw.landscape:
                    landscapes[draw.landscape][0] += 1
                    landscapes[draw.landscape][1] += bool(LANDSCAPE_HOLDS[draw.landscape](s))
                warm += sweep.warm_checked(s)
                noon += sweep.warm_checked(s) and sweep.split_hour(s) == 12
    ex.check(not faults, "\n".join(faults[:20]))
    missing = [r.name for r in sweep.RULES if r.name not in made]
    ex.check(not missing, "%d draws made none of %s" % (count, missing))
    unseen = ["%s=%s" % (name, v) for name, vs, _ in sweep.DIMENSIONS
              for v in sweep.drawn_values(vs) if (name, v) not in values]
    ex.check(not unseen, "%d draws took none of %s" % (count, unseen))
    unseen = ["%s=%s" % (name, v) for name, vs in NEW_VALUES.items() for v in vs
              if (name, v) not in allowed]
    ex.check(not unseen, "no draw that breaks no rule took %s" % unseen)
    runs = sum(1 for seed in range(1, 6) for index in range(count // 5)
               if not sweep.Draw(seed, index).rules)
    ex.check(2 * runs >= count, "only %d of %d draws break no rule" % (runs, count))
    ex.check(4 * warm >= runs and 10 * noon >= runs,
             "of %d draws that run, %d check a warm start, %d at noon" % (runs, warm, noon))
    rare = ["%s (%d of %d)" % (name, held, ran) for name, (ran, held) in sorted(landscapes.items())
            if ran < count // 100 or held < LANDSCAPE_SHARE_HELD * ran]
    ex.check(not rare, "landscapes that run too rarely or do not hold what they bring: %s" % rare)


def slides(s):
    return (s["snow"] in sweep.SLIDE_METHODS and s["layered_snow"] == "on" and
            sweep.on(s["unsatzon"]) and sweep.on(s["heat"]))


WET = ("rain on snow", "cloudburst", "warm cloudburst", "cloudburst x50")
# What CI's sample must run: what the sweep found faults in, and each
# landscape.
CI_WANTED = {
    "spin-up response units": lambda s: s["spin_up"] != "off",
    "slides on the layered snow pack": slides,
    "a dynamic glacier's close within the run":
        lambda s: sweep.dynamic(s) and s["glacier_close"] in ("1 3", "2 3"),
    "a warm start at noon": lambda s: sweep.warm_checked(s) and sweep.split_hour(s) == 12,
    "a warm start at midnight": lambda s: sweep.warm_checked(s) and sweep.split_hour(s) == 0,
    "daily steps": lambda s: s["step"] == "day",
    "an uneven shape": lambda s: s["shape"] != "20 x 24",
    "uneven strips": lambda s: s["strips"] == "uneven",
    "drains under the lowland": lambda s: s["drainage"] == "lowland" and sweep.on(s["unsatzon"]),
    "rivers linked on many cells":
        lambda s: s["river_cells"] == "every even column" and sweep.relevant("river_cells", s),
    "a dynamic glacier under a canopy":
        lambda s: sweep.dynamic(s) and s["interception"] in (21, 22, 32),
    "lakes on uneven ground":
        lambda s: s["shape"] in land.UNEVEN_LAKE_SHAPES and sweep.active(s, "lakes"),
    "the aquifer's line sweeps on a long strip":
        lambda s: s["shape"] in land.LONG_STRIP_SHAPES and sweep.active(s, "groundwater") and
        s["groundwater"] == 2 and sweep.on(s["unsatzon"]),
    "a warm start while the land carries water":
        lambda s: sweep.warm_checked(s) and sweep.active(s, "surface_routing") and
        s["weather"] in WET,
}


def check_ci_sample():
    """CI's draws run what the sweep found faults in."""
    draws = [sweep.Draw(sweep.CI_SEED, k) for k in sweep.CI_DRAWS]
    running = [d.settings for d in draws if not d.rules]
    missing = [what for what, holds in CI_WANTED.items() if not any(holds(s) for s in running)]
    ex.check(not missing, "no draw of CI's sample that runs holds %s" % ", ".join(missing))
    ex.check(any(d.rules for d in draws), "no draw of CI's sample is refused")


class Planted:
    """A run whose diagnostics end it with `code` (0: none)."""

    def __init__(self, folder, code, processes=1):
        os.makedirs(os.path.join(folder, "output"), exist_ok=True)
        lines = ['<line level="0" description= "FATAL: planted"/>\n',
                 '<line level="0" description= "Program aborted with exit code %d"/>\n' % code]
        with open(os.path.join(folder, ex.DIAG_FILE), "w") as f:
            f.writelines(lines if code else [])
        self.work, self.processes, self.threads, self.status = folder, processes, 1, code % 256

    def name(self):
        return sweep.layout_name(self.processes, self.threads)


def check_refusals(work):
    """A refusal is predicted where a rule the draw breaks gives its code,
    else a finding; a draw a rule forbids that runs is a finding too."""
    hamon = dict(sweep.PLAIN, evapotranspiration=2)
    rows = (  # settings, codes of the layouts, the kinds of faults
        (hamon, (44, 44), []),
        (hamon, (33, 33), ["unpredicted refusal", "unpredicted refusal"]),
        (hamon, (0, 0), ["ran though forbidden"]),
        (hamon, (44, 0), ["layout"]),
        (sweep.PLAIN, (1150, 1150), ["unpredicted refusal", "unpredicted refusal"]),
        (sweep.PLAIN, (0, 0), []),
    )
    faults = []
    for k, (settings, codes, kinds) in enumerate(rows):
        runs = [Planted(os.path.join(work, "refusal%d" % k, "run%d" % n), code)
                for n, code in enumerate(codes)]
        found = [f.kind for f in sweep.refusal_faults(sweep.Draw(0, -1, settings), runs)]
        if found != kinds:
            faults.append("codes %s of %s: %s, not %s" % (codes, sweep.describe(settings)[:60],
                                                          found, kinds))
    ex.check(not faults, "\n".join(faults))


def check_weathers(work):
    """The station files of the weathers and of daily steps against sums by
    hand: a day's rain is the sum of its hours, its temperature their mean;
    freeze-thaw's temperatures have a mean of 0 and its rain four times as
    much plus 0.8 mm every 6 hours."""
    source = small.generate(os.path.join(work, "weather_catchment"), days=2)

    def read(folder, name):
        with open(os.path.join(folder, name)) as f:
            lines = f.read().splitlines()
        header = next(i for i, line in enumerate(lines) if line.startswith("YY"))
        return [[float(v) for v in line.split()] for line in lines[header + 1:]]
    plain = {n: read(os.path.join(source, "input"), n) for n in ("precipitation.txt",
                                                                "temperature.txt")}
    faults = []
    for name, edit, check in (
            ("daily", sweep.daily_stations, lambda got: [
                (got["precipitation.txt"][d][4], sum(r[4] for r in plain["precipitation.txt"]
                                                     if r[2] == d + 1)) for d in (0, 1)] + [
                (got["temperature.txt"][d][5], sum(r[5] for r in plain["temperature.txt"]
                                                   if r[2] == d + 1) / 24.0) for d in (0, 1)]),
            ("freeze-thaw", sweep.freeze_thaw, lambda got: [
                (sum(v for r in got["temperature.txt"] for v in r[4:]) /
                 sum(len(r) - 4 for r in got["temperature.txt"]), 0.0)] + [
                (g[4], 4.0 * p[4] + (0.8 if p[3] % 6 == 0 else 0.0))
                for g, p in zip(got["precipitation.txt"], plain["precipitation.txt"])])):
        folder = os.path.join(work, "weather_" + name)
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(os.path.join(source, "input"), folder)
        edit(folder)
        got = {n: read(folder, n) for n in plain}
        pairs = check(got)
        wrong = [(a, b) for a, b in pairs if abs(a - b) > 0.01 + 1e-3 * abs(b)]
        if not pairs or wrong:
            faults.append("%s: %d of %d values differ, first %s" % (name, len(wrong), len(pairs),
                                                                   wrong[:1]))
    ex.check(not faults, "\n".join(faults))


# Settings that only look forbidden: horva runs them to the end. The snow
# model checks the glaciers' grids; without it they only weigh cells.
NO_DYNAMIC_GLACIER_REFUSERS = {"silting": "off", "surface_routing": "off"}
ALLOWED = (
    dict(NO_DYNAMIC_GLACIER_REFUSERS, glacier="dynamic 11", glacier_cells="two subbasins",
         snow="off"),
    dict(NO_DYNAMIC_GLACIER_REFUSERS, glacier="dynamic 12", glacier_cells="cell without code",
         snow="off"),
)


def check_allowed():
    """The settings above and the shrunk forms of FOUND break no rule; each
    form of FOUND parses and changes the example."""
    faults = []
    found = []
    for name, (form, _) in sorted(sweep.FOUND.items()):
        try:
            found.append(sweep.parse_settings(form))
        except ex.Failure as failure:
            faults.append("FOUND %s: %s" % (name, failure))
            continue
        if not sweep.plain_changes(found[-1]):
            faults.append("FOUND %s changes nothing of the example" % name)
    for settings in ALLOWED + tuple(found):
        s = dict(sweep.PLAIN, **settings)
        broken = [r.name for r in sweep.broken_rules(s)]
        if broken:
            faults.append("%s breaks %s" % (sweep.describe(s), broken))
    ex.check(not faults, "\n".join(faults))


def check_edits(work):
    """Every draw's control file edits apply; the input edits of a draw of
    each rule and of allowed draws with every glacier and tracer apply."""
    source = small.generate(os.path.join(work, "catchment"), days=sweep.MOST_DAYS)
    with open(os.path.join(source, ex.CONTROL_FILE)) as f:
        text = f.read()
    inputs, faults = {}, []
    for index in range(600):
        draw = sweep.Draw(7, index)
        s = draw.settings
        try:
            edited = sweep.control_edit(s)(text)
            if sweep.warm_checked(s):
                sweep.control_edit(s, grid_format=False)(small.state_written(text))
        except ex.Failure as failure:
            faults.append("%s: %s" % (draw.title(), failure))
            continue
        ex.check("[water_balance]" in edited, "draw %d adds no balance" % index)
        inputs.setdefault((draw.made, s["glacier_cells"] if sweep.dynamic(s) else None,
                           s["tracer"], s["snow"] in sweep.DEPOSITION_METHODS, s["weather"],
                           s["step"], s["spin_up"], s["drainage"],
                           sweep.relevant("river_cells", s) and s["river_cells"],
                           sweep.relevant("lake_dem", s) and s["lake_dem"]), draw)
    for draw in inputs.values():
        folder = os.path.join(work, "input")
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(os.path.join(source, "input"), folder)
        try:
            sweep.input_edit(draw.settings)(folder)
        except (ex.Failure, OSError) as failure:
            faults.append("%s: %s" % (draw.title(), failure))
    ex.check(not faults, "\n".join(faults[:20]))


def cells_where(folder, name, holds):
    grid, nodata = land.read_grid(folder, name)
    return {cell for cell, v in grid.items() if v != nodata and holds(float(v))}


def check_landscapes(work):
    """On every shape: the lakes lie on uneven ground exactly in the shapes
    that say so, with one top each; lake_surfaces puts that top into every
    lake cell of the elevation model; the drains lie under the lowest three
    quarters of the catchment and nowhere else; rivers are added on every
    even column and keep their beds; macropores reach every soil type."""
    faults = []
    for shape in sweep.drawn_values(dict((n, v) for n, v, _ in sweep.DIMENSIONS)["shape"]):
        rows, cols = (int(v) for v in shape.split(" x "))
        folder = os.path.join(work, "landscape_%dx%d" % (rows, cols))
        source = small.generate(folder, days=1, rows=rows, cols=cols)
        inputs = os.path.join(source, "input")
        tops = land.lake_tops(inputs)
        uneven = any(len(ground) > 1 for _, ground in tops.values())
        if uneven != (shape in land.UNEVEN_LAKE_SHAPES) or any(len(t) != 1 for t, _ in
                                                               tops.values()):
            faults.append("%s: lakes (tops, grounds) %s" % (shape, tops))
        land.lake_surfaces(inputs)
        raised = land.lake_tops(inputs)
        for code, (top, _) in tops.items():
            if raised[code][1] != top:
                faults.append("%s: lake %s lies at %s after the edit, its top is %s" % (
                    shape, code, sorted(raised[code][1]), top))
        zones = cells_where(inputs, "zones.asc", lambda v: True)
        dem, _ = land.read_grid(inputs, "dem.asc")
        rivers = cells_where(inputs, "river_depth.asc", lambda v: True)
        land.lowland_drains(inputs)
        land.rivers_on_even_columns(inputs)
        drained = cells_where(inputs, "drainage_depth.asc", lambda v: v > 0)
        spaced = cells_where(inputs, "drainage_distance.asc", lambda v: v > 0)
        low, high = ([float(dem[c]) for c in cells] for cells in (drained, zones - drained))
        share = len(drained) / len(zones)
        if drained != spaced or not land.LOWLAND_SHARE - 0.5 / len(zones) <= share < 0.85 or \
                max(low) >= min(high):
            faults.append("%s: %d of %d cells drained (%d spaced), up to %.1f m, the others "
                          "from %.1f m" % (shape, len(drained), len(zones), len(spaced),
                                           max(low), min(high)))
        wanted = rivers | {(r, c) for r, c in zones if c % 2 == 0}
        kept, _ = land.read_grid(inputs, "river_depth.asc")
        if cells_where(inputs, "river_depth.asc", lambda v: v > 0) != wanted or \
                cells_where(inputs, "river_width.asc", lambda v: v > 0) != wanted or \
                any(kept[c] != "1.0" for c in rivers):
            faults.append("%s: the rivers on even columns are not the example's and %d more" %
                          (shape, len(wanted - rivers)))
    with open(os.path.join(source, ex.CONTROL_FILE)) as f:
        soils = land.with_macropores(f.read()).split("[soil_table]")[1].split("\n[")[0]
    if soils.count(land.MACROPORES) != 3:
        faults.append("macropores in %d of 3 soil types" % soils.count(land.MACROPORES))
    ex.check(not faults, "\n".join(faults))


ASCII_HEAD = "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 100\nnodata_value -9999\n"


def binary(kind, values, levels=1):
    head = [3, 2, 0, 0, 100, -9999, 0, 0, 0, 0, 0, levels - 1]
    return struct.pack("=%d%s" % (12 + len(values), kind), *(head + values))


# name: (the file's content, where the NaN or infinity is, or None)
PLANTED = {
    "clean.asc": (ASCII_HEAD + "1 2 3\n4 -9999 6\n", None),
    "nan.asc": (ASCII_HEAD + "1 2 3\n4 -9999 nan\n", "nan.asc: line 8, word 3 is nan"),
    "clean.stat": ("head\n\n\n2021 3 1 0\t1.5\t2.5\n", None),
    "inf.stat": ("head\n\n\n2021 3 1 0\t1.5\t-inf\n", "inf.stat: line 4, word 6 is -inf"),
    "clean_float": (binary("f", [1.0] * 6), None),
    "nan_float": (binary("f", [1.0] * 4 + [float("nan"), 1.0]),
                  "nan_float: row 2, column 2 is nan"),
    "inf_double": (binary("d", [float("inf")] + [1.0] * 5), "inf_double: row 1, column 1 is inf"),
    "nan_stack": (binary("d", [1.0] * 11 + [float("nan")], levels=2),
                  "nan_stack: value 12 of 12 after the header (a stack of 2 levels) is nan"),
    "unknown": (b"\x00\xff" * 8, "unknown: neither text, nor a binary grid or stack, nor netCDF"),
}
CDL = """netcdf planted {
dimensions: x = 3 ;
variables: double v(x) ;
data: v = 1, %s, 3 ;
}
"""


def check_nonfinite(work):
    folder = os.path.join(work, "planted")
    os.makedirs(folder, exist_ok=True)
    faults = []
    files = dict(PLANTED)
    for name, value, where in (("clean.nc", "2", None), ("nan.nc", "NaN", "nan.nc (ncdump")):
        cdl = os.path.join(folder, name + ".cdl")
        with open(cdl, "w") as f:
            f.write(CDL % value)
        subprocess.run(["ncgen", "-o", os.path.join(folder, name), cdl], check=True)
        os.remove(cdl)
        files[name] = (None, where)
    for name, (content, where) in files.items():
        if content is not None:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content.encode() if isinstance(content, str) else content)
        found = sweep.first_nonfinite(os.path.join(folder, name))
        if (found is None) != (where is None) or (where and not found.startswith(where)):
            faults.append("%s: found %s, planted %s" % (name, found, where))
    ex.check(not faults, "\n".join(faults))


def stat_text(*rows):
    """A statistics file of three subbasins and the catchment, a step a row."""
    return "YY\tMM\tDD\tHH\t1\t2\t3\ttot\ntitle\n--\t--\t--\t--\t0.3\t0.3\t0.4\t1\n" + "".join(
        "2021\t3\t1\t%d\t%s\n" % (k, "\t".join(repr(v) for v in row)) for k, row in enumerate(rows))


STACK_HEAD = "".join("%s\t%g\n" % kv for kv in (
    ("stack_ncols", 3), ("nrows", 2), ("xll", 0), ("yll", 0), ("cs", 100), ("nodata", -9999),
    ("cnt", 0), ("min", 0), ("max", 0), ("sum", 0), ("average", 0), ("numlevels", 1)))
# (tracer, {file: content}, the faults found: (file, what) in order). The
# water of a concentration bounds it only where it is above 0; the soil's
# store holds masses, the top layer's grid marks dry cells with 99999, and
# salt is bounded only in what leaves a layer.
PLANTED_TRACERS = (
    ("chloride", {"chlunsat.stat": stat_text([1.0, 1.0, 1.0, 1.0], [1.0, 1.3, 1.0, 1.1]),
                  "qg.stat": stat_text([1, 1, 1, 1], [1, 1, 1, 1])},
     [("chlunsat.stat: line 5, word 6", "1.3 (above 1)")]),
    ("chloride", {"chlunsat.stat": stat_text([1.0, 1.3, 1.0, 1.0]),
                  "qg.stat": stat_text([1, 0, 1, 1])}, []),
    ("chloride", {"chlunsat.asc": ASCII_HEAD + "1 99999 0.5\n1 -9999 1\n",
                  "chlstore.asc": STACK_HEAD + "45.7\n-9999\n0\n12\n1\n1\n"}, []),
    ("chloride", {"chlstore.asc": STACK_HEAD + "45.7\n-9999\n0\n12\n-0.01\n1\n"},
     [("chlstore.asc: line 17, word 1", "-0.01 (below 0)")]),
    ("chloride", {"chl1grou.asc": binary("d", [1.0, 0.5, 1.5, 1.0, -9999, 1.0])},
     [("chl1grou.asc: value 3 after the header", "1.5 (above 1)")]),
    ("two", {"salunsat.stat": stat_text([5.0, 150.0, 5.0, 60.0]),
             "sal1grou.asc": ASCII_HEAD + "150 2 3\n4 -9999 6\n",
             "salgrou1.stat": stat_text([2.0, -464.6, 2.0, 1.0]),
             "chlrouti.stat": stat_text([0.2, 0.9, 1.0, 0.7])},
     [("salgrou1.stat: line 4, word 6", "-464.6 (below 0)"),
      ("salunsat.stat: line 4, word 6", "150 (above 100)")]),
)


def check_tracer_bounds(work):
    faults = []
    for k, (tracer, files, wanted) in enumerate(PLANTED_TRACERS):
        folder = os.path.join(work, "tracers%d" % k)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, content in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content.encode() if isinstance(content, str) else content)
        found = sweep.tracer_faults(folder, tracer)
        if found != ["%s is %s" % pair for pair in wanted]:
            faults.append("row %d: found %s" % (k, found))
    ex.check(not faults, "\n".join(faults))


def write_balance(folder, terms):
    os.makedirs(folder, exist_ok=True)
    for term, rows in terms.items():
        with open(os.path.join(folder, "balance_%s.stat" % term), "w") as f:
            f.write("head\nzones\n\n" + "".join(
                "2021\t3\t1\t%d\t%s\n" % (hour, "\t".join(repr(v) for v in row))
                for hour, row in enumerate(rows)))


def check_balance(work):
    # Two steps, a subbasin and the catchment: the rain goes into the soil
    # and leaves as runoff; in step 2 the subbasin loses 0.01 mm.
    closed = {"precipitation": [[2.0, 2.0], [1.0, 1.0]], "soil_water": [[1.5, 1.5], [0.5, 0.5]],
              "subbasin_runoff": [[0.5, 0.5], [0.5, 0.5]]}
    folder = os.path.join(work, "closed")
    write_balance(folder, closed)
    found = sweep.open_balance(folder, 1e-9)
    ex.check(found is None, "a closed balance is open: %s" % found)
    folder = os.path.join(work, "open")
    write_balance(folder, dict(closed, subbasin_runoff=[[0.5, 0.5], [0.51, 0.5]]))
    found = sweep.open_balance(folder, 1e-9) or ""
    ex.check(found.startswith("the balance of step 2, column 1 leaves -0.01 mm of 1.51 mm "
                              "(2021 3 1 1, subbasin column 1); open in 1 of 4"),
             "the open step is reported as: %s" % found)


# The conditional places of check_destinations: (terms added to a closed
# land, units, what the failure says or None where it passes). Rain into
# the soil, out as runoff: a copy of response units closes the books only
# in a run with units, the water to the ground only without soil, the
# aquifer's residual only within its bound, irrigation only with what the
# rivers (paid or owed) and the saturated zone gave; the drains are no exit,
# what the soil owes the aquifer a storage.
CONDITIONAL_DESTINATIONS = (
    ("copies in a run with units", {"response_units": [[0.2, 0.2]]}, True, None),
    ("copies without units", {"response_units": [[0.2, 0.2]]}, False, "no known destination"),
    ("ground beside the soil", {"water_to_ground": [[0.2, 0.2]]}, False, "no known destination"),
    ("ground without soil", {"water_to_ground": [[0.2, 0.2]]}, False, None),
    # The drains give their water to the interflow: no exit of their own.
    ("drains as an exit", {"drainage": [[0.2, 0.2]]}, False, "no known destination"),
    ("what the soil owes the aquifer", {"groundwater_owed_by_soil": [[0.2, 0.2]]}, False, None),
    ("residual within its bound", {"groundwater_solver_error": [[1e-5, -1e-5]]}, False, None),
    ("residual above its bound", {"groundwater_solver_error": [[0.0, 2e-4]]}, False,
     "groundwater_solver_error reaches 0.0002 mm"),
    ("irrigation the rivers gave or owe",
     {"irrigation": [[0.3, 0.3]], "withdrawal": [[0.2, 0.2]],
      "irrigation_from_groundwater": [[0.1, 0.1]], "irrigation_owed_by_channels": [[-0.1, -0.1]]},
     False, None),
    ("irrigation from beyond", {"irrigation": [[0.2, 0.2]], "withdrawal": [[0.1, 0.1]]}, False,
     "the transfer irrigation -> irrigation_from_baseflow+irrigation_from_groundwater+withdrawal "
     "nets 0.1 mm"),
)


def check_destinations():
    faults = []
    land = {"precipitation": [[2.0, 2.0]], "soil_water": [[1.5, 1.5]],
            "subbasin_runoff": [[0.5, 0.5]], "channel_inflow": [[0.5, 0.5]],
            "outflow": [[0.5, 0.5]]}
    for name, more, units, failure in CONDITIONAL_DESTINATIONS:
        terms = dict(land, **more)
        if "ground" in name and "without" in name:
            del terms["soil_water"]
        try:
            ex.check_destinations(terms, units=units)
            said = None
        except ex.Failure as f:
            said = str(f)
        if (said is None) != (failure is None) or (failure and failure not in said):
            faults.append("%s: %s" % (name, said or "passed"))
    ex.check(not faults, "\n".join(faults))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--work", required=True)
    args = parser.parse_args(argv)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    failed = 0
    for name, check in (("rules", check_rules), ("draws", check_draws),
                        ("ci sample", check_ci_sample),
                        ("refusals", lambda: check_refusals(args.work)),
                        ("weathers", lambda: check_weathers(args.work)),
                        ("allowed", check_allowed),
                        ("landscapes", lambda: check_landscapes(args.work)),
                        ("edits", lambda: check_edits(args.work)),
                        ("nonfinite", lambda: check_nonfinite(args.work)),
                        ("tracer bounds", lambda: check_tracer_bounds(args.work)),
                        ("balance", lambda: check_balance(args.work)),
                        ("destinations", check_destinations)):
        try:
            check()
            print("ok: %s" % name)
        except ex.Failure as failure:
            failed += 1
            print("FAILED: %s: %s" % (name, failure))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
