#!/usr/bin/env python3
"""horva gives the same results on any number of processes.

Each row edits a small copy of the example (settings the example itself does
not use) and runs it on one process and on two or three: every run ends with
status 0 and writes the same output files, byte for byte, or every run ends
with the same code and message.
"""

import math
import os
import re
import shutil
import sys

import example_test as ex
import small_catchment as small
from refused_inputs_test import from_the_external_program, read_again, waiting_command
from small_catchment import Case, Then


def observed_discharge(days):
    """An input edit: input/observed.txt, hourly discharges of the three
    subbasins from 2021-03-01 00:00 for `days` days."""
    def edit(folder):
        with open(os.path.join(folder, "observed.txt"), "w") as f:
            f.write("YY\tMM\tDD\tHH\t1\t2\t3\n")
            for step in range(24 * days):
                f.write("2021\t3\t%d\t%d" % (1 + step // 24, step % 24) +
                        "".join("\t%.3f" % (0.2 * k + 0.1 * math.sin(step / 5.0 + k))
                                for k in (1, 2, 3)) + "\n")
    return edit


def with_observed(text):
    """[routing_model] compares every subbasin with input/observed.txt."""
    return ex.replace_once("none  no observed discharge\n0     column descriptors of observed discharge\n",
                           "input/observed.txt  observed discharge\n3  column descriptors\n"
                           "1 1  subbasin, column\n2 2\n3 3\n")(text)


def kolmation_everywhere(value):
    """An input edit: every cell of gw_kolmation_1.asc leaks with value, over
    a fill that stores 0.05 everywhere, as the soil's saturated zone does."""
    def edit(folder):
        write_grid_like(folder, "gw_kolmation_1.asc", "gw_kolmation_1.asc",
                        lambda r, c, kolmation: value)
        write_grid_like(folder, "gw_storage_coeff_2.asc", "gw_storage_coeff_2.asc",
                        lambda r, c, storage: 0.05)
    return edit


def response_units(text, grids=24):
    """Spin-up over one repetition, the cells of a soil type forming one
    response unit: units that reach over several strips. grids: the
    control file's number of standard grids."""
    text = ex.replace_once("%d  number of grids: file, name, keys\n" % grids,
                           "%d  number of grids: file, name, keys\n" % (grids + 1) +
                           "soil.asc  HydrologicResponseUnits  fillcode = 0 readcode = 1\n")(text)
    return ex.replace_once("[SpinUp]\n0  no spin-up\n",
                           "[SpinUp]\n1  spin-up\n0  no temperature pre-spin-up\n"
                           "1  repetition\n0  units from HydrologicResponseUnits\n")(text)


def ponding_reread(text):
    """The ponding grid (in m) re-read at 11:00 of every day from
    ponding.asc_YYYYMMDDHH, its set-up values back three steps later."""
    return ex.replace_once("statcode = 2024\n", "statcode = 2024 writecode = 2 periodicity = 1 D "
                           "12 persistent = 0 3\n")(text)


def ponding_reread_unwritten(text):
    """The same, not written: the grid holds mm, its file m, and a warm
    start reads every file the first run wrote."""
    return ex.replace_once(" writecode = 2 periodicity", " periodicity")(ponding_reread(text))


def doubled_ponding_copies(folder):
    with open(os.path.join(folder, "ponding.asc")) as f:
        lines = f.read().splitlines()
    text = "\n".join(lines[:6] + [" ".join(v if v == "-9999" else repr(2 * float(v))
                                            for v in line.split()) for line in lines[6:]]) + "\n"
    for step in range(24 * 3):
        with open(os.path.join(folder, "ponding.asc_202103%02d%02d" % (1 + step // 24, step % 24)),
                  "w") as f:
            f.write(text)


def ponding_in_mm(work):
    """On 1 March the ponding holds its set-up value in mm, twice that from
    the re-read at 11:00 to 13:00, and the set-up value again from 14:00."""
    def values(hour):
        with open(os.path.join(work, "output", "ponding_20210301.%02d00" % hour)) as f:
            return [float(v) for line in f.read().splitlines()[6:] for v in line.split() if v != "-9999"]
    before = values(10)
    ex.check(min(before) > 1.0, "the set-up ponding is not in mm: %g" % min(before))
    for hour, factor in ((11, 2.0), (13, 2.0), (14, 1.0), (15, 1.0)):
        wrong = [a for a, b in zip(values(hour), before) if abs(a - factor * b) > 1e-9 * b]
        ex.check(not wrong, "at %02d:00 the ponding holds %g, not %g times the set-up value in mm"
                 % (hour, wrong[0] if wrong else 0, factor))


def criteria_written(work):
    """Routing alone appended the efficiency criteria of every subbasin."""
    with open(os.path.join(work, "output", "routed_alone.stat")) as f:
        lines = f.read().splitlines()
    rows = [line for line in lines if line[:4].isdigit()]
    ex.check(len(rows) == 48, "routing alone routed %d steps, not 48" % len(rows))
    criteria = [line.split("\t") for line in lines[3 + len(rows):] if "\t" in line]
    ex.check(len(criteria) == 4 * 21 and all(len(c) == 5 for c in criteria),
             "routing alone wrote %d lines of criteria" % len(criteria))



def add_standard_grids(text, lines):
    """The control file with more lines in [standard_grids]."""
    match = re.search(r"^\[standard_grids\]\n(\d+)(.*)\n", text, flags=re.M)
    ex.check(match, "the control file has no [standard_grids]")
    count = int(match.group(1)) + len(lines)
    head = "[standard_grids]\n%d%s\n" % (count, match.group(2))
    return text[:match.start()] + head + "".join(l + "\n" for l in lines) + text[match.end():]


def write_grid_like(folder, source, name, value_of):
    """A grid beside source with value_of(row, column, value) in each cell
    that source holds (rows and columns from 1)."""
    with open(os.path.join(folder, source)) as f:
        lines = f.read().splitlines()
    nodata = lines[5].split()[1]
    out = lines[:6]
    for r, line in enumerate(lines[6:], 1):
        out.append(" ".join(v if v == nodata else str(value_of(r, c, float(v)))
                            for c, v in enumerate(line.split(), 1)))
    with open(os.path.join(folder, name), "w") as f:
        f.write("\n".join(out) + "\n")


# A dynamic glacier (method 11) over the heights of subbasin 3, whole at the
# top, half a cell lower down, across the strips of two and three processes;
# its year closes at the end of 2 March, the second day of the run.
def glacier_fraction(r, c, zone):
    return 1.0 if zone == 3 and r <= 5 else 0.5 if zone == 3 and r <= 8 else 0.0


def dynamic_glacier_input(folder):
    write_grid_like(folder, "zones.asc", "glacier_fraction.asc",
                    lambda r, c, z: glacier_fraction(r, c, z))
    write_grid_like(folder, "zones.asc", "glacier_codes.asc",
                    lambda r, c, z: 1 if glacier_fraction(r, c, z) > 0 else 0)


def glacier_in_two_subbasins(folder):
    """Glacier 1 over half of every cell of subbasins 2 and 3 in rows 1 to 8."""
    def fraction(r, c, zone):
        return 0.5 if zone in (2, 3) and r <= 8 else 0.0
    write_grid_like(folder, "zones.asc", "glacier_fraction.asc", fraction)
    write_grid_like(folder, "zones.asc", "glacier_codes.asc",
                    lambda r, c, z: 1 if fraction(r, c, z) > 0 else 0)


def dynamic_glacier(text):
    # The silting-up and surface routing models refuse glaciers.
    text = ex.switched_off(text, "SiltingUpModel", "SurfaceRoutingModel")
    text = add_standard_grids(text, [
        "glacier_fraction.asc  GlacierizedCells  fillcode = 0 readcode = 1",
        "glacier_codes.asc  GlacierCodes  fillcode = 0 readcode = 1"])
    text, count = re.subn(r"^1     Glacier-Method.*$", "11    Glacier-Method: dynamic glaciers",
                          text, flags=re.M)
    ex.check(count == 1, "the control file has no Glacier-Method line")
    lines = ["qsnowonglac.stat 2024", "0  readgrids", "2 5000 0.01  firn_levels firn_base "
             "deltafirnper100m", "2 3  GMBEvalDay GMBEvalMonth",
             "28.5 1.36 2 1  VAscaling VAexponent numElevBands extraWeightFactorBand0",
             "firnstack.asc", "3", "firn.stat 2024", "mb.asc", "3", "mbold.asc", "3",
             "mb1.stat 2024", "mb2.stat 2024", "1.0  debris scaling", "snowglac.stat 2024"]
    for name in ("gsolid", "gliquid", "gtotal", "gmelt", "gsurf", "gtemp", "gevap"):
        lines += [name + ".asc", "3"]
    lines.append("100 0.25  maxSnowPackToCreateGlacier relSizeNewGlacier")
    text, count = re.subn(r"^(qglac\.stat 2024.*\n)", r"\1" + "\n".join(lines) + "\n", text,
                          flags=re.M)
    ex.check(count == 1, "the control file has no qglac.stat line")
    return text



# The same glacier's year closing at the end of the first day, with packs
# above 10 mm on every other cell and none between: the close makes glacier
# of the packs beside cells of code 0 that stay free, across the strips, and
# groundwater weighs each face by the glacier shares of both its cells.
def glacier_close_in_strips(text):
    return ex.replace_lines(dynamic_glacier(text), (
        (r"^2 3  GMBEvalDay", "1 3  GMBEvalDay"),
        (r"^100 0\.25  maxSnowPackToCreateGlacier", "10 0.25  maxSnowPackToCreateGlacier"),
        (r"^0(     snow readgrid)", r"1\1")))


def packs_on_every_other_cell(folder):
    dynamic_glacier_input(folder)
    for name, pack, bare in (("snowstorage", 50, 0), ("swe", 50, 0), ("liquidstorage", 0, 0),
                             ("snowdays", 0, 0), ("snowage", 0, 0), ("snowtemp", 270, 273),
                             ("surftemp", 270, 273)):
        write_grid_like(folder, "zones.asc", name + ".asc",
                        lambda r, c, z: pack if (r + c) % 2 == 0 else bare)
    # Snow stays on the first day; the second thaws the land above the
    # aquifer.
    ex.scale_station_values(folder, "temperature.txt", lambda v: v - 8.0)
    ex.scale_station_values(folder, "temperature.txt", lambda v: v + 18.0, from_day=2)


def glacier_made_between_free_cells(work):
    with open(os.path.join(work, "output", "GlacierizedCells_End")) as f:
        shares = [float(v) for line in f.read().splitlines()[6:] for v in line.split()]
    made, free = shares.count(0.25), shares.count(0.0)
    ex.check(made > 20 and free > 20, "the close left %d cells at 0.25 and %d free" % (made, free))


# One tracer entering with the water at 5 mg/l, the soil holding 1 above the
# table and 2 below; the lakes carry it between their cells on every process.
TRACER = ("1  number of tracers\nSalt non_radioactive non_evaporating min_conc = 0 "
          "max_conc = 100 mg/l soilini = 1 gwini = 2 statcode = 2001 gridcode = 3 "
          "path = ./ statext = stat gridext = asc")


def tracer_input(folder):
    write_grid_like(folder, "zones.asc", "tracer_flux.asc", lambda r, c, z: 5)


def salt_tracer(text):
    """The tracer of TRACER, coming in as tracer_input gives it."""
    text = add_standard_grids(text, ["tracer_flux.asc  concflux_tracer_1_input  fillcode = 0 "
                                     "readcode = 1"])
    return ex.replace_once("0  number of tracers", TRACER)(text)


def lakes_with_tracer(text):
    return salt_tracer(ex.switched_off(text, "LayeredSnowModel"))


# River water re-infiltrates in link order: one link per subbasin along its
# river cells, the control point (row 11, column 12) on the link of
# subbasin 2, which crosses the strips of two and three processes.
def river_link_input(folder):
    rivers = {}
    write_grid_like(folder, "river_depth.asc", "rivers.asc",
                    lambda r, c, depth: rivers.setdefault((r, c), depth))
    os.remove(os.path.join(folder, "rivers.asc"))
    write_grid_like(folder, "zones.asc", "river_links.asc",
                    lambda r, c, zone: int(zone) if (r, c) in rivers else 0)
    # The bed's conductance (1/s) between river and soil.
    write_grid_like(folder, "zones.asc", "kolmation.asc", lambda r, c, zone: 1e-6)


def link_order(text):
    text = add_standard_grids(text, ["kolmation.asc  kolmation  fillcode = 0 readcode = 1"])
    return ex.replace_once("0     surface water interaction off",
                           "2     surface water interaction: re-infiltration in link order")(text)


def tracer_without_groundwater(text):
    """The tracer in the baseflow of the soil, which surface routing mixes
    into its runoff."""
    return ex.switched_off(lakes_with_tracer(text), "groundwater_flow")


def control_point_series(work):
    """The control cell's evapotranspiration per layer: some value is above 0
    (its interflow is 0 here whatever the interaction)."""
    with open(os.path.join(work, "output", "uz_etr.txt")) as f:
        rows = [line.split()[4:] for line in f.read().splitlines()[1:]]
    ex.check(any(float(v) > 0.0 for row in rows for v in row),
             "uz_etr.txt holds no value above 0 for the control cell")


# Row 10, column 5 opens the strip of process 0 on two processes: its west
# neighbour belongs to process 1.
STRIP_END_CELL = (10, 5)


def groundwater_control_point_at_strip_end(text):
    text, count = re.subn(r"^11 12(  control point \(row column\)\ngw_control\.txt)",
                          r"%d %d\1" % STRIP_END_CELL, text, flags=re.M)
    ex.check(count == 1, "the control file has no groundwater control point 11 12")
    return text


def west_neighbour_in_control_series(work):
    """Where the cell's west neighbour is another process's, the series still
    holds the neighbour's baseflow and no nodata."""
    r, c = STRIP_END_CELL
    with open(os.path.join(work, "output", "MPIRegions_0")) as f:
        owners = [line.split() for line in f.read().splitlines()[6:]]
    if any("1" in row for row in owners):
        ex.check(owners[r - 1][c - 1] != owners[r - 1][c - 2],
                 "row %d, column %d no longer opens a strip: the row tests nothing" % (r, c))
    with open(os.path.join(work, "output", "gw_control.txt")) as f:
        rows = [line.split() for line in f.read().splitlines()[1:]]
    ex.check(rows and all(len(row) == 16 for row in rows), "gw_control.txt holds no 2-layer rows")
    for row in rows:
        ex.check(float(row[9]) != -9999 and float(row[15]) != -9999,
                 "gw_control.txt holds nodata as the west neighbour's baseflow at %s" %
                 " ".join(row[:4]))


def irrigation_summed(text):
    """The fields watered from groundwater from the first day on, the amounts
    written every step and summed over the run."""
    return ex.replace_lines(text, (
        (r"^(1 sprinkled_fields 2 1 0 0 starting from) 5 10 (.*) 6 28 (.*) 6 day$",
         r"\1 3 1 \2 3 2 \3 1 day"),
        (r"^(irrig\.asc  IRRIG\n)0(  its write code)$", r"\g<1>12\2")))


def irrigation_sum_of_steps(work):
    """Each step's amounts once, and their sum over the run in irrig.sum."""
    output = os.path.join(work, "output")
    steps = sorted(n for n in os.listdir(output) if n.startswith("irrig_2021"))
    ex.check(len(steps) == 48, "%d grids of irrigation amounts for 48 steps: %s" %
             (len(steps), " ".join(steps[:4])))

    def values(name):
        with open(os.path.join(output, name)) as f:
            return [float(v) for line in f.read().splitlines()[6:] for v in line.split()]
    total = [sum(cell) for cell in zip(*(values(n) for n in steps))]
    summed = values("irrig.sum")
    ex.check(any(v > 0.0 for v in summed), "no irrigation")
    for k, (s, t) in enumerate(zip(summed, total)):
        ex.check(s == -9999.0 or abs(s - t) <= 1e-5 * abs(t) + 1e-5,
                 "cell %d of irrig.sum holds %g, its steps sum to %g" % (k, s, t))


def read_copies(name, value_of, from_day=1):
    """An input edit: the files a periodic read of name takes in the first
    three days, every cell of name as value_of(row, column, value) gives it
    from the day from_day of the month on, as the set-up's before."""
    def edit(folder):
        with open(os.path.join(folder, name)) as f:
            before = f.read()
        write_grid_like(folder, name, name + ".read", value_of)
        with open(os.path.join(folder, name + ".read")) as f:
            text = f.read()
        os.remove(os.path.join(folder, name + ".read"))
        for step in range(24 * 3):
            day = 1 + step // 24
            with open(os.path.join(folder, "%s_202103%02d%02d" % (name, day, step % 24)),
                      "w") as f:
                f.write(text if day >= from_day else before)
    return edit


def ponding_from_the_external_program(folder):
    """The external program gives the ponding grid of the set-up (in m)."""
    shutil.copy(os.path.join(folder, "ponding.asc"), os.path.join(folder, "ponding_external.asc"))
    waiting_command(folder)


def inputs(*edits):
    def edit(folder):
        for e in edits:
            e(folder)
    return edit


# Drains 0.25 m deep (in the first layer) at set-up, 0.9 m (in the second or
# third) in every file read.
def drains(text):
    text = ex.replace_once("0     no drainage", "1     drainage")(text)
    return add_standard_grids(text, [
        "drainage_depth.asc  drainage_depth  fillcode = 0 readcode = 1",
        "drainage_distance.asc  drainage_distance  fillcode = 0 readcode = 1"])


def drain_grids(depth):
    def edit(folder):
        write_grid_like(folder, "zones.asc", "drainage_depth.asc", lambda r, c, z: depth)
        write_grid_like(folder, "zones.asc", "drainage_distance.asc", lambda r, c, z: 10.0)
    return edit


# Land use whose fields (multilayer code 2) turn into meadows (3) in every
# file read: grass, the meadows' layer, is rougher than field crops for the
# heads of the diffusion wave of surface routing.
def rough_grass(text):
    text = ex.replace_once("2  method: the steepest of the eight neighbours",
                           "6  method: the heads of a diffusion wave")(text)
    return ex.replace_once("1 grass {\n", "1 grass {\n  SR_K_ST = 40;\n")(text)


def meadows(r, c, code):
    return 3 if code == 2 else int(code)


# Two irrigation types that draw on groundwater by the soil's suction, the
# first wherever the soil is not wet, the second never in March: the valley's
# cells of type 1 at set-up are of type 2 in every file read.
def suction_irrigation(text):
    start = text.index("[irrigation_table]\n")
    end = text.index("\n\n", start)
    return (text[:start] + "[irrigation_table]\n2\n1 wet_fields 3 1 0.01 0.005\n"
            "2 dry_fields 3 1 1000 500" + text[end:])


def valley_irrigation(code):
    def edit(folder):
        write_grid_like(folder, "zones.asc", "irrigation.asc",
                        lambda r, c, z: code if r >= 12 else 0)
    return edit


def sunk_lakes_and_heads(text):
    """Lake method 2 sinks the lake cells into the elevation model, which
    the diffusion wave of surface routing reads around every cell."""
    text = ex.replace_once("1      initialization method: no change of grids",
                           "2      initialization method: the lake cells sunk")(text)
    return ex.replace_once("2  method: the steepest of the eight neighbours",
                           "6  method: the heads of a diffusion wave")(text)



def flat_lakes_and_slides(text):
    """Lake method 2 also flattens the lake cells, from which snow then no
    longer slides: lake 2 slopes by 21 degrees, over the least slope of a
    slide here."""
    text = ex.replace_once("1      initialization method: no change of grids",
                           "2      initialization method: the lake cells flat")(text)
    text = ex.replace_once("5     method: energy balance", "6     method: energy balance, slides")(text)
    text = ex.replace_once("30    minimum slope for slides", "15    minimum slope for slides")(text)
    return add_standard_grids(text, ["slide%d.asc  slidefraction%d  fillcode = 0 readcode = 1" %
                                     (k, k) for k in range(1, 5)])


def snow_to_slide(folder):
    """Snow on the lakes (ten times the precipitation, 8 K colder), sliding
    to the four neighbours alike."""
    ex.cloudburst(folder)
    ex.scale_station_values(folder, "temperature.txt", lambda v: v - 8.0)
    for k in range(1, 5):
        write_grid_like(folder, "zones.asc", "slide%d.asc" % k, lambda r, c, zone: 0.25)


def lake_surfaces_in_elevation_model(folder):
    """An input edit: the elevation model holds the lakes' surfaces, each
    lake cell's elevation plus its largest ponding depth (m), as lake
    method 2 takes it."""
    def grid(name):
        with open(os.path.join(folder, name)) as f:
            return [line.split() for line in f.read().splitlines()[6:]]
    codes, ponding = grid("lake_codes.asc"), grid("ponding.asc")
    write_grid_like(folder, "dem.asc", "dem.asc", lambda r, c, z: repr(round(
        z + float(ponding[r - 1][c - 1]), 6)) if codes[r - 1][c - 1] != "-9999" else repr(z))


def lake_without_sp(text):
    """Lake 1 stays in lake_codes while the routing description leaves out
    its SP 1."""
    return ex.replace_once(" SP 1 (file = reservoir_1.txt V0 = 1e5 C0 = 0 0 0 0 0 0 0 0 0 "
                           "dTmin = 600)\n", "")(text)


def line_sweeps(text):
    """Groundwater method 2: one direct sweep along the rows, a row that
    several processes share solved as one system."""
    return ex.replace_once("1     method: successive over-relaxation",
                           "2     method: line sweeps along the rows")(text)


# Times of ranks 0 to 3 that give strips of unequal length.
UNEVEN_SPEEDS = (1.0, 2.5, 1.5, 4.0)

CASES = {
    "river_link_control_point": Case(link_order, river_link_input, days=2, processes=(1, 2, 3),
                                     check_outputs=control_point_series),
    "lakes_with_tracer": Case(lakes_with_tracer, tracer_input, days=2, processes=(1, 2, 3)),
    # Surface routing keeps the water on the land itself; its state file
    # holds nodata outside the catchment.
    "surface_routing_without_silting_up": Case(
        lambda text: ex.switched_off(text, "SiltingUpModel"), processes=(1, 3)),
    # Its velocity and fluxes stacks hold nodata beyond the catchment on
    # every layout, also in the rows' columns outside it.
    "surface_routing_stacks": Case(
        lambda text: ex.replace_lines(text, ((r"^(velocity\.stk  .*\n)0(  its write code)$",
                                              r"\g<1>3\2"),
                                             (r"^(fluxes\.stk  .*\n)0(  its write code)$",
                                              r"\g<1>3\2"))), days=1, processes=(1, 3)),
    "surface_routing_tracer_without_groundwater": Case(tracer_without_groundwater, tracer_input,
                                                       processes=(1, 2, 3)),
    "dynamic_glacier_balance": Case(dynamic_glacier, dynamic_glacier_input, days=2,
                                    processes=(1, 2, 3)),
    # The snow model refuses a glacier in two subbasins (without it the
    # glacier grids only weigh the cells of the soil and the run goes on).
    "dynamic_glacier_in_two_subbasins": Case(
        dynamic_glacier, glacier_in_two_subbasins, processes=(1, 3), code=84,
        words="glacier 1 is located in more than one subbasin"),
    "glacier_close_in_strips": Case(glacier_close_in_strips, packs_on_every_other_cell,
                                    processes=(1, 2, 3),
                                    check_outputs=glacier_made_between_free_cells),
    # Routing alone on what a run wrote, with observed discharge beside its
    # runoff: each file keeps its own date.
    "routing_alone_observed": Case(
        edit_input=observed_discharge(3), processes=(1, 2),
        then=Then("routing.ctl", with_observed, ("-mode:routing",)),
        check_outputs=criteria_written),
    "routing_alone_observed_ends": Case(
        edit_input=observed_discharge(1), processes=(1, 3),
        then=Then("routing.ctl", with_observed, ("-mode:routing",)),
        words="not found (end of discharge file at 1.3.2021, 23h)", level=3),
    # The leakage of one cell swings, on the last of three strips: 1e-4 1/s
    # over the weathered rock's storage coefficient 0.005.
    "groundwater_swinging_leakage_elsewhere": Case(
        edit_input=ex.spoil_grid_value("gw_kolmation_1.asc", 3, 8, "1e-4"), processes=(1, 3),
        words="gw_kolmation_1 * time step / storage coefficient is 72 at row 3, column 8;"),
    # Every cell swings alike: the first in row order is named.
    "groundwater_swinging_leakage_everywhere": Case(
        edit_input=kolmation_everywhere(1e-4), processes=(1, 3),
        words="gw_kolmation_1 * time step / storage coefficient is 7.2 at row 2, column 5;"),
    "spin_up_response_units": Case(response_units, processes=(1, 2, 3)),
    # The control point's record reads a neighbour of another process.
    "groundwater_control_point_at_strip_end": Case(
        groundwater_control_point_at_strip_end, days=1, processes=(1, 2),
        check_outputs=west_neighbour_in_control_series),
    # The unsaturated zone holds the ponding in mm: a re-read and the
    # restore of the set-up values keep it there.
    "periodic_ponding": Case(ponding_reread, doubled_ponding_copies, processes=(1, 3),
                             check_outputs=ponding_in_mm),
    # The amounts of irrigation belong to the unsaturated zone, which alone
    # writes them.
    "irrigation_amounts_summed": Case(irrigation_summed, processes=(1, 3),
                                      check_outputs=irrigation_sum_of_steps),
    # A standard grid read again at the first step (and every day after)
    # from files other than the set-up's acts as in a run set up from them:
    # what the modules derived from it at set-up follows the values read.
    "drainage_depth_read_again": Case(
        read_again("drainage_depth", drains),
        inputs(drain_grids(0.25), read_copies("drainage_depth.asc", lambda r, c, v: 0.9)),
        like=small.Reference(drains, drain_grids(0.9))),
    "landuse_read_again": Case(
        read_again("landuse", rough_grass),
        read_copies("landuse.asc", meadows),
        like=small.Reference(rough_grass, lambda folder: write_grid_like(
            folder, "landuse.asc", "landuse.asc", meadows))),
    # The unsaturated zone holds the ponding in mm also when the external
    # program gives it in m, as the file of the set-up.
    "ponding_from_the_external_program": Case(
        from_the_external_program("ponding_external.asc", "max_ponding_storage"),
        ponding_from_the_external_program, like=small.Reference()),
    "irrigation_codes_read_again": Case(
        read_again("irrigation_codes", suction_irrigation),
        inputs(valley_irrigation(1), read_copies("irrigation.asc", lambda r, c, v: 2 if v else 0)),
        like=small.Reference(suction_irrigation, valley_irrigation(2))),
    # On 17 x 31 cells lake 2 lies at the top of the middle strip of three
    # processes: the strip above routes its water over the lake's sunk
    # cells.
    "sunk_lake_at_strip_boundary": Case(sunk_lakes_and_heads, days=1, processes=(1, 3),
                                        shape=(17, 31)),
    # Rank 0 slides the snow of every cell; lake 2 lies in another strip.
    "flat_lake_under_snow_slides": Case(flat_lakes_and_slides, snow_to_slide, days=2,
                                        processes=(1, 3), shape=(17, 31)),
    # The rows of groundwater's line sweeps that two processes share reach
    # beyond each one's halo; on strips of equal and of unequal length.
    "line_sweeps_13x41": Case(line_sweeps, days=1, processes=(1, 2, 3, 4), shape=(13, 41)),
    "line_sweeps_11x29": Case(line_sweeps, days=1, processes=(1, 2, 3, 4), shape=(11, 29)),
    "line_sweeps_uneven_strips_13x41": Case(line_sweeps, days=1, processes=(1, 2, 3, 4),
                                            shape=(13, 41), speeds=UNEVEN_SPEEDS),
    "line_sweeps_uneven_strips_11x29": Case(line_sweeps, days=1, processes=(1, 2, 3, 4),
                                            shape=(11, 29), speeds=UNEVEN_SPEEDS),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
