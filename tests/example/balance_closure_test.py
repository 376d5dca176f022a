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
import process_counts_test as pc
import refused_inputs_test as ri
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
    """Every step and zone closes, each term of moved changed, and every
    term has its place (the copies of response units where the run has
    units)."""
    def check(work):
        terms = ex.balance_rows(work + "/output")
        for term in moved:
            ex.check(term in terms and any(v != 0.0 for row in terms[term] for v in row),
                     "%s never moved water" % term)
        ex.check_closure(terms, tolerance)
        with open(os.path.join(work, "catchment.ctl")) as f:
            units = "[SpinUp]\n1  spin-up\n" in f.read()
        ex.check_destinations(terms, tolerance, units=units)
    return check


# Routing turns mm into m^3/s with 16.6666667 for 1000/60, 2.0e-9 too much:
# what a reservoir or lake takes in gains that share, what it gives off
# loses it.
CHANNEL_TOLERANCE = 2e-9


def slow_channels(text):
    """The example's channels without lakes, flatter, routed in four
    sub-intervals: their delays change with the flow."""
    text = with_channels("lake_model")(text)
    return ex.replace_lines(text, ((r"^1 1000 30 1  specific", "1 1000 30 4  specific"),
                                   (r"I = 0\.1\d+", "I = 0.005", 2)))


def dry_then_flood(folder):
    """No rain the first day, forty times the rain the second."""
    ex.scale_station_values(folder, "precipitation.txt", lambda v: 0.0)
    ex.scale_station_values(folder, "precipitation.txt", lambda v: 40 * v + 2.0, 2)
    ex.scale_station_values(folder, "precipitation.txt", lambda v: 0.0, 3)


def delays_changed(work):
    """The channels' tables give delays that differ with the flow, and the
    channels close (what a queue holds is channel storage) through the flood."""
    delays = set()
    for name in os.listdir(work + "/output"):
        if name.startswith("wq_table."):
            with open(os.path.join(work, "output", name)) as f:
                delays |= {p[10] for p in (line.split() for line in f)
                           if len(p) == 12 and p[0].isdigit()}
    ex.check(len(delays) > 1, "the delays of the channels never change: %s" % sorted(delays))
    closes("channel_storage", "outflow", tolerance=CHANNEL_TOLERANCE)(work)


def canopy_snow(method):
    """Interception with the canopy's snow (above 30 with its energy balance)."""
    lines = "".join("sc%d.asc\n0\nsc%d.stat 0\n" % (k, k) for k in range(10)) + "0.5\n0.05\n1.0\n"
    lines += "".join("ceb%d.asc\n0\nceb%d.stat 0\n" % (k, k) for k in range(4 if method > 30 else 0))
    return lambda text: ex.replace_lines(text, (
        (r"^1   method\n(throughfall\.asc)", "%d  method\n\\1" % method),
        (r"^(0   interception readgrid\n)", "\\g<1>" + lines)))


def no_snow(text):
    return ex.switched_off(text, "snow_model")


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


def deposition_grid(value_of):
    """A deposition_index of value_of(row) in the catchment."""
    return lambda folder: pc.write_grid_like(folder, "zones.asc", "deposition_index.asc",
                                             lambda r, c, zone: value_of(r))


def deposition(value_of):
    """Snow falling on a deposition_index of value_of(row)."""
    def edit(folder):
        cold_cloudburst(folder)
        deposition_grid(value_of)(folder)
    return edit


def slides(method, slope=0, fraction=0.5):
    """Snow method 6 (7 and 9 with the wind's deposition) with half of the
    pack (fraction) sliding off any slope (of slope degrees and more) to the
    four neighbours alike."""
    def edit(text):
        text = ex.replace_lines(text, (
            (r"^5     method: energy", "%d     method: energy" % method),
            (r"^30    minimum slope for slides.*$", "%g     minimum slope" % slope),
            (r"^0\.01  slide mass fraction.*$", "%g   slide mass fraction" % fraction)))
        grids = ["slide%d.asc  slidefraction%d  fillcode = 0 readcode = 1" % (k, k)
                 for k in range(1, 5)]
        if method in (7, 9):
            grids.append("deposition_index.asc  deposition_index  fillcode = 0 readcode = 1")
        return pc.add_standard_grids(text, grids)
    return edit


def slide_grids(folder):
    for k in range(1, 5):
        pc.write_grid_like(folder, "zones.asc", "slide%d.asc" % k, lambda r, c, zone: 0.25)


def slide_fractions(folder):
    ex.cloudburst(folder)
    slide_grids(folder)


def freeze_thaw_slides(folder):
    """Snow that melts and freezes again slides, with the wind's deposition."""
    small.freeze_thaw(folder)
    slide_grids(folder)
    deposition_grid(lambda r: 0.2)(folder)


def partly_glacierized(method, snow=None):
    """Glacier method 11, 12 or 13 on subbasin 3, whole cells at the top and
    half cells below, its year closing at the end of the run's second day;
    the glacier's fractions in place of ice_firn. snow: an edit of the snow
    model's lines."""
    def edit(text):
        text = pc.dynamic_glacier(text)
        text = ex.replace_lines(text, (
            (r"^ice_firn\.asc  ice_firn .*\n", ""),
            (r"^26  number of grids", "25  number of grids"),
            (r"^11    Glacier-Method", "%d    Glacier-Method" % method)))
        return snow(text) if snow else text
    return edit


def glacier_fractions(*weather):
    def edit(folder):
        pc.dynamic_glacier_input(folder)
        for w in weather:
            w(folder)
    return edit


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


def glaciers_closing_low(text):
    """The dynamic glacier, whose close turns every pack above 10 mm into
    glacier, without interception, whose buckets over the glacier's part of
    a cell stay apart here."""
    text = dynamic_glacier(text)
    ex.check(DYNAMIC_GLACIER.endswith("1000 0.25\n"), "the glacier lines have changed")
    text = text.replace(DYNAMIC_GLACIER, DYNAMIC_GLACIER[:-len("1000 0.25\n")] + "10 0.25\n")
    return ex.switched_off(text, "interception_model")


def glaciers_everywhere(folder):
    """The glacier of glacier_grids in subbasin 3, the cells beside it of no
    glacier (a code below 0), and 10 K warmer on the second day."""
    glacier_grids(folder)
    path = os.path.join(folder, "glacier_codes.asc")
    with open(path) as f:
        lines = f.read().splitlines()
    lines[6:] = [" ".join("-1" if v == "0" else v for v in line.split()) for line in lines[6:]]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    ex.scale_station_values(folder, "temperature.txt", lambda v: v + 10.0, from_day=2)


def new_glaciers_run_off(work):
    """The glaciers the close made in subbasins 1 and 2 melt, and every step
    after the close closes. The close itself moves packs onto the glaciers,
    which the balance does not follow."""
    terms = ex.balance_rows(work + "/output")
    after = {term: rows[24:] for term, rows in terms.items()}
    ex.check(any(row[0] != 0.0 or row[1] != 0.0 for row in after["glacier_melt"]),
             "no glacier melted in subbasins 1 and 2")
    try:
        ex.check_closure(after, 1e-9)
    except ex.Failure as failure:
        raise ex.Failure("counting from the step after the close, %s" % failure)


def rain_on_bare_ground(text):
    """Neither snow nor interception: silting-up hands the soil its water in
    the precipitation grid itself; its direct runoff every step."""
    text = ex.switched_off(text, "snow_model", "interception_model")
    return ex.replace_once("qdsu.stat 2024", "qdsu.stat 2001")(text)


def silting_ran_off(work):
    closes("precipitation")(work)
    with open(os.path.join(work, "output", "qdsu.stat")) as f:
        runoff = [float(v) for line in f.read().splitlines()[3:] for v in line.split()[4:]]
    ex.check(any(v > 0.0 for v in runoff), "silting-up gave no direct runoff")


def groundwater_fields(text):
    """The fields watered from groundwater from the first day on."""
    return ex.replace_lines(text, ((r"^(1 sprinkled_fields 2 1 0 0 starting from) 5 10 (.*) 6 28 "
                                    r"(.*) 6 day$", r"\1 3 1 \2 3 2 \3 1 day"),)) + ex.BALANCE_SECTION


def fields_on_baseflow_in_substeps(text):
    """The fields watered from groundwater without its model, so from the
    baseflow, in two sub-steps of the soil."""
    text = groundwater_fields(ex.switched_off(text, "groundwater_flow"))
    return text + ex.SUBSTEPS_SECTION


def fields_beyond_the_baseflow(text):
    """The fields watered from groundwater without its model, on a
    baseflow cut to a tenth: they draw more than it gives."""
    text = groundwater_fields(ex.switched_off(text, "groundwater_flow"))
    return ex.replace_once("0.05 0.05 0.05  QB-Red", "0.005 0.005 0.005  QB-Red")(text)


# The column's water of every cell of subbasin 1 at the end of each
# sub-step; the cells are listed where the input is made.
SUBBASIN_1_CELLS = "cells of subbasin 1"


def column_water_in_substeps(text):
    """Two sub-steps, the statistic SB_2_ of every step, and the column's
    water of subbasin 1's cells at the end of each sub-step."""
    text = ex.replace_once("sb2.stat 2024", "sb2.stat 2001")(text)
    text = ex.replace_once("3    number of outputs", "4    number of outputs")(text)
    block = "{grid = SB_2_grid; file = sb2_cells.txt; cells = %s; substeps = 1;}" % SUBBASIN_1_CELLS
    text = ex.replace_once("{grid = temperature;", block + "\n{grid = temperature;")(text)
    return with_balance(lambda t: t + ex.SUBSTEPS_SECTION)(text)


def subbasin_1_cells(folder):
    with open(os.path.join(folder, "zones.asc")) as f:
        zones = [line.split() for line in f.read().splitlines()[6:]]
    cells = " ".join("%d %d" % (r, c) for r, row in enumerate(zones, 1)
                     for c, zone in enumerate(row, 1) if zone == "1")
    path = os.path.join(os.path.dirname(folder), ex.CONTROL_FILE)
    with open(path) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(text.replace(SUBBASIN_1_CELLS, cells))


def statistic_of_substep_states(work):
    """With sub-steps, the soil water statistic of a step is the mean of the
    states at the ends of its sub-steps (subbasin 1 holds no glacier: every
    cell weighs alike)."""
    out = os.path.join(work, "output")
    with open(os.path.join(out, "sb2_cells.txt")) as f:
        lines = [line.split() for line in f.read().splitlines()[1:]]
    means = {}
    for line in lines:
        values = [float(v) for v in line[6:]]
        means.setdefault(tuple(int(v) for v in line[:4]), []).append(sum(values) / len(values))
    with open(os.path.join(out, "sb2.stat")) as f:
        rows = [line.split() for line in f.read().splitlines() if line[:4].isdigit()]
    ex.check(len(rows) == 48 and all(len(m) == 2 for m in means.values()),
             "sb2.stat has %d steps, not 48 of two sub-steps each" % len(rows))
    off = [(r[:4], float(r[4]), means[tuple(int(v) for v in r[:4])]) for r in rows
           if abs(float(r[4]) - sum(means[tuple(int(v) for v in r[:4])]) / 2.0) > 1e-5]
    ex.check(not off, "SB_2_ of subbasin 1 is not the mean of its sub-steps' states: %s" % off[:3])
    ex.check(any(abs(m[0] - m[1]) > 1e-3 for m in means.values()),
             "the column's water never changed within a step")
    closes()(work)


def owed_water_paid(work):
    """Every step closes, and the soil pays what it owes: at the end it
    owes less than two steps' shortfall, where a debt only booked would
    have grown by one every step."""
    closes("irrigation_from_baseflow", tolerance=CHANNEL_TOLERANCE)(work)
    terms = ex.balance_rows(work + "/output")
    ex.check("irrigation_owed_by_soil" in terms, "no balance term irrigation_owed_by_soil")
    owed = [row[-1] for row in terms["irrigation_owed_by_soil"]]
    ex.check(owed[0] < 0.0 and abs(sum(owed)) < 2.0 * abs(owed[0]),
             "the soil owes %.3g mm after %d steps, the first step's shortfall was %.3g mm" %
             (-sum(owed), len(owed), -owed[0]))


def irrigated_from_the_first_step(work):
    irrigation = [row[-1] for row in ex.balance_rows(work + "/output")["irrigation"]]
    ex.check(min(irrigation) > 0.0, "no irrigation in the steps %s" %
             [k + 1 for k, v in enumerate(irrigation) if not v > 0.0])


def fields_by_ratio(text):
    """The fields watered from the river whenever real evapotranspiration
    falls below 1.01 of the potential (always: without a grid of it the
    ratio is 1), from the second step on on a soil wetter than the
    threshold up to which they are watered."""
    return ex.replace_lines(text, ((r"^1 sprinkled_fields 2 1 0 0 starting from .*$",
                                    "1 sprinkled_fields 4 2 1.01"),)) + ex.BALANCE_SECTION


def never_less_than_none(work):
    closes()(work)
    irrigation = ex.balance_rows(work + "/output")["irrigation"]
    ex.check(min(min(row) for row in irrigation) >= 0.0, "irrigation below 0 in the steps %s" %
             [k + 1 for k, row in enumerate(irrigation) if min(row) < 0.0])


def fields_by_suction(text):
    """The fields watered from groundwater once the root zone's suction
    passes 100 m, which no soil of the example reaches in two days."""
    return ex.replace_lines(text, ((r"^1 sprinkled_fields 2 1 0 0 starting from .*$",
                                    "1 sprinkled_fields 3 1 100 0.1"),)) + ex.BALANCE_SECTION


def wet_fields_never_watered(work):
    closes()(work)
    irrigation = ex.balance_rows(work + "/output")["irrigation"]
    ex.check(not any(any(row) for row in irrigation), "irrigation in the steps %s" %
             [k + 1 for k, row in enumerate(irrigation) if any(row)])


def river_interaction(interaction, *off):
    """The example with its channels, but those of off, and the soil of the
    river cells exchanging water with the river of their subbasin."""
    def edit(text):
        text = pc.add_standard_grids(ex.switched_off(text, *off), [
            "kolmation.asc  kolmation  fillcode = 0 readcode = 1"])
        return ex.replace_once("0     surface water interaction off",
                               "%d     surface water interaction" % interaction)(text)
    return edit


def river_exchange(interaction, *off):
    """The same with the balance."""
    return lambda text: river_interaction(interaction, *off)(text) + ex.BALANCE_SECTION


def leaky_river_input(folder):
    """River beds a thousand times as leaky: the soil of the river cells
    takes more than a falling river brings."""
    pc.river_link_input(folder)
    pc.write_grid_like(folder, "zones.asc", "kolmation.asc", lambda r, c, zone: 1e-3)


def river_links_in_even_columns(folder):
    """The example's river cells and every cell of an even column linked to
    its own subbasin, with beds of 1 m, 5 m wide: subbasins of many river
    cells on every strip."""
    rivers = set()
    pc.write_grid_like(folder, "river_depth.asc", "rivers.asc",
                       lambda r, c, depth: rivers.add((r, c)) or depth)
    os.remove(os.path.join(folder, "rivers.asc"))

    def linked(value):
        return lambda r, c, zone: value(zone) if (r, c) in rivers or c % 2 == 0 else -9999
    pc.write_grid_like(folder, "zones.asc", "river_depth.asc", linked(lambda zone: 1.0))
    pc.write_grid_like(folder, "zones.asc", "river_width.asc", linked(lambda zone: 5.0))
    pc.write_grid_like(folder, "zones.asc", "river_links.asc", linked(int))
    pc.write_grid_like(folder, "zones.asc", "kolmation.asc", lambda r, c, zone: 1e-6)


def takes_like(share):
    """Compares a run with its reference: over the run the soil of the
    river cells took river water, in every subbasin within share of what it
    took in the reference (the catchment is the last column)."""
    def compare(reference, work):
        ours, theirs = (ex.balance_rows(w + "/output")["river_infiltration"]
                        for w in (work, reference))
        ex.check(sum(row[-1] for row in theirs) > 0.0, "the reference took no river water")
        for zone in range(len(ours[0])):
            taken, wanted = (sum(row[zone] for row in rows) for rows in (ours, theirs))
            ex.check(abs(taken - wanted) <= share * wanted,
                     "column %d took %.9g mm of river water where the reference took %.9g mm"
                     % (zone + 1, taken, wanted))
    return compare


def watered_daily_from_the_river(days, step=60):
    """Every field watered 12 mm a day from its river on each of the days,
    with the balance, every module stepping `step` minutes (daily data for
    1440)."""
    def edit(text):
        text = ex.replace_lines(text, (
            (r"^(1 sprinkled_fields 2) 1 (0 0 starting from) 5 10 (.*) 6 28 (.*) 6 day$",
             r"\1 2 \2 3 1 \3 3 %d \4 1 day" % days),))
        if step != 60:
            text = ri.daily(text)
        return text + ex.BALANCE_SECTION.replace("60  time interval", "%d  time interval" % step)
    return edit


def every_cell_a_field(*edits):
    """Every cell of the catchment a sprinkled field, after the edits."""
    def edit(folder):
        for e in edits:
            e(folder)
        pc.write_grid_like(folder, "zones.asc", "irrigation.asc", lambda r, c, zone: 1)
    return edit


def every_cell_but_the_lakes_a_field(*edits):
    """Every cell a sprinkled field but the lakes', after the edits: the
    lakes' cells get no water to make up what they lose."""
    def edit(folder):
        for e in edits:
            e(folder)
        with open(os.path.join(folder, "lake_codes.asc")) as f:
            lakes = [[float(v) for v in line.split()] for line in f.read().splitlines()[6:]]
        pc.write_grid_like(folder, "zones.asc", "irrigation.asc",
                           lambda r, c, zone: 0 if lakes[r - 1][c - 1] > 0 else 1)
    return edit


def fields_paid_by_the_rivers(work):
    """Every step closes, the rivers ran short of what the fields drew, and
    yet in every step the catchment's fields got what the channels gave or
    now owe them and the saturated zone gave, to 1e-9 mm: nothing from
    beyond, also where a lake could not give all it had offered. Every
    subbasin's fields got river water over the run."""
    terms = ex.balance_rows(work + "/output")
    below = [terms.get(t, [[0.0]] * len(terms["irrigation"]))
             for t in ("irrigation_from_groundwater", "irrigation_from_baseflow")]
    for step, (given, drawn) in enumerate(zip(terms["irrigation"], terms["withdrawal"])):
        left = given[-1] - drawn[-1] - below[0][step][-1] - below[1][step][-1]
        ex.check(abs(left) <= 1e-9,
                 "in step %d the fields got %.12f mm, %.3g mm more than the rivers and the "
                 "saturated zone gave or owe" % (step + 1, given[-1], left))
    closes("irrigation", "withdrawal", "irrigation_owed_by_channels",
           tolerance=CHANNEL_TOLERANCE)(work)
    for zone in range(len(terms["irrigation"][0]) - 1):
        ex.check(sum(row[zone] for row in terms["irrigation"]) > 0.0,
                 "the fields of column %d got no river water" % (zone + 1))


def watered_from_the_river(text):
    """The example's fields watered from their river on both days."""
    return ex.replace_lines(text, ((r"^(1 sprinkled_fields 2) 1 (0 0 starting from) 5 10 (.*) 6 28 "
                                    r"(.*) 6 day$", r"\1 2 \2 3 1 \3 3 2 \4 1 day"),))


def take_within_the_channels(*moved):
    """The balance closes, the terms of moved and the river exchange moved
    water, and in no step did the soil of the river cells of a subbasin
    take more than the subbasin's channels held at the end of the step
    before: from empty channels at the start, the sum of the changes of
    their storage up to then."""
    def check(work):
        closes("river_infiltration", "river_seepage", *moved)(work)
        terms = ex.balance_rows(work + "/output")
        ex.check(any(v != 0.0 for row in terms["withdrawal"] for v in row) ==
                 any(v != 0.0 for row in terms["irrigation"] for v in row),
                 "withdrawal and irrigation do not move together")
        held = [0.0] * len(terms["channel_storage"][0])
        for step, (taken, change) in enumerate(zip(terms["river_seepage"],
                                                   terms["channel_storage"])):
            # The files print 12 decimals.
            for zone, (take, water) in enumerate(zip(taken, held)):
                ex.check(take <= water + 1e-9 * abs(water) + 1e-12 * (step + 2),
                         "in step %d the soil took %.9g mm from the channels of column %d, "
                         "which held %.9g mm" % (step + 1, take, zone + 1, water))
            held = [water + c for water, c in zip(held, change)]
    return check


def units_over_rivers(interaction, units):
    """River exchange of the soil with the river of its subbasin beside the
    spin-up response units of units."""
    return lambda text: river_exchange(interaction)(units(text))


def glacier_over_rivers(interaction, *off):
    """Glacier method 13 over part of the cells of subbasin 3, whose soil
    exchanges water with its river, beside the reservoirs (the lakes keep
    their cells from the rivers), without the modules of off."""
    def edit(text):
        text = partly_glacierized(13)(text)
        return river_exchange(interaction, "lake_model", *off)(text)
    return edit


def lake_tables(work):
    """{table name: rows of {column: value}} of the lakes' output tables."""
    tables = {}
    for name in ("reservoir_1.txt", "lake_2.txt"):
        with open(os.path.join(work, "output", name)) as f:
            lines = f.read().splitlines()
        columns = lines[0].split("\t")
        tables[name] = [dict(zip(columns, map(float, line.split("\t")))) for line in lines[3:]]
    return tables


def lakes_book_the_aquifer(work):
    """Every step closes, an aquifer gains water under a lake, and each
    lake's table books what its cells received: in every step the change of
    its volume is its terms' sum, to a millionth of the water that passed
    (the table prints six digits)."""
    closes("lake_storage", "outflow", tolerance=CHANNEL_TOLERANCE)(work)
    tables = lake_tables(work)
    ex.check(any(r["QGW[m3]"] > 1.0 for rows in tables.values() for r in rows),
             "the aquifer fed no lake")
    for name, rows in tables.items():
        for step, r in enumerate(rows):
            passed = sum(abs(r[t]) for t in ("Qin[m3]", "Qout[m3]", "QGW[m3]", "ETR[m3]",
                                             "PREC[m3]", "Irrig[m3]", "Abstr[m3]"))
            ex.check(abs(r["Err[m3]"]) <= 1e-6 * passed + 1e-6,
                     "%s, step %d: Err %g m3 with QGW %g m3 of %g m3 passed" %
                     (name, step + 1, r["Err[m3]"], r["QGW[m3]"], passed))


def lakes_owe_the_aquifer_nothing(work):
    """Every step closes, and what the aquifer gains under a lake's full
    column reaches the lake: no lake cell ends owing the aquifer more than
    1 mm either way."""
    closes("lake_storage", "outflow", tolerance=CHANNEL_TOLERANCE)(work)
    import struct
    with open(os.path.join(work, "output", "GroundwaterOwed_End"), "rb") as f:
        data = f.read()
    values = struct.unpack("<%dd" % (len(data) // 8), data)
    cols = int(values[0])
    with open(os.path.join(work, "input", "lake_codes.asc")) as f:
        lakes = [[float(v) for v in line.split()] for line in f.read().splitlines()[6:]]
    owed = [(values[12 + r * cols + c], r + 1, c + 1) for r, row in enumerate(lakes)
            for c, code in enumerate(row) if code > 0]
    worst = max(owed, key=lambda o: abs(o[0]))
    ex.check(abs(worst[0]) <= 1.0, "the lake cell at row %d, column %d owes the aquifer %g mm" %
             (worst[1], worst[2], worst[0]))


def without_soil(text):
    """The example without the unsaturated zone, and so without the modules
    that need it (silting-up stays)."""
    return ex.switched_off(text, "unsatzon_model", "SurfaceRoutingModel")


# Dynamic glaciers over whole cells at the top of subbasin 3 beside the
# example's static one of ice_firn, with groundwater under the soil; their
# year does not close within the run.
def whole_glacier(r, c, zone):
    return 1 if zone == 3 and r <= 5 else 0


def whole_glacier_input(folder):
    for name in ("glacier_fraction.asc", "glacier_codes.asc"):
        pc.write_grid_like(folder, "zones.asc", name, whole_glacier)


def warm_whole_glacier_input(folder):
    whole_glacier_input(folder)
    ex.warm_cloudburst(folder)


def glacierized_cells(text):
    return pc.add_standard_grids(text, [
        "glacier_fraction.asc  GlacierizedCells  fillcode = 0 readcode = 1",
        "glacier_codes.asc  GlacierCodes  fillcode = 0 readcode = 1"])


def dynamic_beside_ice_firn(text):
    text = pc.dynamic_glacier(ex.switched_off(text, "routing_model", "lake_model", "irrigation"))
    return ex.replace_once("2 3  GMBEvalDay GMBEvalMonth",
                           "10 3  GMBEvalDay GMBEvalMonth")(text) + ex.BALANCE_SECTION


def static_beside_glacierized_cells(text):
    text = ex.switched_off(text, "routing_model", "lake_model", "irrigation", "SiltingUpModel",
                           "SurfaceRoutingModel")
    return glacierized_cells(text) + ex.BALANCE_SECTION


# Drains 1 m deep every 20 m under the whole catchment.
DRAINS = (("drainage_depth.asc", "drainage_depth", 1.0),
          ("drainage_distance.asc", "drainage_distance", 20.0))


def glacier_grids_without_snow(text):
    """Half of a glacier over cells of two subbasins, no snow model to
    model it: the soil still weighs its cells by the glacier's share."""
    return ex.switched_off(partly_glacierized(11)(text), "snow_model")


def rain_on_half_glaciers(folder):
    pc.glacier_in_two_subbasins(folder)
    ex.cloudburst(folder)


# The rain of every step on every cell, mm.
EVEN_RAIN = 2.0


def even_rain_on_glaciers(method):
    """A dynamic glacier of `method`, with its own pack, under the same rain
    on every cell: no gauge correction, no regional rule."""
    def edit(text):
        text = partly_glacierized(method)(text)
        return ex.switched_off(text, "precipitation_correction", "RegionalSuperposition")
    return edit


def even_rain_on_half_glaciers(text):
    """A dynamic glacier over half of every cell of subbasin 3's upper rows,
    with its own pack, under the same rain on every cell: no gauge
    correction, no regional rule."""
    return even_rain_on_glaciers(11)(text)


def upper_glacier(folder, share):
    """Glacier 1 over the share of every cell of subbasin 3 in rows 1 to 8."""
    def fraction(r, c, zone):
        return share if zone == 3 and r <= 8 else 0.0
    pc.write_grid_like(folder, "zones.asc", "glacier_fraction.asc", fraction)
    pc.write_grid_like(folder, "zones.asc", "glacier_codes.asc",
                       lambda r, c, z: 1 if fraction(r, c, z) > 0 else 0)


def even_rain(folder):
    upper_glacier(folder, 0.5)
    ex.scale_station_values(folder, "precipitation.txt", lambda v: EVEN_RAIN)


# Glacier 1 over the whole of every cell of subbasin 3 in rows 1 to 4 and
# over half of those in rows 5 to 8.
def whole_then_half(r, c, zone):
    return (1.0 if r <= 4 else 0.5) if zone == 3 and r <= 8 else 0.0


def even_rain_on_whole_glacier_cells(folder):
    pc.write_grid_like(folder, "zones.asc", "glacier_fraction.asc", whole_then_half)
    pc.write_grid_like(folder, "zones.asc", "glacier_codes.asc",
                       lambda r, c, z: 1 if whole_then_half(r, c, z) > 0 else 0)
    ex.scale_station_values(folder, "precipitation.txt", lambda v: EVEN_RAIN)


def even_rain_on_fields_under_whole_glacier_cells(folder):
    """Every cell a sprinkled field, those wholly under the glacier too."""
    even_rain_on_whole_glacier_cells(folder)
    pc.write_grid_like(folder, "zones.asc", "irrigation.asc", lambda r, c, zone: 1)


# The column of subbasin 3, the glacier's, in the balance files.
GLACIER_COLUMN = 2


def rain_fell_once(*moved, tolerance=1e-9):
    """In every step and column `precipitation` and `glacier_precipitation`
    together are the rain that fell, also where the glacier covers cells
    whole; over the run the glacier's subbasin gave no more runoff than
    fell, was sprinkled and melted there; and rain_counted_once."""
    def check(work):
        terms = ex.balance_rows(work + "/output")
        steps = terms["precipitation"]
        for step, (land, glacier) in enumerate(zip(steps, terms["glacier_precipitation"])):
            for zone, (p, g) in enumerate(zip(land, glacier)):
                ex.check(abs(p + g - EVEN_RAIN) <= tolerance * EVEN_RAIN,
                         "in step %d, column %d the balance's precipitation is %.12g mm where "
                         "%g mm fell" % (step + 1, zone + 1, p + g, EVEN_RAIN))

        def total(term):
            return sum(row[GLACIER_COLUMN] for row in terms.get(term, ()))
        runoff, melt = total("subbasin_runoff"), total("glacier_melt")
        given = len(steps) * EVEN_RAIN + total("irrigation") + melt
        ex.check(0.0 < runoff <= given,
                 "the glacier's subbasin gave %.9g mm of runoff of %.9g mm that fell, was "
                 "sprinkled and melted" % (runoff, given))
        rain_counted_once(*moved, tolerance=tolerance)(work)
    return check


def rain_counted_once(*moved, tolerance=1e-9):
    """In every step and column what the land and the glaciers give, keep
    and lose, all but the precipitation's terms, is the rain that fell, each
    cell's once: the glacier's part of a cell and the part beside it each
    take their own (without a glacier model the soil lets the glacier's part
    run off). The balance closes and the terms of moved moved water."""
    def check(work):
        terms = ex.balance_rows(work + "/output")
        ex.check(any(v > 0.0 for row in terms.get("glacier_precipitation", ()) for v in row),
                 "no rain fell on the glaciers")
        rain = {"precipitation", "glacier_precipitation"}
        for step in range(len(terms["precipitation"])):
            for zone in range(len(terms["precipitation"][step])):
                taken = sum((1.0 if t in ex.BALANCE_INPUTS else -1.0) * -rows[step][zone]
                            for t, rows in terms.items() if t not in rain and t != "residual")
                ex.check(abs(taken - EVEN_RAIN) <= tolerance * EVEN_RAIN,
                         "in step %d, column %d the land took %.12g mm of %g mm of rain" % (
                             step + 1, zone + 1, taken, EVEN_RAIN))
        closes(*moved, tolerance=tolerance)(work)
    return check


def without_layered_snow(text):
    return ex.switched_off(text, "LayeredSnowModel")


def without_snow(text):
    return ex.switched_off(text, "snow_model", "LayeredSnowModel")


def without_silting(text):
    return ex.switched_off(text, "SiltingUpModel")


def units_closing_glacier_years(text):
    """Response units beside the dynamic glacier, whose year closes at the
    end of the first day of each pass."""
    text = ex.replace_once("25  number of grids\n",
                           "25  number of grids: file, name, keys\n")(dynamic_glacier(text))
    return pc.response_units(text, grids=25)


def units_of_25_grids(text):
    return pc.response_units(text, grids=25)


def units_closing_low(text):
    """The close of units_closing_glacier_years turns every pack above 10 mm
    into a new glacier, the masters' with them."""
    return ex.replace_once(DYNAMIC_GLACIER, DYNAMIC_GLACIER[:-len("1000 0.25\n")] +
                           "10 0.25\n")(units_closing_glacier_years(text))


def units_by_elevation(text):
    """Spin-up over one repetition, units by 100 m classes of the elevation."""
    return ex.replace_once("[SpinUp]\n0  no spin-up\n",
                           "[SpinUp]\n1  spin-up\n0  no temperature pre-spin-up\n"
                           "1  repetition\n1  grid\n[elevation_model] 100 linear\n")(text)


def units_split_by_layers(work):
    closes("soil_water")(work)
    ex.check(any(level == "3" and "split by the layers of its soils" in text
                 for level, text in ex.diag_entries(work)),
             "no INFO says that the units are split by the soils' layers")


def drained(text):
    """Drains under every cell, their daily sums written (QDRAIN)."""
    text = pc.add_standard_grids(text, ["%s  %s  fillcode = 0 readcode = 1" % (f, n)
                                            for f, n, _ in DRAINS])
    return ex.replace_lines(text, ((r"^0(     no drainage)$", r"1\1"),
                                   (r"^qdrain\.stat 0 ", "qdrain.stat 4024 ")))


def interflow_within_the_step(text):
    """The interflow storage passes its inflow on within the step (kelsqi
    below 0.001 h counts as 0.001 h): QI is the interflow the cells gave."""
    return ex.replace_once("30 40 35  kelsqi", "0 0 0  kelsqi")(text)


def stat_sums(work, name):
    """The sums over the run of each subbasin's column of a statistics file."""
    with open(os.path.join(work, "output", name)) as f:
        rows = [[float(v) for v in line.split("\t")[4:-1]] for line in f.read().splitlines()[3:]]
    ex.check(rows, "%s holds no step" % name)
    return [sum(column) for column in zip(*rows)], len(rows)


def drains_ran(work, everywhere=False):
    """The drains carried water in some subbasin (everywhere: in each)."""
    qdrain, _ = stat_sums(work, "qdrain.stat")
    ex.check((all if everywhere else any)(v > 0.0 for v in qdrain),
             "the drains carried %s mm" % qdrain)


def negative_recession(text):
    """kelsqlat below 0 in every subbasin, on a tenth of the example's
    largest baseflow, 0.005 mm an hour."""
    text = ex.replace_once("1.5 1.5 1.5  kelsqlat", "-1 -1 -1  kelsqlat")(text)
    return ex.replace_once("0.05 0.05 0.05  QB-Red", "0.005 0.005 0.005  QB-Red")(text)


def largest_baseflow_every_step(work):
    """The balance closes and every subbasin's baseflow is the largest, 24 *
    0.005 mm a day, whatever the depth of its tables, on every cell but
    those under the static glacier (ice_firn), which have no soil."""
    closes("subbasin_runoff")(work)

    def cells(name):
        with open(os.path.join(work, "input", name)) as f:
            return [v for line in f.read().splitlines()[6:] for v in line.split()]
    soil, total = {}, {}
    for zone, ice in zip(cells("zones.asc"), cells("ice_firn.asc")):
        if zone != "-9999":
            total[zone] = total.get(zone, 0) + 1
            soil[zone] = soil.get(zone, 0) + (ice == "-9999" or float(ice) <= 0.0)
    expected = [0.12 * soil[z] / total[z] for z in sorted(total, key=int)]
    with open(os.path.join(work, "output", "qb.stat")) as f:
        days = [[float(v) for v in line.split("\t")[4:-1]] for line in f.read().splitlines()[3:]]
    ex.check(days and all(abs(v - e) <= 1e-6 for day in days for v, e in zip(day, expected)),
             "the daily baseflow QB is %s mm, not %s mm" % (days, expected))


def closes_and_drains_ran(*moved):
    def check(work):
        closes(*moved)(work)
        drains_ran(work)
    return check


def drains_feed_the_interflow(*moved, tolerance=1e-9):
    """The balance closes with no term of the drains' own: their water is
    part of the interflow, which over the run carries at least what the
    drains did in every subbasin (QDRAIN prints 6 digits a day)."""
    def check(work):
        closes(*moved, tolerance=tolerance)(work)
        ex.check("drainage" not in ex.balance_rows(work + "/output"),
                 "the drains' water still leaves the model as a term of its own")
        drains_ran(work, everywhere=True)
        (qi, days), (qdrain, _) = stat_sums(work, "qi.stat"), stat_sums(work, "qdrain.stat")
        for zone, (inter, drain) in enumerate(zip(qi, qdrain)):
            ex.check(inter >= drain * (1.0 - 1e-5) - 1e-6 * days,
                     "over the run subbasin %d's interflow QI is %.6f mm, its drains carried "
                     "QDRAIN %.6f mm" % (zone + 1, inter, drain))
    return check


def drains(folder):
    for name, _, value in DRAINS:
        pc.write_grid_like(folder, "zones.asc", name, lambda r, c, z: value)


def forests_and_meadows_trade(from_day):
    """Ten times the rain, and land use read again daily from the day
    from_day of the month on, in which the forests (multilayer types 4 and
    5, two layers) are meadows (3, one layer) and the meadows coniferous
    forest."""
    def edit(folder):
        ex.cloudburst(folder)
        pc.read_copies("landuse.asc", lambda r, c, v: {4: 3, 5: 3, 3: 5}.get(int(v), int(v)),
                       from_day)(folder)
    return edit


def canopy_water_falls(work):
    """The balance closes, and in a step the canopy lost more than 0.1 mm
    beyond what it evaporated: the water of the layers that went."""
    closes("interception_storage")(work)
    terms = ex.balance_rows(work + "/output")
    ex.check(any(-stored - evaporated > 0.1 for row, gone in zip(terms["interception_storage"],
                                                                terms["interception_evaporation"])
                 for stored, evaporated in zip(row, gone)),
             "the canopy lost no water beyond its evaporation")



def fields_under_part_of_a_glacier(text):
    """The example's fields watered from their river on both days, with a
    glacier over half of some of them, and the balance of the whole
    catchment."""
    return watered_from_the_river(partly_glacierized(11)(text)) + ex.BALANCE_SECTION


def half_glaciated_fields(folder):
    """Glacier 1 over half of every cell of subbasin 3 in rows 1 to 8, and
    every cell of the catchment a sprinkled field."""
    upper_glacier(folder, 0.5)
    pc.write_grid_like(folder, "zones.asc", "irrigation.asc", lambda r, c, zone: 1)
    ex.warm_cloudburst(folder)

def even_rain_on_fields(folder):
    """The even rain on the glacier's half cells, every cell a sprinkled
    field."""
    even_rain(folder)
    pc.write_grid_like(folder, "zones.asc", "irrigation.asc", lambda r, c, zone: 1)


def nearly_whole_glaciers(folder):
    """Glacier 1 over 0.999995 of every cell of subbasin 3 in rows 1 to 8,
    in the freeze and thaw."""
    small.freeze_thaw(folder)
    upper_glacier(folder, 0.999995)


def zone_means(values, zones, nodata=-9999.0):
    """The mean of values over the cells of each zone, in the order of the
    codes, then over the catchment (both grids as lists of cells)."""
    sums, counts = {}, {}
    for value, zone in zip(values, zones):
        if zone != nodata:
            sums[zone] = sums.get(zone, 0.0) + value
            counts[zone] = counts.get(zone, 0) + 1
    return [sums[z] / counts[z] for z in sorted(sums)] + [sum(sums.values()) /
                                                         sum(counts.values())]


def grid_cells(path):
    with open(path) as f:
        return [float(v) for line in f.read().splitlines()[6:] for v in line.split()]


def precipitation_as_taken(work):
    """The example's daily sums of the precipitation grid hold, over every
    subbasin and the catchment, the precipitation the balance books: the
    gauge correction's and the regional superposition's (5 % more in the
    north)."""
    closes("precipitation")(work)
    steps = ex.balance_rows(work + "/output")["precipitation"]
    booked = [sum(row[k] for row in steps) for k in range(len(steps[0]))]
    zones = grid_cells(os.path.join(work, "input", "zones.asc"))
    written = [0.0] * len(booked)
    for day in range(1, len(steps) // 24 + 1):
        path = os.path.join(work, "output", "precipitation_2103.%02ds" % day)
        ex.check(os.path.exists(path), "%s was not written" % path)
        written = [w + m for w, m in zip(written, zone_means(grid_cells(path), zones))]
    ex.check(all(abs(grid - balance) <= 1e-4 for grid, balance in zip(written, booked)),
             "the precipitation grids sum to %s mm by column, the balance books %s mm" %
             (" ".join("%.6f" % v for v in written), " ".join("%.6f" % v for v in booked)))


# The step at 09:00 of the first day, in which no station of a variable has
# a value in the kept_ rows: the grid takes the values of 08:00 again, which
# the gauge correction, the superposition, data assimilation and irrigation
# then change as in every step.
GAP_HOUR = 9


def station_values(name, value_of, gap=True):
    """The station file `name` with value_of(hour, station, value) at each
    station, none at all at GAP_HOUR of the first day (gap), or there the
    values of the hour before (those the step without values is to take)."""
    def edit(folder):
        path = os.path.join(folder, name)
        with open(path) as f:
            lines = f.read().splitlines(True)
        header = next(i for i, line in enumerate(lines) if line.startswith("YY")) + 1
        out, before = lines[:header], None
        for line in lines[header:]:
            p = line.split()
            values = ["%.3f" % value_of(int(p[3]), s, float(v)) for s, v in enumerate(p[4:])]
            if (int(p[2]), int(p[3])) == (1, GAP_HOUR):
                values = ["-9999"] * len(values) if gap else before
            before = values
            out.append(" ".join(p[:4] + values) + "\n")
        with open(path, "w") as f:
            f.writelines(out)
    return edit


def rising_rain(hour, station, value):
    """The same rain at every station, 0.1 mm more every hour."""
    return 0.2 + 0.1 * hour


def uneven_rain(hour, station, value):
    """More rain at each station of the file than at the one before."""
    return 0.3 + 0.2 * station + 0.05 * hour


def heavy_uneven_rain(hour, station, value):
    return 10.0 * uneven_rain(hour, station, value)


def bare_ground_uncorrected(text):
    """Neither snow nor interception, so that silting-up takes its runoff
    from the precipitation grid itself, and no correction of the rain."""
    return with_balance(rain_on_bare_ground)(
        ex.switched_off(text, "precipitation_correction", "RegionalSuperposition"))


def even_factors(text):
    """The fields watered from groundwater every step, the gauge correction
    1.1 and the superposition 1.05 on every cell."""
    return ex.replace_lines(groundwater_fields(text), (
        (r"^0\.02 0\.01 rain correction a and b$", "0.10 0 rain correction"),
        (r"^0\.30 0\.05 snow correction a and b$", "0.10 0 snow correction"),
        (r"^precipitation mul 1 12 1:1\.05 2:1\.0 .*$", "precipitation mul 1 12 1:1.05 2:1.05")))


def rain_taken_once(work):
    """In every step each subbasin took the stations' rain times 1.1 times
    1.05 (at GAP_HOUR that of the hour before) and its fields 12 mm a day
    once; the daily precipitation grid holds the same rain."""
    closes("precipitation", "irrigation", tolerance=CHANNEL_TOLERANCE)(work)
    terms = ex.balance_rows(work + "/output")
    zones = grid_cells(os.path.join(work, "input", "zones.asc"))
    fields = grid_cells(os.path.join(work, "input", "irrigation.asc"))
    watered = [0.5 * share for share in zone_means([float(f == 1.0) for f in fields], zones)]
    rain = [rising_rain(h - 1 if h == GAP_HOUR else h, 0, 0.0) * 1.1 * 1.05 for h in range(24)]
    for step, hour_rain in enumerate(rain):
        for zone, (fell, given) in enumerate(zip(terms["precipitation"][step],
                                                 terms["irrigation"][step])):
            ex.check(abs(fell - hour_rain) <= 1e-9 * hour_rain and
                     abs(given - watered[zone]) <= 1e-9,
                     "%02d:00, column %d: %.9f mm of rain and %.9f mm on the fields, where the "
                     "stations give %.9f mm and the fields take %.9f mm" %
                     (step, zone + 1, fell, given, hour_rain, watered[zone]))
    written = zone_means(grid_cells(os.path.join(work, "output", "precipitation_2103.01s")), zones)
    ex.check(all(abs(w - sum(rain)) <= 1e-4 for w in written),
             "the precipitation grid of 1 March sums to %s mm by column, the stations to %.6f mm"
             % (" ".join("%.6f" % w for w in written), sum(rain)))


def assimilated_temperature(text):
    """The fields watered every step, and the temperature drawn half way to
    the observations."""
    return groundwater_fields(text) + """
[data_assimilation]
1  on
60  time interval in minutes
1  number of rules
{kind = grid; target = temperature; file = tobs; weight = 0.5;}
"""


def observed_temperature(gap):
    """Observed temperatures of 5 degrees C on every cell, every hour of the
    first day, and the temperature stations' values of the gap."""
    def edit(folder):
        for hour in range(24):
            pc.write_grid_like(folder, "zones.asc", "tobs_20210301%02d" % hour,
                               lambda r, c, zone: 5.0)
        station_values("temperature.txt", lambda hour, station, value: value, gap)(folder)
    return edit


# Haude's 14:00 weather in dry air, and the vapour pressure of snow method
# 4 below that of ice at 0 degrees C: just above it the rain-on-snow
# formula gives less than no melt.
DRY_AIR_GRIDS = (("temperature_14.asc", "temperature_14", 15.0),
                 ("air_humidity_14.asc", "air_humidity_14", 0.3),
                 ("vapor_pressure.asc", "vapor_pressure", 6.0))


def sprinkled_snow_in_dry_air(text):
    """Haude's evapotranspiration (one land-use layer), which sublimates
    shallow packs day and night, snow method 4 on the layered pack, every
    cell watered from its river with 12 mm a day (rain on the snow every
    step), without the aquifer and the canopy."""
    text = ex.switched_off(text, "groundwater_flow", "interception_model")
    text = ex.replace_lines(text, (
        (r"^1(   method: 1 Penman-Monteith.*)$", r"4\1"),
        (r"^\[multilayer_landuse\]\n(?:.+\n)*\n", ""),
        (r"^5(     method: energy balance)$", r"4\1"),
        (r"^1 sprinkled_fields .*$", "1 sprinkled_fields 1 2 0 0 3  3 1 12  3 2 12  3 3 12")))
    return pc.add_standard_grids(text, ["%s  %s  fillcode = 0 readcode = 1" % (f, n)
                                        for f, n, _ in DRY_AIR_GRIDS]) + ex.BALANCE_SECTION


def sprinkled_everywhere_in_dry_air(folder):
    pc.write_grid_like(folder, "zones.asc", "irrigation.asc", lambda r, c, zone: 1)
    for name, _, value in DRY_AIR_GRIDS:
        pc.write_grid_like(folder, "zones.asc", name, lambda r, c, zone: value)


# A glacier over coniferous forest of the 29 x 11 copy's subbasin 3 (row,
# column: share), whole at the top and all but whole below, where its
# growth at the first close covers the cells whole.
FOREST_GLACIER = {(7, 4): 1.0, (8, 4): 1.0, (9, 4): 0.97, (6, 4): 0.98}


def canopy_snow_under_a_growing_glacier(text):
    """Glacier method 12, its year closing at the end of the first day, under
    the canopy's snow, without the soil; the extent written at the end."""
    text = ex.replace_once("2 3  GMBEvalDay", "1 3  GMBEvalDay")(partly_glacierized(12)(text))
    text = ex.replace_once("glacier_fraction.asc  GlacierizedCells  fillcode = 0 readcode = 1",
                           "glacier_fraction.asc  GlacierizedCells  fillcode = 0 readcode = 1 "
                           "writecode = 3")(text)
    return canopy_snow(21)(ex.switched_off(text, "unsatzon_model"))


def snow_on_forest_then_rain(folder):
    """The glacier of FOREST_GLACIER, and 3 mm of precipitation every hour:
    snow on the canopy on a day 10 K colder, rain on the next, 10 K warmer."""
    with open(os.path.join(folder, "landuse.asc")) as f:
        landuse = [line.split() for line in f.read().splitlines()[6:]]
    ex.check(all(landuse[r - 1][c - 1] in ("4", "5") for r, c in FOREST_GLACIER),
             "the glacier's cells are no forest")
    for name, value_of in (("glacier_fraction.asc", lambda r, c: FOREST_GLACIER.get((r, c), 0.0)),
                           ("glacier_codes.asc", lambda r, c: int((r, c) in FOREST_GLACIER))):
        pc.write_grid_like(folder, "zones.asc", name, lambda r, c, zone: value_of(r, c))
    ex.rewrite_station_values(folder, "precipitation.txt", lambda d, h, v: 3.0)
    ex.rewrite_station_values(folder, "temperature.txt",
                              lambda d, h, v: v - 10.0 if d == 1 else v + 10.0)


def glacier_grown_over_the_canopy(work):
    """The close covered a cell whole that was all but whole, and every step
    closes, the step after the close too."""
    with open(os.path.join(work, "output", "glacier_fraction.asc")) as f:
        shares = [[float(v) for v in line.split()] for line in f.read().splitlines()[6:]]
    ex.check(any(shares[r - 1][c - 1] >= 0.99999 for (r, c), share in FOREST_GLACIER.items()
                 if share < 0.99999),
             "the close left the glacier's cells at %s" %
             [shares[r - 1][c - 1] for r, c in FOREST_GLACIER])
    closes("canopy_snow_storage", "glacier_extent")(work)


CASES = {
    # The wind's deposition adds snow to the upper half and takes it from the
    # lower: the subbasins gain and lose, the catchment too where the mean
    # is not 0.
    "deposition_halves": Case(with_balance(ri.with_deposition),
                              deposition(lambda r: 0.3 if r <= 10 else -0.3), processes=(1, 3),
                              check_outputs=closes("snow_deposition")),
    "deposition_mean_not_zero": Case(with_balance(ri.with_deposition), deposition(lambda r: 0.2),
                                     processes=(1, 2), check_outputs=closes("snow_deposition")),
    # Slides take layers of the layered snow away after the soil's step: the
    # water those held reaches the soil in the next.
    "slides_layered_snow": Case(with_balance(slides(6)), slide_fractions, processes=(1, 3),
                                check_outputs=closes("snow_layer_liquid")),
    # Small slides leave the layers with more ice than the pack, whose melt
    # the pack could not lose: the layers lose what the pack lost.
    "slides_layered_snow_small": Case(with_balance(slides(7, 30, 0.01)), freeze_thaw_slides,
                                      processes=(1, 3), check_outputs=closes("snow_layer_liquid")),
    "slides_layered_snow_small_degree_days": Case(with_balance(slides(8, 30, 0.01)),
                                                  freeze_thaw_slides, processes=(1, 3),
                                                  check_outputs=closes("snow_layer_liquid")),
    # The canopy holds snow and sublimates it: both leave the land's water.
    "canopy_snow_21": Case(with_balance(canopy_snow(21)), cold_cloudburst, processes=(1, 3),
                           check_outputs=closes("canopy_snow_storage", "canopy_sublimation")),
    "canopy_snow_32": Case(with_balance(canopy_snow(32)), cold_cloudburst, processes=(1, 2),
                           check_outputs=closes("canopy_snow_storage", "canopy_sublimation")),
    # Without the snow model the snow the canopy lets fall reaches the ground
    # as water, and without the soil it leaves the land with the rest.
    "canopy_snow_without_snow": Case(with_balance(canopy_snow(22), no_snow), cold_cloudburst,
                                     processes=(1, 3), check_outputs=closes("canopy_snow_storage")),
    "canopy_snow_without_snow_or_soil": Case(with_balance(canopy_snow(21), no_snow, without_soil),
                                             cold_cloudburst, processes=(1, 3),
                                             check_outputs=closes("canopy_snow_storage",
                                                                  "water_to_ground")),
    # Without the snow model no glacier takes the rain on its cells.
    "glacier_without_snow": Case(with_balance(lambda t: ex.switched_off(t, "snow_model")),
                                 ex.cloudburst, processes=(1, 3),
                                 check_outputs=closes("precipitation")),
    # Overland flow by heads crosses the borders of the subbasins.
    "surface_heads": Case(with_balance(surface_method(6)), ex.cloudburst,
                          processes=(1, 3), check_outputs=closes("surface_exchange")),
    "surface_heads_apart": Case(with_balance(surface_method(6, 3)), ex.cloudburst,
                                processes=(1, 2), check_outputs=closes("surface_storage")),
    # The annual balance of a dynamic glacier empties the pack beside it,
    # which stands for no area on the glacier's whole cells: the balance
    # closes across the close, and the rain after it falls on the glacier's
    # own pack.
    "dynamic_glacier": Case(with_balance(dynamic_glacier), glacier_grids,
                            processes=(1, 3), check_outputs=closes("glacier_precipitation")),
    # Glaciers over part of a cell: the canopy grows beside them, their own
    # pack is theirs, and the annual close moves snow onto them and changes
    # their extent; in the cold a lasting pack becomes a new glacier.
    "glacier_part_of_cells": Case(with_balance(partly_glacierized(11)), glacier_fractions(),
                                  processes=(1, 3),
                                  check_outputs=closes("glacier_snow_storage", "glacier_extent",
                                                       "glacier_runoff_extent")),
    "glacier_new_in_the_cold": Case(with_balance(partly_glacierized(12)),
                                    glacier_fractions(cold_cloudburst), processes=(1, 2),
                                    check_outputs=closes("snow_reset_on_glacier",
                                                         "glacier_snow_to_firn")),
    # The close takes the pack off the glacier's whole cells, its layers
    # with it, then shrinks the glacier: the soil of the sliver it frees
    # melts no layers whose ice the pack no longer holds.
    "glacier_close_layered_snow": Case(with_balance(partly_glacierized(11)),
                                       glacier_fractions(small.freeze_thaw), days=3,
                                       processes=(1, 3),
                                       check_outputs=closes("glacier_extent",
                                                            "snow_layer_liquid")),
    # Slides weigh the packs beside and on a glacier by their parts: what
    # they move stays in its subbasin.
    "glacier_snow_method_slides": Case(with_balance(partly_glacierized(13, slides(7))),
                                       glacier_fractions(ex.cloudburst, slide_grids,
                                                         deposition_grid(lambda r: 0.2)),
                                       processes=(1, 3),
                                       check_outputs=closes("snow_deposition",
                                                            "glacier_precipitation")),
    # The runoff of a glacier that a close makes where a subbasin had none
    # joins the subbasin's.
    "glacier_close_new_subbasins": Case(with_balance(glaciers_closing_low), glaciers_everywhere,
                                        processes=(1, 3), check_outputs=new_glaciers_run_off),
    # A lake's volume lies on its cells, in the example metres above its top.
    # Without the lake model the reservoirs hold their own water.
    "lakes": Case(with_channels(), processes=(1, 2),
                  check_outputs=closes("lake_storage", "outflow", tolerance=CHANNEL_TOLERANCE)),
    # The aquifer under the reservoir's cells gains water, which the
    # reservoir gets, without the land's overland flow, whose water the
    # tables do not book.
    "lakes_fed_by_the_aquifer": Case(
        with_channels("SurfaceRoutingModel", "SiltingUpModel", "interception_model"), processes=(1, 3),
        check_outputs=lakes_book_the_aquifer),
    # The example's reservoir, whose cells' tables stand below their surface
    # while the aquifer fills them from below.
    "example_lakes_fed_by_the_aquifer": Case(
        with_channels(), days=12, own_data=True, processes=(1, 2), shape=(60, 80),
        check_outputs=lakes_owe_the_aquifer_nothing),
    # Lake method 2 sinks lakes whose cells lie at several depths from the
    # surfaces the elevation model holds, on the copy of 13 x 41 cells and
    # the example's 60 x 80.
    "lakes_sunk_from_their_surfaces": Case(
        lambda text: ex.lakes_sunk(with_channels()(text)), pc.lake_surfaces_in_elevation_model,
        processes=(1, 3), shape=(13, 41),
        check_outputs=closes("lake_storage", "outflow", tolerance=CHANNEL_TOLERANCE)),
    "example_lakes_sunk_from_their_surfaces": Case(
        lambda text: ex.lakes_sunk(with_channels()(text)), pc.lake_surfaces_in_elevation_model,
        days=1, processes=(1, 2), shape=(60, 80),
        check_outputs=closes("lake_storage", "outflow", tolerance=CHANNEL_TOLERANCE)),
    "reservoirs_flood": Case(with_channels("lake_model"), ex.cloudburst, processes=(1, 2),
                             check_outputs=closes("reservoir_storage", "channel_storage",
                                                  tolerance=CHANNEL_TOLERANCE)),
    # A dry day, then a flood: the channels' delays grow with the flow and
    # shrink after it, and their queues keep the water they hold.
    "queues_across_changing_delays": Case(slow_channels, dry_then_flood, days=3,
                                          processes=(1, 3), check_outputs=delays_changed),
    # The soil of the river cells takes river water in where the table lies
    # below the riverbed, and gives its saturated zone's water to the river
    # above it, each process for its own cells (1) or every link on one
    # process (2). The channels give what the soil took, never more than
    # they held.
    "river_exchange_1": Case(river_exchange(1), pc.river_link_input, processes=(1, 2),
                             check_outputs=take_within_the_channels()),
    # Irrigation draws on the same rivers: its withdrawals stay apart.
    "river_exchange_2": Case(lambda text: river_exchange(2)(watered_from_the_river(text)),
                             pc.river_link_input, processes=(1, 3),
                             check_outputs=take_within_the_channels()),
    "river_exchange_2_without_groundwater": Case(
        river_exchange(2, "groundwater_flow"), pc.river_link_input, processes=(1, 2),
        check_outputs=take_within_the_channels()),
    # The cells of a subbasin on three processes share its river by what
    # each would take, as on one (here to the last digit).
    "river_exchange_1_without_groundwater": Case(
        river_exchange(1, "groundwater_flow"), pc.river_link_input, processes=(1, 3),
        check_outputs=take_within_the_channels()),
    # Link order gives each cell the share that solving every process's own
    # cells gives, however many cells a link holds and wherever they lie.
    "river_exchange_2_many_cells": Case(
        river_exchange(2), river_links_in_even_columns, processes=(1, 2, 3),
        check_outputs=take_within_the_channels(),
        like=small.Reference(river_exchange(1), river_links_in_even_columns, takes_like(0.05))),
    "river_exchange_2_many_cells_without_groundwater": Case(
        river_exchange(2, "groundwater_flow"), river_links_in_even_columns, processes=(1, 2, 3),
        check_outputs=take_within_the_channels(),
        like=small.Reference(river_exchange(1, "groundwater_flow"), river_links_in_even_columns,
                             takes_like(0.05))),
    # Every cell watered from its river, more than the side valley's river
    # brings once the rain has passed: what the runoff and the channels
    # cannot pay in the step, the channels owe the fields, hourly and daily.
    "fields_owed_by_the_rivers": Case(
        watered_daily_from_the_river(7), every_cell_a_field(), days=7, own_data=True,
        processes=(1, 3), check_outputs=fields_paid_by_the_rivers),
    "fields_owed_by_the_rivers_daily": Case(
        watered_daily_from_the_river(9, 1440), every_cell_a_field(ri.daily_stations), days=9,
        own_data=True, processes=(1, 2), check_outputs=fields_paid_by_the_rivers),
    # The lakes drawn dry by the fields, whose cells lose to the air and
    # the soil within the step what the fields were offered at its start.
    "fields_owed_by_a_lake": Case(
        watered_daily_from_the_river(7), every_cell_but_the_lakes_a_field(), days=7,
        own_data=True, processes=(1, 3), check_outputs=fields_paid_by_the_rivers),
    "fields_owed_by_a_lake_daily": Case(
        watered_daily_from_the_river(9, 1440),
        every_cell_but_the_lakes_a_field(ri.daily_stations), days=9, own_data=True,
        processes=(1, 2), check_outputs=fields_paid_by_the_rivers),
    # Leaky beds: the soil would take far more than a falling river brings;
    # it takes what the channels hold.
    "river_exchange_leaky_beds": Case(
        river_exchange(2, "groundwater_flow"), leaky_river_input, processes=(1, 3),
        check_outputs=take_within_the_channels()),
    # The river of a cell partly under a glacier exchanges its water with
    # the soil beside the glacier, over that part of the cell: with
    # groundwater the aquifer's first layer there too.
    "river_exchange_under_glacier_1": Case(
        glacier_over_rivers(1), glacier_fractions(pc.river_link_input), processes=(1, 2),
        check_outputs=closes("river_infiltration", "soil_to_groundwater",
                             tolerance=CHANNEL_TOLERANCE)),
    "river_exchange_under_glacier_2_without_groundwater": Case(
        glacier_over_rivers(2, "groundwater_flow"),
        glacier_fractions(pc.river_link_input, ex.warm_cloudburst), processes=(1, 3),
        check_outputs=closes("river_infiltration", "glacier_precipitation",
                             tolerance=CHANNEL_TOLERANCE)),
    # What silting-up takes from the rain it hands on to the soil.
    "silting_rain_on_bare_ground": Case(with_balance(rain_on_bare_ground), ex.cloudburst,
                                        processes=(1, 3), check_outputs=silting_ran_off),
    # Without the soil what reaches the ground leaves the land, silting-up's
    # direct runoff with it.
    "without_soil": Case(with_balance(without_soil), ex.cloudburst, processes=(1, 3),
                         check_outputs=closes("water_to_ground")),
    # One glacier grid for every module: the dynamic glaciers' beside the
    # static ones', the static ones' beside fractions a static method does
    # not use.
    "dynamic_glacier_beside_ice_firn": Case(dynamic_beside_ice_firn, whole_glacier_input,
                                            processes=(1, 3),
                                            check_outputs=closes("groundwater_storage")),
    "static_glacier_beside_glacierized_cells": Case(static_beside_glacierized_cells,
                                                    warm_whole_glacier_input, processes=(1, 2),
                                                    check_outputs=closes("water_on_glacier")),
    "glacier_grids_without_snow": Case(with_balance(glacier_grids_without_snow),
                                       rain_on_half_glaciers, processes=(1, 3),
                                       check_outputs=closes("glacier_precipitation")),
    # The same rain on every cell, half of some under a glacier: each cell's
    # rain is counted once, its glacier part's on the glacier's pack.
    "even_rain_on_glacier_part_of_cells": Case(
        with_balance(even_rain_on_half_glaciers), even_rain, days=1, processes=(1, 2),
        check_outputs=rain_counted_once("glacier_snow_storage")),
    "even_rain_on_glacier_part_without_snow": Case(
        with_balance(even_rain_on_half_glaciers, no_snow), even_rain, days=1, processes=(1, 3),
        check_outputs=rain_counted_once("subbasin_runoff")),
    # A lake keeps its water on the whole of its cells, also where a glacier
    # covers part of one (the example's lake 2 lies under the glacier's half
    # cells): there the soil stands for the whole cell.
    "glacier_part_of_lake_cells": Case(
        lambda text: partly_glacierized(11)(text) + ex.BALANCE_SECTION,
        glacier_fractions(ex.warm_cloudburst), processes=(1, 3),
        check_outputs=closes("lake_storage", "glacier_precipitation",
                             tolerance=CHANNEL_TOLERANCE)),
    # Spin-up response units, one per soil type, whose master cells lie in
    # subbasin 3: the other cells of a unit take their master's weather
    # and its first state, and the cell under the glacier keeps no soil of
    # its master's. In the cold the masters' snow, sublimation with it.
    "spin_up_units": Case(with_balance(pc.response_units, without_layered_snow), ex.cloudburst,
                          processes=(1, 3), check_outputs=closes("response_units")),
    "spin_up_units_snow": Case(with_balance(pc.response_units, without_layered_snow),
                               cold_cloudburst, processes=(1, 3),
                               check_outputs=closes("response_units", "snow_storage",
                                                    "snow_evaporation")),
    # Without the snow model, the soil or silting-up the glacier's cells
    # still compute on their own.
    "spin_up_units_without_snow": Case(with_balance(pc.response_units, without_snow),
                                       ex.cloudburst, processes=(1, 3),
                                       check_outputs=closes("response_units")),
    "spin_up_units_without_soil": Case(with_balance(pc.response_units, without_soil),
                                       ex.cloudburst, processes=(1, 3),
                                       check_outputs=closes("response_units", "water_to_ground")),
    "spin_up_units_without_snow_or_silting": Case(
        with_balance(pc.response_units, without_snow, without_silting), ex.cloudburst,
        processes=(1, 3), check_outputs=closes("response_units")),
    # With the layered snow the masters' layers melt their packs, which
    # their copies take; the glacier's cells, which have no layers, keep
    # packs of their own.
    "spin_up_units_layered_snow": Case(with_balance(pc.response_units), cold_cloudburst,
                                       processes=(1, 3),
                                       check_outputs=closes("response_units",
                                                            "snow_layer_liquid")),
    # The close empties the packs of whole glacier cells, which compute on
    # their own, turns the glacier's own pack into firn, and leaves the
    # copies' packs alike.
    "spin_up_units_glacier_close": Case(with_balance(units_closing_glacier_years,
                                                     without_layered_snow),
                                        glacier_grids, processes=(1, 3),
                                        check_outputs=closes("response_units",
                                                             "glacier_snow_to_firn")),
    # New glaciers on the masters' cells take a share of their canopy: its
    # water is weighed anew, it does not pass to the ground.
    "spin_up_units_new_glaciers": Case(with_balance(units_closing_low, without_layered_snow),
                                       glaciers_everywhere, processes=(1, 3),
                                       check_outputs=closes("response_units", "glacier_extent")),
    # The soil types' first cells lie under the glacier's whole cells: the
    # units copy their first cells beside it, and the glacier's cells
    # compute on their own.
    "spin_up_units_masters_under_glacier": Case(
        with_balance(partly_glacierized(11), units_of_25_grids), glacier_fractions(ex.cloudburst),
        processes=(1, 3), check_outputs=closes("response_units", "precipitation")),
    # The canopy takes the rain before the snow, whose layers give rain back
    # to the pack: a cell under the static glacier, which has no layers,
    # keeps a pack of its own.
    "spin_up_units_canopy_first_over_glacier": Case(
        with_balance(pc.response_units, canopy_snow(21)), processes=(1, 3),
        check_outputs=closes("response_units", "snow_layer_liquid")),
    # The second pass's close covers the cells whole again that the first
    # one's had left a sliver of soil: what drained there before ends.
    "spin_up_units_glacier_covers_cells_again": Case(
        with_balance(partly_glacierized(13), units_of_25_grids,
                     ex.replace_once("2 3  GMBEvalDay", "1 3  GMBEvalDay"), drained),
        glacier_fractions(ex.cloudburst, drains), processes=(1, 3),
        check_outputs=closes_and_drains_ran("response_units", "glacier_extent")),
    # A negative recession constant of baseflow counts as infinite: the
    # largest baseflow flows at any depth of the table.
    "negative_recession_gives_the_largest_baseflow": Case(
        with_balance(negative_recession), processes=(1, 2),
        check_outputs=largest_baseflow_every_step),
    # The drains give their water to the interflow, which the runoff
    # concentration takes to the subbasin: no water leaves through them.
    "drains_feed_the_interflow": Case(
        with_balance(drained, interflow_within_the_step), drains, days=3, processes=(1, 3),
        check_outputs=drains_feed_the_interflow("subbasin_runoff")),
    # The same beside the aquifer, the channels and the reservoirs.
    "drains_feed_the_interflow_with_groundwater": Case(
        lambda text: drained(interflow_within_the_step(text)) + ex.BALANCE_SECTION, drains,
        days=3, processes=(1, 2),
        check_outputs=drains_feed_the_interflow("subbasin_runoff", "soil_to_groundwater",
                                                tolerance=CHANNEL_TOLERANCE)),
    # Forests that land use read again turns into meadows lose their lower
    # layer, whose transpiration then ends, and whose canopy lets its water
    # fall; meadows become forests with a dry lower layer.
    "forests_become_meadows": Case(with_balance(ri.read_again("landuse")),
                                   forests_and_meadows_trade(2), processes=(1, 2),
                                   check_outputs=closes("transpiration")),
    "forests_become_meadows_after_rain": Case(with_balance(ri.read_again("landuse")),
                                              forests_and_meadows_trade(3), days=3,
                                              processes=(1, 2), check_outputs=canopy_water_falls),
    # Irrigation runs before the soil: groundwater gives from the first step.
    "groundwater_irrigation": Case(groundwater_fields,
                                   check_outputs=irrigated_from_the_first_step),
    # The sub-steps share what irrigation takes from the baseflow, as the
    # soil takes the water.
    "irrigation_from_baseflow_in_substeps": Case(
        fields_on_baseflow_in_substeps, processes=(1, 3),
        check_outputs=closes("irrigation_from_baseflow", tolerance=CHANNEL_TOLERANCE)),
    # The statistics of states take every sub-step's state.
    "soil_water_statistic_in_substeps": Case(column_water_in_substeps, subbasin_1_cells,
                                             processes=(1, 3),
                                             check_outputs=statistic_of_substep_states),
    # Irrigation by suction sees the soil's first state in the first step.
    "irrigation_by_suction": Case(fields_by_suction, processes=(1, 3),
                                  check_outputs=wet_fields_never_watered),
    # A wet soil that the ratio calls dry gets no water, rather than less.
    "irrigation_by_ratio": Case(fields_by_ratio, processes=(1, 3),
                                check_outputs=never_less_than_none),
    # Units of 100 m elevation classes hold cells of 2- and 3-layer soils:
    # they are split by the soils' layers, and every step closes.
    "spin_up_units_over_soils_of_other_layers": Case(
        with_balance(units_by_elevation, without_layered_snow), ex.cloudburst, days=1,
        processes=(1, 3),
        check_outputs=units_split_by_layers),
    # River exchange beside response units, by soil types and by elevation
    # classes: the river cells linked to a subbasin compute on their own, and
    # a master on one moves to its unit's first cell without a link, so that
    # no copy books river water its channel never gave.
    "spin_up_units_river_exchange_1": Case(
        units_over_rivers(1, pc.response_units), pc.river_link_input, processes=(1, 3),
        check_outputs=take_within_the_channels("response_units")),
    "spin_up_units_river_exchange_2": Case(
        units_over_rivers(2, pc.response_units), pc.river_link_input, processes=(1, 3),
        check_outputs=take_within_the_channels("response_units")),
    "spin_up_units_by_elevation_river_exchange_1": Case(
        units_over_rivers(1, units_by_elevation), pc.river_link_input, processes=(1, 3),
        check_outputs=take_within_the_channels("response_units")),
    "spin_up_units_by_elevation_river_exchange_2": Case(
        units_over_rivers(2, units_by_elevation), pc.river_link_input, processes=(1, 3),
        check_outputs=take_within_the_channels("response_units")),
    # Fields half under a glacier get their water over the half beside it:
    # the river gives what they take there, no more.
    "fields_under_part_of_a_glacier": Case(
        fields_under_part_of_a_glacier, half_glaciated_fields, processes=(1, 3),
        check_outputs=closes("withdrawal", "irrigation", tolerance=CHANNEL_TOLERANCE)),
    # The same rain on half glacier cells, the lake's among them: the lake
    # takes the rain of the part beside the glacier, the glacier's pack
    # that of its share.
    "even_rain_on_glacier_part_of_lake_cells": Case(
        lambda text: even_rain_on_half_glaciers(text) + ex.BALANCE_SECTION, even_rain, days=1,
        processes=(1, 3),
        check_outputs=rain_counted_once("lake_storage", "glacier_snow_storage",
                                        tolerance=CHANNEL_TOLERANCE)),
    # Slides onto and off the glacier's part of a lake's cells weigh the
    # pack beside it as the balance does.
    "glacier_snow_slides_on_lake_cells": Case(
        lambda text: partly_glacierized(13, slides(9))(text) + ex.BALANCE_SECTION,
        glacier_fractions(small.freeze_thaw, slide_grids, deposition_grid(lambda r: 0.2)),
        processes=(1, 3),
        check_outputs=closes("snow_deposition", "lake_storage", tolerance=CHANNEL_TOLERANCE)),
    # Without the lake model the lakes' cells keep no water of their own:
    # their fields too get their water over the part beside the glacier.
    "fields_under_part_of_a_glacier_without_lakes": Case(
        lambda text: fields_under_part_of_a_glacier(ex.switched_off(text, "lake_model")),
        half_glaciated_fields, processes=(1, 3),
        check_outputs=closes("withdrawal", "irrigation", tolerance=CHANNEL_TOLERANCE)),
    # The fields draw more than their subbasin's baseflow: the watered
    # cells' saturated zone owes the rest and gives it in the sub-steps after.
    "irrigation_beyond_the_baseflow": Case(
        fields_beyond_the_baseflow, processes=(1, 3), check_outputs=owed_water_paid),
    # The canopy beside a glacier on part of a cell lets its snow fall onto
    # the pack beside the glacier, each holding its water per unit of that
    # part: all of it reaches the pack.
    "canopy_snow_beside_glacier_part_of_cells": Case(
        with_balance(partly_glacierized(13), canopy_snow(22)),
        glacier_fractions(small.freeze_thaw), days=1, processes=(1, 3),
        check_outputs=closes("canopy_snow_storage", "glacier_snow_storage")),
    # The canopy takes the rain first: on the glacier's part of a cell no
    # canopy stands, and the glacier's pack takes all the rain that falls
    # there, the pack beside it what the canopy lets through.
    "even_rain_on_glacier_part_under_canopy_first": Case(
        with_balance(even_rain_on_half_glaciers, canopy_snow(22)), even_rain, days=1,
        processes=(1, 3), check_outputs=rain_counted_once("glacier_snow_storage",
                                                          "interception_storage")),
    # Fields half under a glacier: the sprinklers water the part beside it,
    # which the river pays for; the glacier's pack takes the rain alone.
    "even_rain_on_fields_under_part_of_a_glacier": Case(
        lambda text: watered_from_the_river(even_rain_on_half_glaciers(text)) + ex.BALANCE_SECTION,
        even_rain_on_fields, days=1, processes=(1, 3),
        check_outputs=rain_counted_once("irrigation", "glacier_snow_storage",
                                        tolerance=CHANNEL_TOLERANCE)),
    # Rain on cells wholly under a dynamic glacier falls on the glacier's own
    # pack alone: the pack beside the glacier stands for no area there, and
    # no field lies there to sprinkle.
    "even_rain_on_whole_glacier_cells_11": Case(
        with_balance(even_rain_on_glaciers(11)), even_rain_on_whole_glacier_cells, days=1,
        processes=(1, 3), check_outputs=rain_fell_once("glacier_snow_storage")),
    "even_rain_on_whole_glacier_cells_13": Case(
        with_balance(even_rain_on_glaciers(13)), even_rain_on_whole_glacier_cells,
        processes=(1, 2), check_outputs=rain_fell_once("glacier_snow_storage",
                                                       "glacier_snow_evaporation")),
    "even_rain_on_fields_under_whole_glacier_cells": Case(
        lambda text: watered_from_the_river(even_rain_on_glaciers(11)(text)) + ex.BALANCE_SECTION,
        even_rain_on_fields_under_whole_glacier_cells, days=1, processes=(1, 3),
        check_outputs=rain_fell_once("irrigation", "glacier_snow_storage",
                                     tolerance=CHANNEL_TOLERANCE)),
    # A glacier over all but a trace of a cell: the canopy passes the water on
    # whole there and holds no snow of its own.
    "canopy_snow_on_nearly_whole_glacier_cells": Case(
        with_balance(partly_glacierized(13), canopy_snow(22)), nearly_whole_glaciers, days=1,
        processes=(1, 2), check_outputs=closes("canopy_snow_storage", "glacier_snow_storage")),
    # The precipitation grids hold what the land took, the regional
    # superposition's share with it.
    "precipitation_grids_superposed": Case(with_balance(), days=3, processes=(1, 2),
                                           shape=(13, 41), check_outputs=precipitation_as_taken),
    # A step in which no station has a value interpolates the values of the
    # step before again; the gauge correction, the superposition and
    # irrigation change the grid anew, and so the land takes it as if those
    # values had been measured in the step.
    "kept_precipitation_corrected_and_watered_once": Case(
        even_factors, station_values("precipitation.txt", rising_rain), days=1, processes=(1, 2),
        check_outputs=rain_taken_once),
    "kept_precipitation_like_the_step_before": Case(
        groundwater_fields, station_values("precipitation.txt", uneven_rain), days=1,
        processes=(1, 2),
        like=small.Reference(groundwater_fields,
                             station_values("precipitation.txt", uneven_rain, gap=False))),
    # Silting-up takes its runoff out of the precipitation grid: the step
    # after has all the rain of the step before.
    "kept_precipitation_on_bare_ground": Case(
        bare_ground_uncorrected, station_values("precipitation.txt", heavy_uneven_rain), days=1,
        processes=(1, 2),
        like=small.Reference(bare_ground_uncorrected,
                             station_values("precipitation.txt", heavy_uneven_rain, gap=False))),
    # Data assimilation draws the temperature of the step towards the
    # observation, not what it drew in the step before.
    "kept_temperature_drawn_once": Case(
        assimilated_temperature, observed_temperature(gap=True), days=1, processes=(1, 2),
        like=small.Reference(assimilated_temperature, observed_temperature(gap=False))),
    # Sprinklers on snow in dry air: the pack refreezes no more liquid water
    # than it holds, and its layers, which keep its ice, melt no water the
    # pack did not lose.
    "sprinkled_snow_in_dry_air": Case(
        sprinkled_snow_in_dry_air, sprinkled_everywhere_in_dry_air, days=3, processes=(1, 3),
        shape=(19, 27),
        check_outputs=closes("irrigation", "snow_evaporation", "snow_layer_liquid",
                             tolerance=CHANNEL_TOLERANCE)),
    # A close that spreads the glacier over cells of a snowy canopy takes
    # the canopy's snow with the part it covers: none of it falls onto the
    # pack in the step after.
    "canopy_snow_under_a_growing_glacier": Case(
        with_balance(canopy_snow_under_a_growing_glacier), snow_on_forest_then_rain,
        processes=(1, 3), shape=(29, 11), check_outputs=glacier_grown_over_the_canopy),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
