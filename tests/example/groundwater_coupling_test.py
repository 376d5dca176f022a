#!/usr/bin/env python3
"""The soil and the aquifer under it share their water: what the aquifer's
first layer loses the soil's saturated zone gives, and nothing leaves the
two but through the rivers and the aquifer's boundaries.

Each row edits a small copy of the example, with the groundwater model and
the balance, and runs it on one process and on two. Without rain,
evapotranspiration and interflow the soil and the aquifer are alone: with no
boundary they keep their water, with a fixed head at the outlet they lose
what it takes, and with the rivers' exchange what the river cells exfiltrate,
which is the baseflow of their subbasin and reaches its runoff.

"baseflow" is the rate at which the aquifer's first layer loses water; the
soil owes that water on a grid of its own. Without the soil, a first layer
held at a depth pays a pumped second layer at the pump's rate. The recharge
the soil books is what percolates onto its table, not the water the aquifer
pushes up from below. Through a dry spell the table stands on the water its
layer holds, so that the soil owes the aquifer nothing for long.
"""

import os
import re
import sys

import example_test as ex
import process_counts_test as pc
import small_catchment as small
from small_catchment import Case

# The water of the soil and of the aquifer under it, and what the table
# brought to the surface on its way to the subbasins' runoff.
HELD = ("soil_water", "groundwater_storage", "groundwater_owed_by_soil", "ponding_storage",
        "surface_storage", "runoff_concentration")
# Without evapotranspiration the soil reads its demand from zero grids.
NO_DEMAND = ("pot_transpiration0", "pot_transpiration1", "pot_transpiration2",
             "potential_evaporation", "real_transpiration0", "real_transpiration1",
             "real_transpiration2", "real_evaporation")


def alone(*more):
    """No rain, no evapotranspiration, snow, lakes or irrigation, no
    interflow: the soil's water moves only with the aquifer's."""
    def edit(text):
        text = ex.switched_off(text, "evapotranspiration", "interception_model", "snow_model",
                               "LayeredSnowModel", "lake_model", "irrigation")
        text = ex.replace_once("1 1 1  channel network density", "0 0 0  channel network density")(text)
        text = pc.add_standard_grids(text, ["zero.asc  %s  fillcode = 0 readcode = 1" % name
                                            for name in NO_DEMAND])
        # Sweeps to the last digits: what they leave unbalanced is no water.
        text = ex.replace_once("1e-7  maxerror_allowed (m)", "1e-14  maxerror_allowed (m)")(text)
        text = ex.replace_once("200   maxiter", "5000   maxiter")(text)
        for e in more:
            text = e(text)
        return text + ex.BALANCE_SECTION
    return edit


def statistics_every_step(text):
    """QB and GWEX written for every subbasin and step."""
    for name in ("qb", "gwex", "qd", "qi"):
        text = ex.replace_lines(text, ((r"^%s\.stat \d+ " % name, "%s.stat 2001 " % name),))
    return text


def interaction(text):
    """The rivers exchange water with the soil; the soil concentrates its
    own runoff."""
    text = ex.switched_off(text, "SurfaceRoutingModel")
    text = pc.add_standard_grids(text, ["kolmation.asc  kolmation  fillcode = 0 readcode = 1"])
    return ex.replace_once("0     surface water interaction off",
                           "1     surface water interaction")(text)


def dry(folder, heads=lambda value, lowest: -9999):
    """No precipitation; the fixed heads that heads keeps, no fixed flux."""
    pc.write_grid_like(folder, "zones.asc", "zero.asc", lambda r, c, zone: 0)
    name = os.path.join(folder, "precipitation.txt")
    with open(name) as f:
        lines = f.read().splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("YY ")) + 1
    lines[start:] = [" ".join(line.split()[:4] + ["0"] * (len(line.split()) - 4))
                     for line in lines[start:]]
    with open(name, "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(folder, "gw_boundary_fix_h.asc")) as f:
        values = [float(v) for line in f.read().splitlines()[6:] for v in line.split()]
    lowest = min(v for v in values if v != -9999)
    pc.write_grid_like(folder, "gw_boundary_fix_h.asc", "gw_boundary_fix_h.asc",
                       lambda r, c, value: heads(value, lowest))
    pc.write_grid_like(folder, "gw_boundary_fix_q.asc", "gw_boundary_fix_q.asc",
                       lambda r, c, value: -9999)


def dry_with_outlet_head(folder):
    """Dry, and only the lowest fixed head, at the outlet, kept."""
    dry(folder, lambda value, lowest: value if value == lowest else -9999)


def dry_rivers(folder):
    dry(folder)
    pc.river_link_input(folder)
    # Beds below the soil, so that the rivers drain what the table holds
    # above them.
    pc.write_grid_like(folder, "river_depth.asc", "river_depth.asc", lambda r, c, depth: 10.0)


def held_change(terms, step):
    return sum(terms[t][step][-1] for t in HELD if t in terms)



def loses(*outputs, moved=True):
    """The soil and the aquifer lose in each step, over the catchment, what
    the outputs and the subbasins' runoff take (to 1e-9 mm, or 1e-9 of the
    water that moved), and the balance closes."""
    def check(work):
        terms = ex.balance_rows(os.path.join(work, "output"))
        ex.check_closure(terms, 1e-9)
        # The rows sweep to 1e-14 m (see alone).
        ex.check_destinations(terms, 1e-9, max_head_error=1e-14)
        taken = 0.0
        for step in range(len(terms["soil_water"])):
            out = sum(terms[t][step][-1] for t in outputs + ("subbasin_runoff",))
            change = held_change(terms, step)
            taken += out
            ex.check(abs(change + out) <= 1e-9 * max(abs(out), abs(terms["soil_water"][step][-1]))
                     + 1e-9,
                     "in step %d the soil and the aquifer changed by %.12g mm, the boundaries "
                     "and rivers took %.12g mm" % (step + 1, change, out))
        exchanged = sum(abs(v) for row in terms.get("soil_to_groundwater", []) for v in row)
        ex.check(exchanged > 0.0, "the soil and the aquifer exchanged no water")
        ex.check(not moved or taken > 0.0, "nothing took water")
    return check


def baseflow_is_exfiltration(work):
    """QB equals GWEX in every subbasin and step, and reaches the subbasin's
    runoff beside its direct runoff and interflow."""
    loses()(work)
    output = os.path.join(work, "output")
    stats = {}
    for name in ("qb", "gwex", "qd", "qi"):
        with open(os.path.join(output, name + ".stat")) as f:
            stats[name] = [[float(v) for v in line.split()[4:]] for line in f.read().splitlines()[3:]]
    ex.check(stats["qb"] == stats["gwex"], "QB differs from GWEX")
    ex.check(any(v > 0.0 for row in stats["gwex"] for v in row), "no river cell exfiltrated")
    runoff = ex.balance_rows(output)["subbasin_runoff"]
    for step, row in enumerate(runoff):
        for zone, value in enumerate(row[:-1]):
            # Each statistic holds six decimals: 5e-7 mm of rounding apiece.
            parts = sum(stats[name][step][zone] for name in ("qb", "qd", "qi"))
            ex.check(abs(parts - value) <= 1e-5 * abs(value) + 1.5e-6,
                     "in step %d subbasin %d ran off %.9g mm, its direct runoff, interflow and "
                     "baseflow %.9g mm" % (step + 1, zone + 1, value, parts))


def groundwater_fields(text):
    """The example with the fields watered from groundwater from the first
    day on, and the balance."""
    return ex.replace_lines(text, ((r"^(1 sprinkled_fields 2 1 0 0 starting from) 5 10 (.*) 6 28 "
                                    r"(.*) 6 day$", r"\1 3 1 \2 3 2 \3 1 day"),)) + ex.BALANCE_SECTION


def irrigation_from_the_saturated_zone(work):
    """The balance closes and all the fields' water, in every step, is what
    the soil's saturated zone gave."""
    terms = ex.balance_rows(os.path.join(work, "output"))
    ex.check_closure(terms, 1e-8)
    ex.check_destinations(terms, 1e-8)
    drawn = terms.get("irrigation_from_groundwater", [[0.0]] * len(terms["irrigation"]))
    for step, (given, taken) in enumerate(zip(terms["irrigation"], drawn)):
        ex.check(given[-1] > 0.0, "no irrigation in step %d" % (step + 1))
        ex.check(abs(given[-1] - taken[-1]) <= 1e-9 * given[-1],
                 "in step %d the fields got %.9g mm, the saturated zone gave %.9g mm" %
                 (step + 1, given[-1], taken[-1]))


# The river cell at row 11, column 12, which the aquifer fills from below.
RIVER_CELL = (11, 12)


def recharge_every_step(text):
    """GWN written every step, what the aquifer gave the river cell in its
    last sub-step ("baseflow", m/s, negative for a gain) every step, and the
    balance."""
    text = re.sub(r"^(gwn\.asc +GWN\n)\d+( +its write code)$", r"\g<1>12\2", text, flags=re.M)
    text = re.sub(r"^3( +number of outputs:.*)$", r"4\1", text, flags=re.M)
    text = text.replace(
        "{grid = global_radiation; file = points_global_radiation.txt;",
        "{grid = baseflow; file = points_baseflow.txt; cells = %d %d;}\n"
        "{grid = global_radiation; file = points_global_radiation.txt;" % RIVER_CELL)
    return text + ex.BALANCE_SECTION


def grid_values(path):
    with open(path) as f:
        lines = f.read().splitlines()
    nodata = float(lines[5].split()[1])
    return [[float(v) for v in line.split()] for line in lines[6:]], nodata


def recharge_is_percolation(work):
    """The recharge is what percolates onto the table: the river cell, fed
    from below, books at most 1 mm over the run, and no cell more than
    10 mm in a step; the balance closes."""
    output = os.path.join(work, "output")
    terms = ex.balance_rows(output)
    ex.check_closure(terms, 1e-9)
    # One sub-step an hour.
    with open(os.path.join(output, "points_baseflow.txt")) as f:
        given = -3.6e6 * sum(float(line.split()[-1]) for line in f.read().splitlines()[1:])
    ex.check(given > 10.0, "the aquifer gave the river cell %.6g mm, not the water it needs to "
             "fill it from below" % given)
    names = sorted(n for n in os.listdir(output) if re.match(r"^gwn_\d{8}\.\d{4}$", n))
    ex.check(len(names) == 72, "GWN written in %d steps, not 72" % len(names))
    cell, largest = 0.0, (0.0, "")
    for name in names:
        values, nodata = grid_values(os.path.join(output, name))
        cell += values[RIVER_CELL[0] - 1][RIVER_CELL[1] - 1]
        top = max(v for row in values for v in row if v != nodata)
        largest = max(largest, (top, name))
    ex.check(cell <= 1.0, "the river cell, which the aquifer gave %.4g mm from below, booked "
             "%.4g mm of recharge" % (given, cell))
    ex.check(largest[0] <= 10.0, "a cell booked %.4g mm of recharge in %s" % largest)


def dry_spell(text):
    """From 10 May to 30 June, through the dry spell, with the balance."""
    text = ex.replace_lines(text, ((r"^\$set \$endday = \d+$", "$set $endday = 30"),
                                   (r"^\$set \$endmonth = \d+$", "$set $endmonth = 6"),
                                   (r"^1 +start day$", "10       start day"),
                                   (r"^3 +start month$", "5        start month")))
    return text + ex.BALANCE_SECTION


def nothing_owed_for_long(work):
    """What the soil owes the aquifer over the catchment at the end is below
    0.01 mm beyond what the two exchanged in the last step, one sub-step's
    worth, which the soil settles in its next, and the balance closes in
    every step (the channel terms pass m^3/s <-> mm: 1e-8 of what passed
    through)."""
    terms = ex.balance_rows(os.path.join(work, "output"))
    ex.check_closure(terms, 1e-8)
    ex.check_destinations(terms, 1e-8)
    # The term is the change of "less what is owed".
    owed = -sum(row[-1] for row in terms["groundwater_owed_by_soil"])
    last = terms["soil_to_groundwater"][-1][-1]
    ex.check(abs(owed) < 0.01 + abs(last), "the soil owes the aquifer %.6g mm at the end, "
             "after an exchange of %.6g mm in the last step" % (owed, last))


def with_balance(text):
    return text + ex.BALANCE_SECTION


# A head above the ground by this much (m) is a discharge only where the
# soil above is saturated to within SATURATED of the surface.
SEEPAGE, SATURATED, HIGHEST = 0.05, 0.1, 1.0


def aquifer_below_the_ground(work):
    """The example's aquifer after its first weeks: the valley fill (layer 2)
    stands nowhere more than HIGHEST above the ground, and above it only
    where it discharges, into a soil saturated to the surface; the lakes'
    cells, which hold their water above the ground, aside. The balance
    closes."""
    output, folder = os.path.join(work, "output"), os.path.join(work, "input")
    ex.check_closure(ex.balance_rows(output), 1e-8)
    ground, nodata = grid_values(os.path.join(folder, "dem.asc"))
    lakes, _ = grid_values(os.path.join(folder, "lake_codes.asc"))
    zones, _ = grid_values(os.path.join(folder, "zones.asc"))
    table, _ = grid_values(os.path.join(output, "gw_head_1.asc"))
    fill, _ = grid_values(os.path.join(output, "gw_head_2.asc"))
    above, dry = [], []
    for r, row in enumerate(zones):
        for c, zone in enumerate(row):
            if zone == nodata or lakes[r][c] != nodata:
                continue
            rise = fill[r][c] - ground[r][c]
            if rise > HIGHEST:
                above.append("row %d, column %d: %.3f m" % (r + 1, c + 1, rise))
            if rise > SEEPAGE and table[r][c] < ground[r][c] - SATURATED:
                dry.append("row %d, column %d: %.3f m, the soil's table %.3f m below" %
                           (r + 1, c + 1, rise, ground[r][c] - table[r][c]))
    ex.check(not above, "the valley fill stands more than %g m above the ground at %s" %
             (HIGHEST, "; ".join(above[:5])))
    ex.check(not dry, "the valley fill stands above the ground under a soil that is not "
             "saturated at %s" % "; ".join(dry[:5]))


# The aquifer alone, without the soil: a confined second layer pumped from
# one cell under a first layer that the standard grid "groundwater_distance"
# holds 1 m below the ground, a closed border.
PUMPED_ROW, PUMPED_COLUMN = 10, 12
PUMPING = 5e-4          # m^3/s
CELL_AREA = 100.0 * 100.0
TRANSMISSIVITY = 2e-3   # m^2/s of layer 2, 10 m thick
LEAKAGE = 4e-7          # 1/s between the layers
HELD_DISTANCE = -1.0    # m
AQUIFER_GRIDS = {"aquifer_thickness.asc": 10.0, "gw_k_1.asc": 1e-4,
                 "gw_k_2.asc": TRANSMISSIVITY / 10.0, "gw_storage_coeff_1.asc": 0.05,
                 "gw_storage_coeff_2.asc": 0.01, "gw_kolmation_1.asc": LEAKAGE,
                 "gw_boundary_fix_h.asc": -9999, "gw_boundary_fix_q.asc": -9999,
                 "held_distance.asc": HELD_DISTANCE, "zero.asc": 0.0}


def aquifer_alone(text):
    """Nothing above the aquifer but its held first layer; "baseflow" written
    every step."""
    text = ex.switched_off(text, "evapotranspiration", "interception_model", "snow_model",
                           "SiltingUpModel", "unsatzon_model", "heat_transfer", "lake_model",
                           "LayeredSnowModel", "SurfaceRoutingModel", "routing_model",
                           "irrigation")
    text = ex.replace_once("gw_boundary_fix_q.asc  gw_boundary_fix_q_2",
                           "pumping.asc  gw_boundary_fix_q_2")(text)
    return pc.add_standard_grids(text, [
        "held_distance.asc  groundwater_distance  fillcode = 0 readcode = 1",
        "zero.asc  groundwater_recharge  fillcode = 0 readcode = 1",
        "zero.asc  baseflow  fillcode = 0 readcode = 1 writecode = 2 outname = baseflow.asc"])


def pumped_aquifer(folder):
    """Flat ground, so that only the pump moves the water."""
    pc.write_grid_like(folder, "dem.asc", "dem.asc", lambda r, c, height: 500.0)
    for name, value in AQUIFER_GRIDS.items():
        pc.write_grid_like(folder, "zones.asc", name, lambda r, c, zone, v=value: v)
    pc.write_grid_like(folder, "zones.asc", "pumping.asc",
                       lambda r, c, zone: -PUMPING / CELL_AREA
                       if (r, c) == (PUMPED_ROW, PUMPED_COLUMN) else -9999)


def baseflow_pays_the_pump(work):
    """What the held layer gives the pumped one, "baseflow" (m/s) times the
    cell area summed over the cells, is the pumping rate in the last step to
    1 %, and it changed by less than 0.1 % of it from the step before: a
    rate that has come to the pump's, not a sum of rates."""
    output = os.path.join(work, "output")
    names = sorted(n for n in os.listdir(output) if re.match(r"^baseflow_\d{8}\.\d{4}$", n))
    ex.check(len(names) == 48, "\"baseflow\" written in %d steps, not 48" % len(names))
    sums = []
    for name in names[-2:]:
        values, nodata = grid_values(os.path.join(output, name))
        sums.append(sum(v * CELL_AREA for row in values for v in row if v != nodata))
    ex.check(abs(sums[1] - PUMPING) <= 0.01 * PUMPING,
             "in the last step \"baseflow\" sums to %.6g m^3/s, the pump takes %.6g m^3/s" %
             (sums[1], PUMPING))
    ex.check(abs(sums[1] - sums[0]) <= 1e-3 * PUMPING,
             "\"baseflow\" summed to %.6g m^3/s in the last but one step, %.6g m^3/s in the last" %
             (sums[0], sums[1]))


CASES = {
    # No boundary: the soil and the aquifer keep their water.
    "soil_and_aquifer_keep_their_water": Case(alone(), dry, check_outputs=loses(
        "groundwater_fixed_heads", moved=False)),
    # A fixed head at the outlet takes what the soil and the aquifer lose.
    "outlet_head_takes_what_they_lose": Case(alone(), dry_with_outlet_head,
                                             check_outputs=loses("groundwater_fixed_heads")),
    # The same in two sub-steps, whose owed water the balance weighs by
    # their length.
    "outlet_head_takes_it_in_substeps": Case(alone(lambda text: text + ex.SUBSTEPS_SECTION),
                                             dry_with_outlet_head,
                                             check_outputs=loses("groundwater_fixed_heads")),
    # The rivers drain the table above their beds: the baseflow of the
    # subbasin, all its runoff here.
    "rivers_take_the_exfiltration": Case(alone(interaction, statistics_every_step), dry_rivers,
                                         check_outputs=baseflow_is_exfiltration),
    # Irrigation from groundwater takes its water from the saturated zone.
    "fields_drain_the_saturated_zone": Case(groundwater_fields,
                                            check_outputs=irrigation_from_the_saturated_zone),
    # The aquifer fills the river cell from below: no recharge for it.
    "recharge_is_what_percolates": Case(recharge_every_step, days=3, processes=(1, 3),
                                        check_outputs=recharge_is_percolation),
    # Roots dry the table's layer below field capacity: the table, and the
    # aquifer's head, stand on the water the soil can give.
    "owed_water_is_paid": Case(dry_spell, days=122, processes=(1, 2),
                               check_outputs=nothing_owed_for_long),
    # The example's aquifer, from its cold start at the soil's table, stays
    # at or below the ground but where it discharges into saturated soil.
    "aquifer_stays_below_the_ground": Case(with_balance, days=15, processes=(1, 2),
                                           check_outputs=aquifer_below_the_ground),
    # Without the soil nobody drains what the held layer lost: "baseflow"
    # stays its rate, which pays the pump.
    "held_layer_pays_the_pump": Case(aquifer_alone, pumped_aquifer, processes=(1, 3),
                                     check_outputs=baseflow_pays_the_pump),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
