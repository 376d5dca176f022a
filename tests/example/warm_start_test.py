#!/usr/bin/env python3
"""A warm start goes on exactly as the run through.

Each row edits a small copy of the example and runs it three times: A over
two days, B over the first day writing its state, and C over the second day
starting from every file B wrote. Every output of the second day of C must
equal that of A, byte for byte. A warm start from the files of an earlier
version, which lack what this one carries, runs and names what starts anew.
"""

import argparse
import filecmp
import os
import re
import shutil
import sys

import balance_closure_test as bc
import example_test as ex
import process_counts_test as counts
import small_catchment as small
from small_catchment import Case


def with_balance(*edits):
    def edit(text):
        for e in edits:
            text = e(text)
        return text + ex.BALANCE_SECTION
    return edit


def fields_from_river(text):
    """The example's fields watered from the river from the first day on."""
    return ex.replace_lines(text, ((r"^(1 sprinkled_fields 2) 1 (0 0 starting from) 5 10 (.*) 6 28 "
                                    r"(.*) 6 day$", r"\1 2 \2 3 1 \3 3 2 \4 1 day"),))


def fields_by_demand(method, origin, threshold):
    """The example's fields watered by demand (method 3 by the suction of the
    top soil, 4 by the ratio of real to potential evapotranspiration) from
    groundwater (origin 1) or the river (2), with the amounts and the root
    zone's moisture written at the end of the run."""
    return lambda text: ex.replace_lines(text, (
        (r"^1 sprinkled_fields 2 1 0 0 starting from .*$",
         "1 sprinkled_fields %d %d %s" % (method, origin, threshold)),
        (r"^(irrig\.asc  IRRIG\n)0(  its write code)$", r"\g<1>3\2"),
        (r"^(sb05\.asc  SB05\n)0(  its write code)$", r"\g<1>3\2")))


def every_field(folder):
    """Every cell of field crops irrigated, not only the one in the valley."""
    with open(os.path.join(folder, "landuse.asc")) as f:
        fields = [[v == "2" for v in line.split()] for line in f.read().splitlines()[6:]]
    set_cells(folder, "irrigation", fields, "1")


def stressed_growing_fields(text):
    """Field crops whose transpiration suffers from 0.1 m of suction, so
    that the ratio's threshold lies above the water content of their root
    zone, and whose roots grow a little every day from January to April."""
    return ex.replace_lines(text, (
        (r"^(2 field crops \{\n)", "\\g<1>  HReduDry = 0.1;\n"),
        (r"^(  RootDepth = 0\.1   )0\.1(   0\.6   0\.9   0\.3   0\.1;)$", r"\g<1>0.6\2")))


def canopy_snow(method):
    """Interception with the canopy's snow (above 30 with its energy balance),
    its load, age and albedo and the canopy's temperature written at the end
    of the run."""
    state = {4, 5, 6}
    lines = "".join("sc%d.asc\n%d\nsc%d.stat 0\n" % (k, 3 if k in state else 0, k) for k in range(10))
    lines += "0.5\n0.05\n1.0\n"
    lines += "".join("ceb%d.asc\n%d\nceb%d.stat 0\n" % (k, 3 if k == 2 else 0, k)
                     for k in range(4 if method > 30 else 0))
    return lambda text: ex.replace_lines(text, (
        (r"^1   method\n(throughfall\.asc)", "%d  method\n\\1" % method),
        (r"^(0   interception readgrid\n)", "\\g<1>" + lines)))


# The lines of a glacier that grows and shrinks, closing its year at the end
# of the first day, its state grids written at the end of the run and read
# back on a warm start (the word "readgrids" lets the warm start switch it
# on): its pack's solid, liquid and total, surface and pack temperatures
# (g0, g1, g2, g4, g5); a pack beyond 10 mm turns into glacier at the close.
DYNAMIC_GLACIER = ("qsnowonglac.stat 0\n0  readgrids of the glacier\n1 5000 0.01\n1 3\n"
                   "28.5 1.36 1 0\nfirnstack.asc\n3\nfirn.stat 0\nmb.asc\n3\nmbold.asc\n3\n"
                   "mb1.stat 0\nmb2.stat 0\n1.0\nsnowglac.stat 0\n" +
                   "".join("g%d.asc\n%d\n" % (k, 3 if k in (0, 1, 2, 4, 5) else 0)
                           for k in range(7)) +
                   "10 0.25\n")


def dynamic_glacier(text):
    text = bc.dynamic_glacier(text)
    ex.check(bc.DYNAMIC_GLACIER in text, "the glacier lines of the balance test have changed")
    return text.replace(bc.DYNAMIC_GLACIER, DYNAMIC_GLACIER)


def energy_balance_glacier(text):
    """The same glacier's pack warmed by the snow model's energy balance."""
    return ex.replace_once("11    Glacier-Method", "13    Glacier-Method")(dynamic_glacier(text))


def sunken_lakes_alone(text):
    """Lakes sunk into the elevation model, their cells flat and undrained,
    on drained land, without channel routing (and so without irrigation)."""
    text = ex.switched_off(text, "routing_model", "irrigation")
    text = ex.replace_lines(text, ((r"^1(\s+initialization method)", r"2\1"),))
    return bc.drained(text)


def written_at_end(*names):
    """The grids and stacks of the lines of the files `names`, which the
    example never writes, written at the end of the run."""
    def edit(text):
        for name in names:
            text = ex.replace_lines(text, ((r"^(%s  .*\n)0(\s+its write code.*)$" % re.escape(name),
                                            r"\g<1>3\2"),))
        return text
    return edit


def without(*sections):
    return lambda text: ex.switched_off(text, *sections)


# What a cell wholly under a glacier keeps, which no solver step writes:
# the root zone's moisture and depth of its last solved step, and its
# fluxes, which it hands on to the lakes.
KEPT_UNDER_GLACIER = written_at_end("sb05.asc", "root.asc")


def glacier_covering_cells(text):
    """The dynamic glacier, whose close turns every pack above 10 mm into
    glacier over the whole cell, so that it covers cells the soil solved
    until then."""
    text = dynamic_glacier(text)
    ex.check(DYNAMIC_GLACIER.endswith("10 0.25\n"), "the glacier lines have changed")
    return text.replace(DYNAMIC_GLACIER, DYNAMIC_GLACIER[:-len("10 0.25\n")] + "10 1.0\n")


def river_cells_under_glacier(folder):
    grown_glacier(folder)
    counts.river_link_input(folder)


def rain_on_snow(folder):
    """Ten times the precipitation, snow on the first day, 10 K colder, and
    rain on the days after, 10 K warmer: water stands on the land."""
    ex.cloudburst(folder)
    ex.rewrite_station_values(folder, "temperature.txt",
                              lambda d, h, v: v - 10.0 if d == 1 else v + 10.0, "%.2f")


def routed_in_quarter_hours(method):
    """Surface routing by `method`, in inner steps of up to 15 minutes."""
    longest = ex.replace_once("100  longest inner step (s)", "900  longest inner step (s)")
    return lambda text: longest(bc.surface_method(method)(text))


def set_cells(folder, name, where, value):
    """The cells of the grid `name` where `where` (rows of flags) is set
    hold `value`."""
    path = os.path.join(folder, name + ".asc")
    with open(path) as f:
        lines = f.read().splitlines()
    lines[6:] = [" ".join(value if on else v for v, on in zip(line.split(), row))
                 for line, row in zip(lines[6:], where)]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def grown_glacier(folder):
    """A glacier over the nine cells above 1600 m in the north-west of
    subbasin 3, 50 mm of snow on every cell of the subbasin, which the close
    turns into glacier, and snow on the first morning, which lets the
    glacier's volume grow."""
    bc.glacier_grids(folder)
    with open(os.path.join(folder, "zones.asc")) as f:
        subbasin = [[v == "3" for v in line.split()] for line in f.read().splitlines()[6:]]
    with open(os.path.join(folder, "dem.asc")) as f:
        dem = [[float(v) for v in line.split()] for line in f.read().splitlines()[6:]]
    ice = [[inside and c < 6 and h > 1600 for c, (inside, h) in enumerate(zip(row, heights))]
           for row, heights in zip(subbasin, dem)]
    for name, where, value in (("glacier", ice, "1"), ("glacier_codes", ice, "1"),
                               ("snowstorage", subbasin, "50"), ("swe", subbasin, "50")):
        set_cells(folder, name, where, value)
    path = os.path.join(folder, "precipitation.txt")
    with open(path) as f:
        rows = [line.split() for line in f.read().splitlines()]
    with open(path, "w") as f:
        for p in rows:
            if p[:3] == ["2021", "03", "01"] and int(p[3]) < 12:
                p = p[:4] + ["1.0"] * len(p[4:])
            f.write(" ".join(p) + "\n")


def rain_on_glacier_snow(folder):
    """Snow on the glaciers' pack in the freeze-thaw of the first day, rain
    on it 10 K warmer on the second."""
    bc.glacier_fractions(small.freeze_thaw)(folder)
    ex.scale_station_values(folder, "temperature.txt", lambda v: v + 10.0, from_day=2)


def noon_downpour_on_reread_ponding(folder):
    """Warm rain of 5 mm an hour from 13:00 to 16:00 of 1 March, which
    ponds on the re-read values before the restore at 14:00 and on the
    set-up values after it (none before the split)."""
    counts.doubled_ponding_copies(folder)
    ex.scale_station_values(folder, "temperature.txt", lambda v: v + 10.0)
    rain_on_first_day(folder, 13, 16, "5.0")


def rain_on_first_day(folder, first_hour, last_hour, amount):
    """`amount` mm an hour at every station from first_hour to last_hour of
    1 March."""
    path = os.path.join(folder, "precipitation.txt")
    with open(path) as f:
        rows = [line.split() for line in f.read().splitlines()]
    with open(path, "w") as f:
        for p in rows:
            if p[:3] == ["2021", "03", "01"] and first_hour <= int(p[3]) <= last_hour:
                p = p[:4] + [amount] * len(p[4:])
            f.write(" ".join(p) + "\n")


def day_and_month_statistics(text):
    """The temperature's mean over each day and the air humidity's over each
    month beside the precipitation's sum over each day."""
    return ex.replace_lines(text, ((r"^(temperature\.asc) 355( .*)$", r"\1 385\2"),
                                   (r"^(air_humidity\.asc) 53( .*)$", r"\1 73\2")))


def morning_rain(folder):
    """1 mm an hour from 6:00 to 9:00 of 1 March, before a split at noon."""
    rain_on_first_day(folder, 6, 9, "1.0")


def sliding_snow_with_tracer(folder):
    """Snow that melts and freezes again and slides, and the tracer falling
    with it at 5 times the soil's and the pack's first concentration."""
    small.freeze_thaw(folder)
    bc.slide_grids(folder)
    counts.tracer_input(folder)


def same_as_run_through(*names):
    """Outputs the comparison of a warm start leaves out as the run's own
    (their names end as those of the statistics over the run) that must
    equal the run through's all the same."""
    def check(second):
        through = os.path.join(os.path.dirname(second), "through")
        for name in names:
            ours, theirs = (os.path.join(w, "output", name) for w in (second, through))
            if not os.path.exists(ours) or not filecmp.cmp(ours, theirs, shallow=False):
                raise ex.Failure("%s differs from the run through's" % name)
    return check


def lakes_from_v0_also_warm(text):
    """[lake_model] readgrids 0 in the warm start too: its label is not one
    the warm start switches."""
    return ex.replace_once("0      readgrids: the lakes start from V0",
                           "0      the lakes start from V0 (readgrids), also warm")(text)


def started_owing_the_fields(second):
    """The warm start began with the channels owing the fields water, and
    its balance closes."""
    owed = []
    for name in os.listdir(os.path.join(second, "input")):
        if name.startswith("unsatzon_state_"):
            with open(os.path.join(second, "input", name)) as f:
                lines = f.read().splitlines()
            owed += [float(v) for k, line in enumerate(lines)
                     if "the channels owe the fields" in line
                     for v in lines[k + 1].split("(")[0].split()]
    if not any(v > 0.0 for v in owed):
        raise ex.Failure("the warm start began with the channels owing nothing: %s" % owed)
    bc.closes("irrigation_owed_by_channels", tolerance=bc.CHANNEL_TOLERANCE)(second)


def daily_lines_of_split_day(*names):
    """The warm start wrote the daily line of the day it began at noon
    (2 March 23:00) into each of the statistics named, so that the
    comparison with the run through holds that line."""
    def check(second):
        for name in names:
            with open(os.path.join(second, "output", name)) as f:
                rows = [line.split() for line in f.read().splitlines()[3:]]
            dates = [(int(r[2]), int(r[3])) for r in rows]
            if (2, 23) not in dates:
                raise ex.Failure("%s of the warm start has no line at 2 March 23:00, but %s" %
                                 (name, dates))
    return check


def routed_daily_alone(text):
    """The routed discharge as daily means, every other statistic by the
    step: channel routing makes its statistics on rank 0 alone."""
    text = re.sub(r"(\.stat) ([1-6])024\b", r"\1 \g<2>001", text)
    text = re.sub(r"statcode = ([1-6])024\b", r"statcode = \g<1>001", text)
    return ex.replace_once("routed.stat 2001", "routed.stat 2024")(text)


def owed_state_of_one_day(text):
    return small.state_written(bc.fields_beyond_the_baseflow(text))


def velocity_state_of_one_day(text):
    return small.state_written(routed_in_quarter_hours(1)(text))


def states_without(name):
    """The first run's files as the states of a warm start, but name, which
    a run of an earlier version did not write."""
    def edit_work(work):
        for f in os.listdir(os.path.join(work, "output")):
            if f != name:
                shutil.copy(os.path.join(work, "output", f), os.path.join(work, "input", f))
    return edit_work


CASES = {
    # Irrigation from the river draws on what routing offered in the step
    # before.
    "river_irrigation": Case(with_balance(fields_from_river), continues=True, processes=(1, 3)),
    # Irrigation by demand starts by the root zone's moisture that the soil's
    # last step left, and goes on with the amount of the step before.
    "suction_from_groundwater": Case(with_balance(fields_by_demand(3, 1, "0.5 0.1")),
                                     every_field, continues=True, processes=(1, 3)),
    "suction_from_river": Case(with_balance(fields_by_demand(3, 2, "0.5 0.1")), every_field,
                               continues=True, processes=(1, 3)),
    # Without a grid of it the ratio is 1, so that a threshold above 1 keeps
    # the fields dry and an amount, once started, goes on: the roots have
    # grown since.
    "ratio_from_groundwater": Case(with_balance(fields_by_demand(4, 1, "1.01"),
                                                stressed_growing_fields), every_field,
                                   continues=True, processes=(1, 3)),
    "ratio_from_river": Case(with_balance(fields_by_demand(4, 2, "1.01"), stressed_growing_fields),
                             every_field, continues=True, processes=(1, 3)),
    # The canopy's snow melts and sublimates by the mean temperature of the
    # day before.
    "canopy_snow": Case(with_balance(canopy_snow(32)), bc.cold_cloudburst, continues=True,
                        processes=(1, 3)),
    # Interception ahead of the snow takes the tracers of its water from the
    # snow's outflow of the step before, which the river's water for the
    # fields changes.
    "canopy_ahead_of_snow_tracer": Case(with_balance(canopy_snow(21), fields_from_river,
                                                     counts.lakes_with_tracer),
                                        counts.tracer_input, continues=True, processes=(1, 3)),
    # A warm start flattens and undrains every lake cell as the run through
    # did, also those that hold little water at its start.
    "sunken_lakes_alone": Case(with_balance(sunken_lakes_alone), bc.drains, continues=True,
                               processes=(1, 3)),
    # The annual close at the end of the first day changes the glaciers'
    # extent and volumes.
    "glacier_close": Case(with_balance(dynamic_glacier), grown_glacier, continues=True,
                          processes=(1, 3)),
    # Glacier method 13 warms the glaciers' pack by the snow model's energy
    # balance, from the temperatures of its pack and surface of the step
    # before.
    "glacier_snow_temperatures": Case(with_balance(bc.partly_glacierized(13)),
                                      rain_on_glacier_snow, continues=True, processes=(1, 3)),
    # The aquifer's storage and the residual of the balance, to the last bit.
    "aquifer_storage": Case(with_balance(), bc.cold_cloudburst, continues=True, processes=(1,)),
    # What the channels hold at the end of the first day, which the soil of
    # the river cells may take on the second.
    "river_water_held": Case(with_balance(bc.river_interaction(2, "groundwater_flow")),
                             bc.leaky_river_input, continues=True, processes=(1, 3),
                             check_outputs=bc.closes("river_infiltration", "river_seepage")),
    # A split at noon of the phenology's search-start day (1 March): the
    # temperature sum begun in the morning goes on.
    "phenology_search_start_at_noon": Case(with_balance(), days=1, continues=True,
                                           processes=(1, 3), split_hour=12),
    # A split at noon while the ponding grid holds what it re-read at 11:00:
    # the warm start reads that file again and its set-up values come back at
    # 14:00, as in the run through.
    "ponding_reread_at_noon": Case(with_balance(counts.ponding_reread_unwritten),
                                   noon_downpour_on_reread_ponding, days=1, continues=True,
                                   processes=(1, 3), split_hour=12),
    # A split at noon: the day's sum of the morning's rain, the day's mean
    # temperature and the month's mean humidity begun before it go on.
    "period_statistics_at_noon": Case(with_balance(day_and_month_statistics), morning_rain,
                                      days=1, continues=True, processes=(1, 3), split_hour=12,
                                      check_outputs=same_as_run_through(
                                          "air_humidity_202103.mit")),
    # A split at noon of the second of three days: every statistic of daily
    # lines (sums 4024 and means 2024 of the soil, the snow, evaporation,
    # the balance and a standard grid) goes on with the twelve steps of the
    # morning and writes its lines at 23:00, as in the run through.
    "daily_statistics_at_noon": Case(with_balance(), days=3, continues=True, processes=(1, 2),
                                     split_day=2, split_hour=12,
                                     check_outputs=daily_lines_of_split_day(
                                         "qd.stat", "etp.stat", "max_ponding_storage.stat")),
    # The same with the routed discharge's daily means alone, which only
    # rank 0 holds.
    "routed_daily_means_at_noon": Case(routed_daily_alone, continues=True, processes=(1, 2),
                                       split_hour=12,
                                       check_outputs=daily_lines_of_split_day("routed.stat")),
    # Slides change the layered snow after the soil's step: its pack's
    # tracer takes up what they moved at the step's end, as a warm start
    # from the pack it wrote.
    "slides_with_pack_tracer": Case(with_balance(bc.slides(6), counts.salt_tracer),
                                    sliding_snow_with_tracer, continues=True, processes=(1, 2)),
    # At midnight the watered cells' saturated zone owes irrigation water
    # their subbasin's baseflow could not pay; it pays it on the second day.
    "irrigation_owed_over_midnight": Case(
        bc.fields_beyond_the_baseflow, continues=True, processes=(1, 3),
        check_outputs=bc.closes("irrigation_from_baseflow", tolerance=bc.CHANNEL_TOLERANCE)),
    # The cells of a lake code that no SP names keep their water through a
    # warm start whose lakes start from V0.
    "lake_code_without_sp_at_noon": Case(
        with_balance(counts.lake_without_sp, lakes_from_v0_also_warm), continues=True,
        processes=(1, 2), shape=(31, 31), split_hour=12),
    # Every cell watered from its river, more than the side valley brings
    # without the aquifer's baseflow: at midnight its channel owes the fields what it could not pay, which
    # it pays first on the third day.
    "river_owes_the_fields_over_midnight": Case(
        lambda text: without("groundwater_flow")(bc.watered_daily_from_the_river(3)(text)),
        bc.every_cell_a_field(), days=3, continues=True,
        processes=(1, 3), check_outputs=started_owing_the_fields),
    # Cells wholly under the example's glacier are not solved: they keep
    # the root zone of their first day, also without irrigation, which reads
    # it.
    "root_zone_under_static_glacier": Case(with_balance(without("irrigation"), KEPT_UNDER_GLACIER),
                                           continues=True, processes=(1, 3)),
    # The close at the end of the first day covers cells whole: they keep
    # what their last solved step left, hand no stale flow on and take no
    # part in the aquifer's balance; their fluxes reach the lakes.
    "glacier_covering_cells": Case(with_balance(glacier_covering_cells, without(
        "irrigation", "heat_transfer", "LayeredSnowModel"), KEPT_UNDER_GLACIER),
                                   grown_glacier, days=3, continues=True, processes=(1, 3)),
    # With soil heat they keep their energy too.
    "glacier_covering_cells_with_heat": Case(
        with_balance(glacier_covering_cells, without("irrigation"), KEPT_UNDER_GLACIER,
                     written_at_end("se.stack")), grown_glacier, days=3, continues=True,
        processes=(1, 3)),
    # River cells the close covered, beside fields watered from groundwater,
    # split at noon.
    "glacier_covering_river_cells_at_noon": Case(
        lambda text: bc.groundwater_fields(bc.river_interaction(1)(glacier_covering_cells(text))),
        river_cells_under_glacier, days=3, continues=True, processes=(1, 3), split_hour=12),
    # Methods 1 to 4 start the velocity iteration of the water on the land
    # from the velocities the step before left.
    "land_water_velocities_method_1": Case(with_balance(routed_in_quarter_hours(1)), rain_on_snow,
                                           days=3, continues=True, processes=(1, 3)),
    "land_water_velocities_method_3": Case(with_balance(routed_in_quarter_hours(3)), rain_on_snow,
                                           days=3, continues=True, processes=(1, 3)),
    # The state of an earlier version owes no irrigation water: the warm
    # start runs and says so.
    "irrigation_owed_not_written": Case(
        owed_state_of_one_day, days=1, processes=(1, 3),
        then=small.Then(ex.CONTROL_FILE, lambda text: small.warm_started(
            owed_state_of_one_day(text), 1), edit_work=states_without("IrrigationOwed_End")),
        words="no grid IrrigationOwed_End of a former run"),
    # The state of an earlier version kept what the soil owed the aquifer in
    # the baseflow grid: the warm start runs, takes it from there and says
    # so.
    "groundwater_owed_not_written": Case(
        small.state_written, days=1, processes=(1, 3),
        then=small.Then(ex.CONTROL_FILE, lambda text: small.warm_started(
            small.state_written(text), 1), edit_work=states_without("GroundwaterOwed_End")),
        words="no grid GroundwaterOwed_End of a former run"),
    # The example's own control file leaves every state its read switches
    # ask for, silting-up's grids too.
    "example_states_suffice": Case(
        days=1, processes=(1, 3),
        then=small.Then(ex.CONTROL_FILE, lambda text: small.warm_started(text, 1),
                        edit_work=states_without(None))),
    # Nor the velocities of the water on the land.
    "land_water_velocities_not_written": Case(
        velocity_state_of_one_day, days=1, processes=(1, 3),
        then=small.Then(ex.CONTROL_FILE, lambda text: small.warm_started(
            velocity_state_of_one_day(text), 1),
            edit_work=states_without("SurfaceRoutingVelocity_End")),
        words="no stack SurfaceRoutingVelocity_End of a former run"),
}


def every_state_input(folder):
    """The grown glacier's grids, rivers whose beds leak, and the ponding
    grid's re-read files."""
    grown_glacier(folder)
    counts.river_link_input(folder)
    counts.doubled_ponding_copies(folder)


# What a warm start reads since this version, taken out of the files of a
# former run as a run of an earlier version leaves them: the warm start
# runs and names what starts anew.
EVERY_STATE = with_balance(fields_by_demand(3, 2, "0.5 0.1"), canopy_snow(32),
                           energy_balance_glacier, bc.river_interaction(2),
                           counts.ponding_reread_unwritten)
EARLIER_STATES = (
    ("sections", ("CanopyTemperatureHistory",), ("(subbasins and tracers of the irrigation",
                                                 "(maxirrig", "(number of glaciers)",
                                                 "(glacier code,", "the channels owe the fields",
                                                 "(irrigation owed)"),
     ("no irrigation supply in the section [routing_model]", "no stack CanopyTemperatureHistory",
      "no glacier volumes in the snow section",
      "no irrigation water owed by the channels in the section [routing_model]")),
    ("glacier_extent", ("GlacierizedCells_End",), (), ("no grid GlacierizedCells_End",)),
    ("irrigation_by_demand", ("irrig.asc", "sb05.asc"), (), ("no grid irrig.asc",
                                                            "no grid sb05.asc")),
    ("glacier_snow_temperatures", ("g4.asc", "g5.asc"), (), ("no grid g4.asc", "no grid g5.asc")),
    ("periodic_grids", ("PeriodicGrids_End",), (), ("no file PeriodicGrids_End",)),
    ("period_statistics", ("precipitation.sum_End", "precipitation.count_End"), (),
     ("no files precipitation.sum_End and precipitation.count_End",)),
    ("statistic_lines", ("StatisticLines_End",), (), ("StatisticLines_End of a former run",)),
)


# Counters of a grid that has no periodicity in the warm start.
FOREIGN_PERIODIC_STATE = ("foreign_periodic_grid", (), (), ())


def foreign_periodic_state_faults(args, work):
    path = os.path.join(work, "input", "PeriodicGrids_End")
    if not os.path.exists(path):
        return ["the run through wrote no PeriodicGrids_End"]
    with open(path) as f:
        line = f.read().split(" ", 1)[1]
    with open(path, "w") as f:
        f.write("1 " + line)
    status, console = small.run(args, work, 1)
    fatal = [t for t in small.fatal_entries(work) if "PeriodicGrids_End, line 1:" in t]
    return [] if status == 71 and fatal else [
        "the warm start %s from the counters of a grid without periodicity ended with status %d "
        "and no FATAL entry naming PeriodicGrids_End, line 1:\n%s" % (work, status,
                                                                     console[-3000:])]


def earlier_state_faults(args, source):
    """Runs B once and a warm start from its files without each row's files
    and state-file lines; returns the faults."""
    base = os.path.join(args.work, "earlier_state")
    first = os.path.join(base, "first")
    small.prepare(first, source, 1, lambda t: EVERY_STATE(small.state_written(t)),
                  every_state_input)
    status, console = small.run(args, first, 1)
    if status != 0:
        return ["%s ended with status %d:\n%s" % (first, status, console[-3000:])]
    faults = []
    for name, files, lines, words in EARLIER_STATES + (FOREIGN_PERIODIC_STATE,):
        work = os.path.join(base, name)
        small.prepare(work, source, 2, lambda t: small.warm_started(
            EVERY_STATE(small.state_written(t)), 2), every_state_input)
        for f in os.listdir(os.path.join(first, "output")):
            if f in files:
                continue
            with open(os.path.join(first, "output", f), "rb") as read:
                content = read.read()
            if f.startswith("unsatzon_state_"):
                content = b"".join(l for l in content.splitlines(True)
                                   if not any(m.encode() in l for m in lines))
            with open(os.path.join(work, "input", f), "wb") as written:
                written.write(content)
        if name == FOREIGN_PERIODIC_STATE[0]:
            faults += foreign_periodic_state_faults(args, work)
            continue
        status, console = small.run(args, work, 1)
        if status != 0:
            faults.append("the warm start %s ended with status %d:\n%s" % (work, status,
                                                                          console[-3000:]))
            continue
        warnings = small.warning_entries(work)
        faults += ["the warm start %s gave no warning \"%s\"" % (work, w) for w in words
                   if not any(w in t for t in warnings)]
    return faults


def main(argv):
    status = small.main(__doc__, CASES, argv)
    parser = argparse.ArgumentParser()
    for option in ("--horva", "--mpiexec", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--timeout", type=int, default=240)
    args, named = parser.parse_known_args(argv)
    if "--case" in named:
        return status
    faults = earlier_state_faults(args, os.path.join(args.work, "catchment"))
    for fault in faults:
        print("FAILED: %s" % fault)
    if not faults:
        print("ok: the state of an earlier version")
    return 1 if faults or status else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
