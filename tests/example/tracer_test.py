#!/usr/bin/env python3
"""A tracer travels through every module of horva.

The first check of solute transport: one tracer that does not decay and
leaves with every water flux ("evaporating"), at concentration 1 in the rain,
the soil and the aquifer at the start, the lake, the reservoir and the
irrigation water, stands at 1 in every store that holds water, in the runoff
and in the routed discharge; runs on one and three processes write the same
files. Lakes with tracers run on one process only. Snow falling at 10 on a
cold day brings 10 into the snow and the layered pack, and a warm start
goes on with every tracer store as the run through does. On the land,
silting-up and surface routing keep one store of the water's concentration:
salt that surface routing carries reaches silting-up's runoff, a tracer
that stays behind when water evaporates runs off at the concentration of
the water, and a cloudburst leaves every concentration between 0 and the
rain's. Such a tracer at 1 everywhere keeps the layered pack at 1, whatever
melts or sublimates. Salt-free water standing on the land at the start
reaches the soil with the salty rain that silting-up passes on together
with it, as a column holds no more salt than fell on it. With daily steps,
whose flows run the water of a thin soil layer or aquifer cell through it
several times, every concentration stays within its sources.
"""

import os
import re
import sys

import example_test as ex
import small_catchment as small
from small_catchment import Case

TRACER = ("chloride non_radioactive evaporating min_conc = 0 max_conc = 0 kg/kg soilini = 1 "
          "gwini = 1 statcode = 2001 gridcode = 3 path = ./ statext = stat gridext = asc")


def standard_grid(grid, name):
    """The control file with the grid file `grid` read as the standard grid
    `name`."""
    def edit(text):
        text, count = re.subn(r"^(\d+)(  number of grids: file, name, keys)$",
                              lambda m: "%d%s" % (int(m.group(1)) + 1, m.group(2)), text,
                              flags=re.M)
        ex.check(count == 1, "no count of standard grids")
        return ex.replace_once("\n\n[variable_grids]", "\n%s  %s  fillcode = 0 readcode = 1"
                               "\n\n[variable_grids]" % (grid, name))(text)
    return edit


def one_tracer(record, grid):
    """The control file with one tracer, which enters with the water at the
    concentration of the grid file `grid`."""
    def edit(text):
        text = ex.replace_once("0  number of tracers\n", "1  number of tracers\n%s\n" % record)(text)
        return standard_grid(grid, "concflux_tracer_1_input")(text)
    return edit


# The example sprinkles its fields from groundwater in May and June.
IRRIGATED_IN_MARCH = ex.replace_once("from 5 10 with 12 mm to 6 28 with 12 mm every 6 day",
                                     "from 3 1 with 12 mm to 3 28 with 12 mm every 1 day")


def with_tracer(text):
    """The tracer in the rain (a grid of 1), the reservoir and the lake, and
    sprinkling from groundwater every day of March."""
    text = one_tracer(TRACER, "ones.asc")(text)
    text, count = re.subn(r"C0 = 0 ", "C0 = 1 ", text)
    ex.check(count == 2, "the reservoir and the lake have no C0")
    return IRRIGATED_IN_MARCH(text)


def concentration_grid(name, value):
    """An input edit: the grid file name with value in every cell of the
    catchment, or value(column) with columns from 0."""
    def edit(folder):
        with open(os.path.join(folder, "zones.asc")) as f:
            lines = f.read().splitlines()
        body = [" ".join(v if v == "-9999" else str(value(c) if callable(value) else value)
                         for c, v in enumerate(line.split()))
                for line in lines[6:]]
        with open(os.path.join(folder, name), "w") as f:
            f.write("\n".join(lines[:6] + body) + "\n")
    return edit


ones = concentration_grid("ones.asc", 1)


def grid(work, name):
    ex.check(os.path.exists(os.path.join(work, "output", name)), "%s was not written" % name)
    with open(os.path.join(work, "output", name)) as f:
        return [float(v) for line in f.read().splitlines()[6:] for v in line.split()]


def stored(work, name, water=None):
    """The values of a tracer grid where the cell has data and, when given,
    the grid `water` holds water."""
    values, mask = grid(work, name), grid(work, water) if water else None
    return [v for i, v in enumerate(values) if v != -9999 and (not mask or mask[i] > 0.0)]


def rows(path):
    ex.check(os.path.exists(path), "%s was not written" % path)
    with open(path) as f:
        return [[float(v) for v in line.split()[4:]] for line in f if line[:4].isdigit()]


def with_runoff(work, concentration, water):
    """A subbasin statistic of concentrations where its water statistic
    shows runoff (the column of the total left out)."""
    out = os.path.join(work, "output")
    pairs = zip(rows(os.path.join(out, concentration)), rows(os.path.join(out, water)))
    return [c for cs, qs in pairs for c, q in zip(cs[:3], qs[:3]) if q > 0.0]


def control_point_profile(work):
    """The control cell's concentrations, which land beside the tracer's
    other outputs: with `path = ./` in the output folder."""
    ex.check(not os.path.exists(os.path.join(work, "chlpoint.stat")),
             "chlpoint.stat was written into the work folder, not into the output folder")
    return sum(rows(os.path.join(work, "output", "chlpoint.stat")), [])


def check_concentration_one(work):
    out = os.path.join(work, "output")
    checks = [
        ("interception", lambda: stored(work, "chlinter.asc", "intercept.asc")),
        ("snow", lambda: stored(work, "chlsnow_.asc", "swe.asc")),
        ("water to the soil", lambda: stored(work, "chlinter_flux.asc")),
        ("top soil layer", lambda: stored(work, "chlunsat.asc")),
        ("soil layers of the control point", lambda: control_point_profile(work)),
        ("aquifer layer 1", lambda: stored(work, "chl1grou.asc")),
        ("aquifer layer 2", lambda: stored(work, "chl2grou.asc")),
        ("soil runoff", lambda: with_runoff(work, "chlunsat.stat", "qg.stat")),
        ("surface routing", lambda: with_runoff(work, "chlSurfa.stat", "qgsr.stat")),
        ("routed discharge", lambda: with_runoff(work, "chlrouti.stat", "routed.stat")),
        ("reservoir", lambda: [row[-1] for row in rows(os.path.join(out, "reservoir_1.txt"))])]
    with open(os.path.join(work, ex.CONTROL_FILE)) as f:
        layered = f.read().split("[LayeredSnowModel]\n")[1].startswith("1")
    if layered:
        checks.append(("snow layers", lambda: stored(work, "chlsnowp.asc", "swe.asc")))
    at_concentration(1.0, checks)


def at_concentration(value, checks):
    """Each (label, values) of checks gives values (a function) that stand
    at value, and some."""
    faults = []
    for label, values in checks:
        try:
            values = values()
        except ex.Failure as failure:
            faults.append("%s: %s" % (label, failure))
            continue
        wrong = [v for v in values if abs(v - value) > 1e-9]
        if not values or wrong:
            faults.append("%s: %d of %d values differ from %g, e.g. %s" %
                          (label, len(wrong), len(values), value, wrong[:4]))
    ex.check(not faults, "\n".join(faults))


def canopy_at_one(work):
    """The canopy of several land-use layers shares one store: its
    statistic stands at 1 in every subbasin and step whose canopy holds
    water."""
    at_concentration(1.0, [("the canopy's statistic at water on the leaves",
                            lambda: with_runoff(work, "chlinter.stat", "intercept.stat"))])


def snow_at_ten(work):
    """Where snow lies after a cold day of snowfall at 10, the snow model's
    store and the layered pack's hold 10."""
    at_concentration(10.0, [(label, lambda name=name: stored(work, name, "swe.asc"))
                            for label, name in (("snow", "salsnow_.asc"),
                                                ("snow layers", "salsnowp.asc"))])


def cold(folder):
    ex.scale_station_values(folder, "temperature.txt", lambda v: v - 10.0)


def edited_by(*edits):
    def edit(text):
        for e in edits:
            text = e(text)
        return text
    return edit


def edited(*edits):
    return edited_by(with_tracer, *edits)


def salt(kind, soil=(1, 2)):
    """One tracer in the water at the concentration of salt.asc, in the soil
    above and below the table at those of soil, carried as a mass
    (non_evaporating) or as a concentration (evaporating)."""
    return one_tracer("salt non_radioactive %s min_conc = 0 max_conc = 100 mg/l soilini = %g "
                      "gwini = %g statcode = 2001 gridcode = 3 path = ./ statext = stat "
                      "gridext = asc" % ((kind,) + soil), "salt.asc")


def inputs(*edits):
    def edit(folder):
        for e in edits:
            e(folder)
    return edit


SALT_WATER = concentration_grid("salt.asc", 5)


def leaky_lake_beds(folder):
    """The lakes' beds pass what the valley floors pass (2e-6 1/s): the
    aquifer gives the lakes' cells water of its own concentration."""
    with open(os.path.join(folder, "lake_codes.asc")) as f:
        lakes = [line.split() for line in f.read().splitlines()[6:]]
    with open(os.path.join(folder, "gw_kolmation_1.asc")) as f:
        lines = f.read().splitlines()
    body = [" ".join("2e-06" if float(lakes[r][c]) > 0 else v for c, v in enumerate(line.split()))
            for r, line in enumerate(lines[6:])]
    with open(os.path.join(folder, "gw_kolmation_1.asc"), "w") as f:
        f.write("\n".join(lines[:6] + body) + "\n")


NO_LAKES = ex.replace_once("[lake_model]\n1 ", "[lake_model]\n0 ")
NO_LAYERED_SNOW = ex.replace_once("[LayeredSnowModel]\n1", "[LayeredSnowModel]\n0")
CASES = {name: Case(edit, ones, days=3, processes=processes, check_outputs=check_concentration_one)
         for name, edit, processes in (("every_module", edited(), (1, 3)),
                                       ("every_module_but_lakes", edited(NO_LAKES), (1, 3)),
                                       ("single_layer_snow", edited(NO_LAKES, NO_LAYERED_SNOW),
                                        (1, 3)))}
# An aquifer that feeds the lakes gives them water at its own 1.
CASES["every_module_over_leaky_lake_beds"] = Case(edited(), inputs(ones, leaky_lake_beds), days=3,
                                                  processes=(1, 3),
                                                  check_outputs=check_concentration_one)
# The storage statistic of every step beside the tracer's.
STEP_STATISTIC = ex.replace_once("intercept.stat 2024", "intercept.stat 2001")
CASES["layered_canopy_statistic"] = Case(edited(STEP_STATISTIC), ones, days=2, processes=(1, 3),
                                         check_outputs=canopy_at_one)
# Snow falls at the concentration of the water, whatever the snow cover
# lets run off (on a cold day nothing); a pack starts at the soil's
# concentration, here the same 10. Without groundwater, whose table would
# push the soil's water, concentrated by evaporation, up into the pack.
CASES["snowfall_into_the_layered_pack"] = Case(
    lambda text: salt("non_evaporating", (10, 10))(ex.switched_off(text, "groundwater_flow")),
    inputs(concentration_grid("salt.asc", 10), cold), days=2,
    processes=(1, 3), check_outputs=snow_at_ten)
# A warm start carries every tracer store on: the fields watered on the
# first day hold salt on the leaves and on the silting surface; ten times
# the rain of the second day leaves it on the leaves, in the snow and on the
# land at the start of the third.
CASES.update({
    "warm_start_with_irrigation": Case(lambda text: IRRIGATED_IN_MARCH(salt("non_evaporating")(text)),
                                       SALT_WATER, days=2, processes=(1, 3), continues=True),
    "warm_start_after_a_cloudburst": Case(salt("evaporating"), inputs(SALT_WATER, ex.cloudburst),
                                          days=3, processes=(1, 3), continues=True),
    # Without silting-up, surface routing keeps the salt of the water on the
    # land.
    "warm_start_without_silting_up": Case(
        lambda text: ex.switched_off(salt("evaporating")(text), "SiltingUpModel"),
        inputs(SALT_WATER, ex.cloudburst), days=3, processes=(1, 3), continues=True)})



def every_step(text):
    """The tracer's grids written at every step, each under its time."""
    return text.replace("gridcode = 3", "gridcode = 2")


def warm(folder):
    ex.scale_station_values(folder, "temperature.txt", lambda v: v + 10.0)


# Salt falls at 5 on the eastern slope alone, and the soil and the aquifer
# hold none: the cells west of it get salt only from the water surface
# routing carries down into the valley, which silting-up must see there.
EAST = 12
SALT_IN_THE_EAST = concentration_grid("salt.asc", lambda column: 5 if column >= EAST else 0)


def salt_carried_west(work):
    """Silting-up's runoff west of the salty slope carries the salt surface
    routing brought there, at most at the rain's 5."""
    carried = []
    for name in sorted(os.listdir(os.path.join(work, "output"))):
        if name.startswith("salSilti_flux_"):
            carried += [v for i, v in enumerate(grid(work, name))
                        if v != -9999 and i % small.COLS < EAST]
    ex.check(carried, "silting-up wrote no runoff concentrations")
    outside = [v for v in carried if not 0.0 <= v <= 5.0]
    ex.check(not outside, "west of the salt: concentrations outside 0 .. 5, e.g. %s" % outside[:4])
    ex.check(any(v > 0.0 for v in carried),
             "west of the salt, silting-up's runoff carried no salt in %d cell-steps" %
             len(carried))


def land_at_one(work):
    """A tracer that stays behind when water evaporates, at 1 in every water:
    silting-up's runoff mixes water at 1 alone, and surface routing's and the
    soil's runoff can only have become saltier."""
    at_concentration(1.0, [("silting-up's runoff",
                            lambda: with_runoff(work, "chlSilti.stat", "qdsu.stat"))])
    for label, concentration, water in (("surface routing", "chlSurfa.stat", "qgsr.stat"),
                                        ("soil runoff", "chlunsat.stat", "qg.stat")):
        values = with_runoff(work, concentration, water)
        below = [v for v in values if v < 1.0 - 1e-9]
        ex.check(values and not below, "%s: %d of %d values below 1, e.g. %s" %
                 (label, len(below), len(values), below[:4]))


def within_the_salt(work):
    """An evaporating tracer only mixes: every concentration the run writes,
    grid or statistic, lies between 0 (no water) and the rain's 5 (the
    soil's store is a stack of its own)."""
    out = os.path.join(work, "output")
    faults = []
    for name in sorted(os.listdir(out)):
        if not name.startswith("sal") or name.startswith("salstore"):
            continue
        values = ([v for row in rows(os.path.join(out, name)) for v in row]
                  if name.endswith(".stat") else [v for v in grid(work, name) if v != -9999])
        outside = [v for v in values if not 0.0 <= v <= 5.0 + 1e-9]
        if outside:
            faults.append("%s: %d values outside 0 .. 5, e.g. %s" %
                          (name, len(outside), outside[:4]))
    ex.check(not faults, "\n".join(faults))


STAYING = TRACER.replace(" evaporating", " non_evaporating")
PER_STEP_RUNOFF = ex.replace_once("qdsu.stat 2024", "qdsu.stat 2001")
CASES.update({
    "salt_carried_west": Case(lambda text: every_step(salt("evaporating", (0, 0))(text)),
                              inputs(SALT_IN_THE_EAST, ex.cloudburst), days=2, processes=(1, 3),
                              check_outputs=salt_carried_west),
    # Without groundwater, which the table brings to the surface with what
    # evaporation left in it.
    "staying_tracer_on_the_land": Case(
        lambda text: PER_STEP_RUNOFF(one_tracer(STAYING, "ones.asc")(
            ex.switched_off(text, "groundwater_flow"))),
        inputs(ones, ex.cloudburst, warm), days=2, processes=(1, 3), check_outputs=land_at_one),
    "cloudburst_within_the_salt": Case(salt("evaporating"), inputs(SALT_WATER, ex.cloudburst),
                                       days=3, processes=(1, 3), check_outputs=within_the_salt)})



def time_stamped(work, prefix):
    """The names of the output files of prefix followed by a time stamp, in
    the order of the steps."""
    names = sorted(n for n in os.listdir(os.path.join(work, "output"))
                   if n.startswith(prefix + "_2"))
    ex.check(names, "no %s grid was written at a step" % prefix)
    return names


def pack_at_one_every_step(work):
    """A tracer that stays behind when water evaporates, at 1 in every water
    and store: the layered pack's store stands at 1 in every cell and step,
    whatever melts or sublimates."""
    at_concentration(1.0, [("snow layers at every step",
                            lambda: [v for name in time_stamped(work, "chlsnowp")
                                     for v in stored(work, name)])])


CASES["layered_pack_of_a_staying_tracer"] = Case(
    lambda text: every_step(one_tracer(STAYING, "ones.asc")(text)), ones, days=3,
    processes=(1, 3), check_outputs=pack_at_one_every_step)


def stack_cells(work, name):
    """Per cell of a stack file (row by row) its levels 0 .. n."""
    with open(os.path.join(work, "output", name)) as f:
        lines = f.read().splitlines()
    ex.check(lines[11].startswith("numlevels"), "%s is no stack file" % name)
    levels = int(float(lines[11].split()[1])) + 1
    values = [float(v) for v in lines[12:]]
    return [values[i:i + levels] for i in range(0, len(values), levels)]


# Water stands on the land at the start of the run without salt, and salt
# falls at 5 with the rain from the first step: silting-up passes the two on
# to the soil as one water input.
LAND_WATER = 10.0
SALTY_RAIN = 5.0
PER_STEP_SURFACE = tuple(ex.replace_once(line + str(code), line + "2")
                         for line, code in (("throughfall.asc  throughfall\n", 0),
                                            ("pond.asc  POND\n", 3), ("qd.asc  QD\n", 13)))


def rain_from_the_start(folder):
    ex.scale_station_values(folder, "precipitation.txt", lambda v: v + 2.0)


def soil_takes_the_rains_salt(work):
    """After the first step a column holds (in its layers and its ponded
    water) the salt of the rain that came through the canopy, 5 times the
    throughfall, and no more; where no water stands or ran off, exactly that."""
    first = {p: time_stamped(work, p)[0] for p in ("throughfall", "pond", "qd", "salstore")}
    cells = zip(grid(work, first["throughfall"]), grid(work, first["pond"]),
                grid(work, first["qd"]), stack_cells(work, first["salstore"]))
    more, less, exact = [], [], 0
    for i, (through, pond, runoff, store) in enumerate(cells):
        if through == -9999:
            continue
        held = sum(v for v in store[1:] if v != -9999) + (store[0] * pond if pond > 0 else 0.0)
        fell = SALTY_RAIN * through
        tolerance = 1e-5 * fell + 1e-6  # the stack file's six digits
        cell = (i // small.COLS + 1, i % small.COLS + 1, held, fell)
        if held > fell + tolerance:
            more.append(cell)
        elif pond == 0 and runoff == 0:
            if held < fell - tolerance:
                less.append(cell)
            else:
                exact += 1
    ex.check(not more, "%d columns hold more salt than fell on them, e.g. (row, column, salt, "
             "fell) %s" % (len(more), more[:3]))
    ex.check(not less, "%d columns without ponded water or runoff hold less salt than fell on "
             "them, e.g. (row, column, salt, fell) %s" % (len(less), less[:3]))
    ex.check(exact, "no column without ponded water or runoff")


CASES["salt_free_water_on_the_land"] = Case(
    edited_by(salt("non_evaporating", (0, 0)), every_step,
              standard_grid("land.asc", "SurfStorSiltingUp"), *PER_STEP_SURFACE),
    inputs(concentration_grid("salt.asc", SALTY_RAIN), concentration_grid("land.asc", LAND_WATER),
           rain_from_the_start, warm),
    days=1, processes=(1, 3), check_outputs=soil_takes_the_rains_salt)

# Daily steps over an aquifer whose thin saturated layer a day's lateral
# flow drains several times over: salt at 5 in the rain, 1 in the soil and
# 2 in the aquifer. The aquifer mixes its cells in as many steps as let
# none give more water than it holds, so no concentration leaves 0 ... 5.
MACROPORES = "  PMacroThresh = 1e-7; MacroCapacity = 2e-5; MacroDepth = 1.0; CapacityRedu = 0.5;\n"


def macropores_everywhere(text):
    """Macropores in every soil type of the soil table."""
    start, end = text.index("[soil_table]"), text.index("[irrigation]")
    table, count = re.subn(r"^(  alpha = .*\n)", lambda m: m.group(1) + MACROPORES,
                           text[start:end], flags=re.M)
    ex.check(count == 3, "the soil table has %d soil types, not 3" % count)
    return text[:start] + table + text[end:]


def daily(text):
    # refused_inputs_test reads this table: imported when a case runs.
    import refused_inputs_test as refused
    return refused.daily(text)


def daily_stations(folder):
    import refused_inputs_test as refused
    refused.daily_stations(folder)


ONE_AQUIFER_LAYER = ex.replace_once("2     number of layers", "1     number of layers")


def within_sources(names):
    """Every value of the salt's outputs that names(name) admits lies
    within 0 ... 5, the concentrations of its sources."""
    def check(work):
        out = os.path.join(work, "output")
        faults, seen = [], 0
        for name in sorted(os.listdir(out)):
            if not name.startswith("sal") or not names(name):
                continue
            values = ([v for row in rows(os.path.join(out, name)) for v in row]
                      if name.endswith(".stat") else [v for v in grid(work, name) if v != -9999])
            seen += 1
            outside = [v for v in values if not 0.0 <= v <= 5.0 + 1e-9]
            if outside:
                faults.append("%s: %d values outside 0 .. 5, e.g. %s" %
                              (name, len(outside), outside[:4]))
        ex.check(seen, "no salt output was written")
        ex.check(not faults, "\n".join(faults))
    return check


DAILY_SHAPE = (19, 27)
CASES.update({
    # The salt stays behind where water evaporates: its statistics and the
    # aquifer's grids stay within the sources, the soil's top layer and the
    # leaves may hold more.
    "daily_steps_aquifer_and_macropores": Case(
        edited_by(salt("non_evaporating"), every_step, macropores_everywhere, ONE_AQUIFER_LAYER,
                  lambda text: ex.switched_off(
                      text, "radiation_correction", "interception_model", "snow_model",
                      "SiltingUpModel", "heat_transfer", "lake_model", "LayeredSnowModel",
                      "SurfaceRoutingModel", "irrigation"), daily),
        inputs(SALT_WATER, daily_stations), days=10, processes=(1, 3), shape=DAILY_SHAPE,
        check_outputs=within_sources(lambda name: name.endswith(".stat") or
                                     name.startswith("sal1grou"))),
    # Every module and two aquifer layers, the salt leaving with the water.
    "daily_steps_every_module_within_the_salt": Case(
        edited_by(salt("evaporating"), every_step, daily), inputs(SALT_WATER, daily_stations),
        days=10, processes=(1, 3), shape=DAILY_SHAPE, check_outputs=within_the_salt),
    # A day's cloudburst runs several times the water of the thin top layers
    # through them: each passes on the salt of what enters it, none ends
    # saltier than the rain (without groundwater, so the soil alone).
    "daily_cloudburst_through_the_soil": Case(
        edited_by(salt("evaporating"), every_step,
                  lambda text: ex.switched_off(text, "groundwater_flow"), daily),
        inputs(SALT_WATER, ex.cloudburst, daily_stations), days=3, processes=(1, 3),
        check_outputs=within_the_salt)})

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
