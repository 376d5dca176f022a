#!/usr/bin/env python3
"""The combination sweep draws what it claims and its checks notice faults.

Without running horva: the draws of many seeds break no rule of the
reference, or exactly the one they break on purpose; every draw's edits
apply to the small catchment's control file and input; and a NaN or an
infinity planted in every form of output, and an open step planted in the
balance files, are found where they were planted; the balance's places
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


def check_rules():
    faults, drawn, warm = [], set(), 0
    for seed in range(1, 6):
        for index in range(400):
            draw = sweep.Draw(seed, index)
            broken = [r for r in sweep.broken_rules(draw.settings)
                      if not (draw.rule and r.name in draw.rule.covers)]
            expected = [draw.rule] if draw.rule else []
            if broken != expected:
                faults.append("seed %d draw %d breaks %s, not %s" % (
                    seed, index, [r.name for r in broken], [r.name for r in expected]))
            drawn.add(draw.rule)
            warm += draw.settings["warm"]
    missing = [r.name for r in sweep.RULES if r not in drawn]
    ex.check(not missing, "2000 draws broke none of %s" % missing)
    ex.check(3 * warm >= 2000, "%d of 2000 draws check the warm start" % warm)
    for rule in sweep.RULES:
        s = dict(sweep.PLAIN, **{name: values[0] for name, values in rule.make.items()})
        if not rule.broken(s):
            faults.append("the settings made for \"%s\" do not break it" % rule.name)
        for name, value in rule.fixes:
            if rule.broken(dict(s, **{name: value})):
                faults.append("%s=%s does not mend \"%s\"" % (name, value, rule.name))
    ex.check(not faults, "\n".join(faults[:20]))


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
    faults = []
    for settings in ALLOWED:
        s = dict(sweep.PLAIN, **settings)
        broken = [r.name for r in sweep.broken_rules(s)]
        if broken:
            faults.append("%s breaks %s" % (sweep.describe(s), broken))
    ex.check(not faults, "\n".join(faults))


def check_edits(work):
    """Every draw's control file edits apply; the input edits of a draw of
    each rule and of allowed draws with every glacier and tracer apply."""
    source = small.generate(os.path.join(work, "catchment"), days=sweep.DAYS)
    with open(os.path.join(source, ex.CONTROL_FILE)) as f:
        text = f.read()
    inputs, faults = {}, []
    for index in range(600):
        draw = sweep.Draw(7, index)
        s = draw.settings
        try:
            edited = sweep.control_edit(s)(text)
            if s["warm"]:
                sweep.control_edit(s, grid_format=False)(small.state_written(text))
        except ex.Failure as failure:
            faults.append("%s: %s" % (draw.title(), failure))
            continue
        ex.check("[water_balance]" in edited, "draw %d adds no balance" % index)
        inputs.setdefault((draw.rule, s["glacier_cells"] if sweep.dynamic(s) else None,
                           s["tracer"], s["snow"] in sweep.DEPOSITION_METHODS), draw)
    for draw in inputs.values():
        folder = os.path.join(work, "input")
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(os.path.join(source, "input"), folder)
        try:
            sweep.input_edit(draw.settings)(folder)
        except (ex.Failure, OSError) as failure:
            faults.append("%s: %s" % (draw.title(), failure))
    ex.check(not faults, "\n".join(faults[:20]))


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
# in a run with units, the water to the ground only without soil, and the
# aquifer's residual only within its bound.
CONDITIONAL_DESTINATIONS = (
    ("copies in a run with units", {"response_units": [[0.2, 0.2]]}, True, None),
    ("copies without units", {"response_units": [[0.2, 0.2]]}, False, "no known destination"),
    ("ground beside the soil", {"water_to_ground": [[0.2, 0.2]]}, False, "no known destination"),
    ("ground without soil", {"water_to_ground": [[0.2, 0.2]]}, False, None),
    ("residual within its bound", {"groundwater_solver_error": [[1e-5, -1e-5]]}, False, None),
    ("residual above its bound", {"groundwater_solver_error": [[0.0, 2e-4]]}, False,
     "groundwater_solver_error reaches 0.0002 mm"),
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
    for name, check in (("rules", check_rules), ("allowed", check_allowed),
                        ("edits", lambda: check_edits(args.work)),
                        ("nonfinite", lambda: check_nonfinite(args.work)),
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
