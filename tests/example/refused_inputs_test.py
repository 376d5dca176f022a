#!/usr/bin/env python3
"""horva refuses control-file values that would create or destroy water.

Each row edits one value of a small copy of the example and runs it on one
and on two processes: the run ends with the row's code and a FATAL entry
that names the section, the label and the value (or, for a value that is
merely unusual, runs with a WARNING that names it). The unedited copy runs
with status 0.
"""

import filecmp
import json
import os
import re
import shutil
import struct
import sys

import example_test as ex
import small_catchment as small
import tracer_test
from small_catchment import Case, Then


# --- interception, evapotranspiration, snow, unsaturated zone, groundwater ---

def with_deposition(text):
    """Snow method 11 (method 5 with wind deposition) and its standard grid."""
    text = ex.replace_once("5     method: energy", "11    method: energy")(text)
    text = ex.replace_once("24  number of grids", "25  number of grids")(text)
    return text.replace("\ngw_kolmation", "\ndeposition_index.asc deposition_index fillcode = 0 "
                        "readcode = 1\ngw_kolmation")


def deposition_index(value, other=None):
    """deposition_index.asc: value in the catchment, other at row 15, column 6."""
    def edit(folder):
        with open(os.path.join(folder, "zones.asc")) as f:
            lines = f.read().splitlines()
        rows = [" ".join(w if w == "-9999" else other if (r, c) == (15, 6) and other else value
                         for c, w in enumerate(line.split(), 1)) for r, line in enumerate(lines[6:], 1)]
        with open(os.path.join(folder, "deposition_index.asc"), "w") as f:
            f.write("\n".join(lines[:6] + rows) + "\n")
    return edit


def read_again(grid, control_edit=None):
    """The standard grid read again at the first step of every day
    (periodicity = 1 D 1) from the files named with the step's date."""
    def edit(text):
        text = control_edit(text) if control_edit else text
        line = re.compile(r"^(\S+ +%s +fillcode.*)$" % re.escape(grid), flags=re.M)
        ex.check(len(line.findall(text)) == 1, "[standard_grids] has no line of %s" % grid)
        return line.sub(r"\1 periodicity = 1 D 1", text)
    return edit


def copies_with(name, value, edit_input=None, from_day=1):
    """After edit_input, the files a periodic read takes for every hour of
    three days: name with value at row 15, column 6 from the day from_day
    on, as it is before."""
    def edit(folder):
        if edit_input:
            edit_input(folder)
        with open(os.path.join(folder, name)) as f:
            lines = f.readlines()
        edited = list(lines)
        values = edited[5 + 15].split()
        values[5] = value
        edited[5 + 15] = " ".join(values) + "\n"
        for step in range(24 * 3):
            with open(os.path.join(folder, "%s_202103%02d%02d" % (name, 1 + step // 24, step % 24)),
                      "w") as f:
                f.writelines(edited if 1 + step // 24 >= from_day else lines)
    return edit


def with_flow_times(text):
    """The standard grid flow_times (s to the subbasin's outlet)."""
    text = ex.replace_once("24  number of grids", "25  number of grids")(text)
    return text.replace("\ngw_kolmation", "\nflow_times.asc flow_times fillcode = 0 readcode = 1"
                        "\ngw_kolmation")


def flow_times(name):
    """An input edit: the grid name with 1 to 4 hours to the outlet."""
    def edit(folder):
        with open(os.path.join(folder, "zones.asc")) as f:
            lines = f.read().splitlines()
        rows = [" ".join(w if w == "-9999" else str(3600 * (1 + (r + c) % 4))
                         for c, w in enumerate(line.split(), 1)) for r, line in enumerate(lines[6:], 1)]
        with open(os.path.join(folder, name), "w") as f:
            f.write("\n".join(lines[:6] + rows) + "\n")
    return edit


def from_the_external_program(file, grid, control_edit=None):
    """The grid taken from the external program's file at the first step
    only (grid interval Y), the file kept."""
    def edit(text):
        text = control_edit(text) if control_edit else text
        return ex.replace_once("[ExternalCoupling]\n0  no external program\n", (
            "[ExternalCoupling]\n1  on\nsem_ext.txt\n5  wait interval\nY\n60\n"
            "1  grids to read\n%s %s 0 2\n0  grids to write\n0  statistics\nsem_model.txt\n"
            "Continue\n" % (file, grid)))(text)
    return edit


def waiting_command(folder):
    """An input edit: the external program's command, there before the
    model waits for it."""
    with open(os.path.join(folder, "..", "sem_ext.txt"), "w") as f:
        f.write("Command=Continue\n")


def external_flow_times(folder):
    flow_times("flow_times.asc")(folder)
    flow_times("flow_times_external.asc")(folder)
    waiting_command(folder)


def refused(section, label, value, code, line):
    """value in place of the first word of the line whose free text starts
    with `line` (or the edit `line`)."""
    def edit(text):
        text, count = re.subn(r"^\S+(\s+%s)" % re.escape(line), value + r"\1", text, flags=re.M)
        ex.check(count == 1, "the control file has no line \"... %s\"" % line)
        return text
    return Case(edit if isinstance(line, str) else line, code=code,
                words="section [%s]: the value %s of \"%s\"" % (section, value, label))


def tuning(line):
    return lambda text: text + "\n[unsatzon_tuning]\n%s\n" % line


def response_units(text):
    """Spin-up units, one per soil type (process_counts_test imports this
    file, so it is imported here only when a row runs)."""
    import process_counts_test
    return process_counts_test.response_units(text)


def without_words(words):
    """A check that no entry of the diagnostics file holds words."""
    def check(folder):
        with open(os.path.join(folder, "Horva_Diag_0.xml"), encoding="utf-8",
                  errors="replace") as diag:
            if words in diag.read():
                raise ex.Failure("the diagnostics file holds \"%s\"" % words)
    return check


def bad_cell(grid, value, edit_control=None, edit_input=None):
    """A value at row 15, column 6: in the catchment, in rank 0's strip on two processes."""
    return Case(edit_control, edit_input or ex.spoil_grid_value(grid + ".asc", 15, 6, value), code=10,
                words="grid \"%s\" (%s.asc) holds %s at row 15, column 6" % (grid, grid, value))


VERTICAL_AND_LATERAL = {
    "interception_negative_storage": refused(
        "interception_model", "parameter interception storage maximum water layer thickness for ",
        "-0.35", 17, "storage per unit leaf area"),
    "evapotranspiration_negative_tau0": refused(
        "evapotranspiration", "transmissivity tau0 and tau1 for ", "-0.7", 10, "0.05  transmissivity"),
    "snow_negative_cwh": refused("snow_model", "CWH for ", "-0.1", 17, "CWH:"),
    "snow_albedo_above_one": refused("snow_model", "ALBsnow_max for ", "1.2", 17, "ALBsnow_max"),
    "snow_albedo_min_above_max": refused("snow_model", "ALBsnow_min for ", "0.95", 17, "ALBsnow_min"),
    "snow_negative_transzone": refused("snow_model", "transzone for ", "-0.75", 17, "transzone:"),
    "snow_deposition_below_minus_one": bad_cell("deposition_index", "-1.5", with_deposition,
                                                deposition_index("0", "-1.5")),
    # A value a periodic read brings is refused as at set-up.
    "snow_deposition_read_again_below_minus_one": Case(
        read_again("deposition_index", with_deposition),
        copies_with("deposition_index.asc", "-2", deposition_index("0")), code=10,
        words="grid \"deposition_index\" read again from deposition_index.asc_2021030100 holds -2 "
              "at row 15, column 6, which must be -1 or more"),
    "groundwater_kolmation_read_again_negative": Case(
        read_again("gw_kolmation_1"), copies_with("gw_kolmation_1.asc", "-1e-08"), code=10,
        words="grid \"gw_kolmation_1\" read again from gw_kolmation_1.asc_2021030100 holds -1e-08 "
              "at row 15, column 6, which must be 0 ... 1 1/s, not nodata"),
    # Something was built from these grids once at set-up, which a read
    # during the run cannot reach: refused before the first step.
    "flow_times_read_again": Case(
        read_again("flow_times", with_flow_times),
        copies_with("flow_times.asc", "7200", flow_times("flow_times.asc")), code=17,
        words="standard grid 24 \"flow_times\" (flow_times.asc) has periodicity = 1 D 1, but it "
              "cannot be read again during the run: the unsaturated zone turns its flow times (s) "
              "into whole time steps in place"),
    "flow_times_from_the_external_program": Case(
        from_the_external_program("flow_times_external.asc", "flow_times", with_flow_times),
        external_flow_times, code=1003,
        words="the external grid flow_times_external.asc is read into the internal grid "
              "\"flow_times\", but it cannot be read again during the run: the unsaturated zone "
              "turns"),
    "soil_types_read_again": Case(
        read_again("soil_types"), copies_with("soil.asc", "3"), code=17,
        words="standard grid 1 \"soil_types\" (soil.asc) has periodicity = 1 D 1, but it cannot "
              "be read again during the run: the unsaturated zone lays out the layers"),
    "lake_codes_read_again": Case(
        read_again("lake_codes"), copies_with("lake_codes.asc", "2"), code=17,
        words="standard grid 10 \"lake_codes\" (lake_codes.asc) has periodicity = 1 D 1, but it "
              "cannot be read again during the run: the unsaturated zone fills the soil of the "
              "lake cells at set-up; channel routing lists the cells of every lake"),
    # Merely unusual: snow may drift out of a catchment.
    "snow_deposition_mean_not_zero": Case(with_deposition, deposition_index("0.2"),
                                          words="\"deposition_index\" has a catchment mean of 0.2, not 0"),
    "unsatzon_readgrid_4": refused("unsatzon_model", "read control parameter for storage grids for ", "4",
                                   17, "readgrid: 0 cold start"),
    "unsatzon_negative_channel_density": Case(ex.replace_once("1 1 1  channel", "1 -1 1  channel"),
                                              code=10, words="density[2] is -1 in [unsatzon_model]"),
    "unsatzon_negative_max_error": refused("unsatzon_tuning", "max_error", "-1e-05", 17,
                                           tuning("max_error = -1e-05")),
    "unsatzon_no_iterations": refused("unsatzon_tuning", "max_iterations", "0", 17,
                                      tuning("max_iterations = 0")),
    "groundwater_method_3": refused("groundwater_flow", "method in ", "3", 17, "method: successive"),
    "groundwater_sor_2": refused("groundwater_flow", "sor-parameter in ", "2", 17, "sor-parameter"),
    "groundwater_kolmation_nodata": bad_cell("gw_kolmation_1", "-9999"),
    "groundwater_negative_kolmation": bad_cell("gw_kolmation_1", "-1e-08"),
    "groundwater_kolmation_1e300": bad_cell("gw_kolmation_1", "1e+300"),
    "groundwater_storage_coefficient_1e-300": bad_cell("gw_storage_coeff_2", "1e-300"),
}

# --- end of interception ... groundwater ---

def snow_types(count):
    return ex.replace_once("1     number of snow types", "%d     number of snow types" % count)


# --- Channel routing, reservoirs and rules, values that are no number,
# counts that size memory, failures of other processes and of writes.

CHANNEL = "(K = 0.5, KF = 2, B = 5, BF = 50, T = 1, M = 25, MF = 15, I = 0.1, L = 500, A = 0.5)"
RULES_1 = "[abstraction_rule_reservoir_1]\n5\n0 0\n1e5 0.2\n3e5 1.0\n6e5 4.0\n1.5e6 20.0\n"
SP_1 = "V0 = 1e5 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 600"


def after(anchor, addition):
    """Adds a text after a text that stands once in the control file."""
    return ex.replace_once(anchor, anchor + addition)


def reservoir_1_rules(body):
    """The rule section of reservoir 1 (the outlet) with another body."""
    return ex.replace_once(RULES_1, "[abstraction_rule_reservoir_1]\n" + body)


def output_file(name, target):
    """An output file name that is a link to target, such as /dev/full."""
    def edit(folder):
        os.symlink(target, os.path.join(folder, "..", "output", name))
    return edit


def output_folder_as_file(folder):
    """The output folder is a regular file: nothing can be created in it, also
    for root, whom no permission bits stop."""
    with open(os.path.join(folder, "..", "blocked"), "w") as f:
        f.write("not a folder\n")


ROUTING_CASES = {
    # Lake method 2 takes the elevation model for the lakes' surfaces: one
    # that holds their beds is refused, saying so (lake 2 of the 13 x 41
    # copy lies at 696.7 m + 10.5 m and 706.7 m + 0.5 m, of the example at
    # 706.7 m + 0.5 m and 703.9 m + 3.3 m).
    "lake_beds_sunk": Case(
        ex.lakes_sunk, processes=(1, 2), shape=(13, 41), code=213,
        words="Value at row 5, col 21 is 706.7 (the elevation model's 706.7 m, sunk by the "
              "maximum ponding of 0.5 m to 706.2 m);but first value of dhm for this lake was "
              "696.7 (row 5, column 20: the elevation model's 696.7 m, sunk by the maximum "
              "ponding of 10.5 m to 686.2 m);With initialization method 2 of [lake_model] the "
              "elevation model holds the lake's surface"),
    "example_lake_beds_sunk": Case(
        ex.lakes_sunk, days=1, processes=(1, 2), shape=(60, 80), code=213,
        words="Value at row 21, col 38 is 703.9 (the elevation model's 703.9 m, sunk by the "
              "maximum ponding of 3.3 m to 700.6 m);but first value of dhm for this lake was "
              "706.7 (row 19, column 38"),
    "tributary_named_twice": Case(
        ex.replace_once(" OL 3 (", " OL 2 ("), code=41,
        words="subbasin 2 is named as a tributary twice in routing description 2 (TG 1), OL 2"),
    "summed_tributary_twice": Case(
        ex.replace_once(" OL 2 (", " SUMTRIB 2&2 ("), code=41,
        words="subbasin 2 is named as a tributary twice in routing description 2 (TG 1), "
              "SUMTRIB 2"),
    "tributary_in_two_descriptions": Case(
        after("lake_2.txt V0 = 1.4e5 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 600)\n", " OL 2 " + CHANNEL + "\n"),
        code=41,
        words="subbasin 2 is named as a tributary in routing description 1 (TG 3), OL 2 and "
              "again in routing description 2 (TG 1), OL 2"),
    "inflow_numbered_twice": Case(
        lambda text: after("TG 3 (AREA = 0.95, F = 1)\n", " ZL 1 = constant 1 " + CHANNEL + "\n")(
            after("TG 1 (AREA = 0.94, F = 1)\n", " ZL 1 = constant 1 " + CHANNEL + "\n")(text)),
        code=42, words="inflow 1 stands in routing description 1 (TG 3), ZL 1 and again in "
                       "routing description 2 (TG 1), ZL 1"),
    "negative_initial_volume": Case(
        ex.replace_once(SP_1, SP_1.replace("1e5", "-1e5")), code=35,
        words="for reservoir 1: \"V0 =\" reads \"-1e5\", a volume must not be negative"),
    "connection_to_a_lake_upstream": Case(
        reservoir_1_rules("0\nHydraulicConnection { TargetReservoir = 2; ChannelWidth = 5; "
                          "ChannelBottom = 400; ChannelLength = 100; RoughnessCoeff = 30; }\n"),
        code=29, words="HydraulicConnection of reservoir 1 (TG 1) has TargetReservoir = 2, which "
                       "does not receive its outflow"),
    "week_day_8": Case(
        after("1.5e6 20.0\n", "WeekDays = 18\nstart_hour = 0\nstop_hour = 23\n"), code=17,
        words="\"WeekDays\" of column 1 reads \"18\", week days are the digits 1 (Monday) to 7"),
    "hour_24": Case(
        after("1.5e6 20.0\n", "WeekDays = 12345\nstart_hour = 8\nstop_hour = 24\n"), code=17,
        words="\"stop_hour\" of column 1 reads \"24\", an hour is a whole number from 0 to 23"),
    "fix_days_falling": Case(
        reservoir_1_rules("5 200 100\n0 0 0\n1e5 0.2 0.2\n3e5 1.0 1.0\n6e5 4.0 4.0\n"
                          "1.5e6 20.0 20.0\n"), code=17,
        words="fix day 2 reads 100; the fix days must be days of the year (1 .. 365) that rise"),
    "running_mean_not_a_number": Case(
        ex.replace_once(SP_1, SP_1 + " UseRunningAvg = x2"), code=35,
        words="\"UseRunningAvg =\" reads \"x2\", the length of the running mean must be whole"),
    "sub_step_longer_than_step": Case(
        ex.replace_once(SP_1, SP_1.replace("600", "7200")),
        words="for reservoir 1: \"dTmin =\" reads 7200 s, longer than the routing time step of 60 "
              "min"),
    "over_relaxation_nan": Case(
        ex.replace_once("1.3   sor-parameter", "nan   sor-parameter"), code=17,
        words="reads \"nan\", which is not a finite number"),
    "table_intervals_1e999": Case(
        ex.replace_once("1 1000 30 1  specific", "1 1e999 30 1  specific"), code=17,
        words="read \"1 1e999 30 1  specific discharge"),
    "routing_area_nan": Case(
        ex.replace_once("AREA = 0.95", "AREA = nan"), code=17,
        words="the area of TG 3 reads \"nan\", which is not a finite number"),
    "rule_value_1e999": Case(
        ex.replace_once("1.5e6 20.0\n", "1.5e6 1e999\n"), code=17,
        words="table row 5 reads \"1.5e6 1e999\", which holds a number beyond the range"),
    "target_capacity_inf": Case(
        after("1.5e6 20.0\n", "TargetCap = inf\n"), code=17,
        words="\"TargetCap\" of column 1 reads \"inf\", not a finite number"),
    "rule_rows_1e9": Case(
        reservoir_1_rules("1000000000\n0 0\n1e5 0.2\n3e5 1.0\n6e5 4.0\n1.5e6 20.0\n"),
        code=17, words="the row count is 1000000000, but only 5 table row(s) follow"),
    "snow_types_1e9": Case(
        ex.replace_once("\n1     number of snow types", "\n1000000000 number of snow types"),
        code=17, words="the number of snow types is 1000000000, but only 1 snow type(s) follow"),
    "storage_coefficient_on_process_1": Case(
        edit_input=ex.spoil_grid_value("gw_storage_coeff_1.asc", 3, 10, "-0.05"), code=10,
        words="grid \"gw_storage_coeff_1\" (gw_storage_coeff_1.asc) holds -0.05 at row 3, "
              "column 10"),
    "output_folder_not_a_folder": Case(
        ex.replace_once("$set $output = output/", "$set $output = blocked/"),
        edit_input=output_folder_as_file, code=26, words="(Not a directory)"),
    "disk_full": Case(
        edit_input=output_file("etp.stat", "/dev/full"), code=18,
        words="(No space left on device)"),
}

# --- Values meant as numbers that are not wholly numbers, values outside
# their ranges, and an output that would hold a number that is not finite.

def not_a_number(edit, what, text, kind="a finite number"):
    """A value meant as a number that is not wholly one of its kind."""
    return Case(edit, code=17, words='%s: "%s" is not %s' % (what, text, kind))


def whole_in_routing(edit, description, what, text):
    """A code or number of a routing description that is not a whole number."""
    return Case(edit, code=17, words='routing description %d of [routing_model]: %s reads "%s", '
                'which is not a whole number' % (description, what, text))


def in_routing(description, what, value, rule):
    return 'routing description %d of [routing_model]: %s is %s, which %s' % (
        description, what, value, rule)


ET_VALUE = '[evapotranspiration], value %d of "%s"'
CR = "coefficients CR of global radiation from sunshine duration for "
CS = "coefficients CS of sunshine duration from radiation for "
GROUNDWATER_DOMAIN = ", which %s in every cell of the groundwater domain"

NOT_WHOLLY_NUMBERS = {
    "cr_nan": not_a_number(ex.replace_once("0.2 0.6 0.2 0  CR", "nan 0.6 0.2 0  CR"),
                           ET_VALUE % (1, CR), "nan"),
    "cs_nan": not_a_number(ex.replace_once("0.072 -0.808", "nan -0.808"), ET_VALUE % (1, CS),
                           "nan"),
    "cs_1e999": not_a_number(ex.replace_once("-0.239  CS", "1e999  CS"), ET_VALUE % (4, CS),
                             "1e999"),
    "hamon_pec_nan": not_a_number(
        ex.replace_once("1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2  PEC",
                        "nan 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2  PEC"),
        "[evapotranspiration], month 1 of the PEC-parameter for HAMON-evaporation", "nan"),
    "haude_fh_1e999": not_a_number(
        ex.replace_once("0.26 0.26 0.33", "0.26 1e999 0.33"),
        "[evapotranspiration], month 2 of the fh-parameter for HAUDE-evaporation", "1e999"),
    "temperature_amplitude_nan": not_a_number(
        ex.replace_once("5 6 7 8 9 9 9 9 8 7 5 4", "5 6 nan 8 9 9 9 9 8 7 5 4"),
        ET_VALUE % (3, "monthly temperature amplitudes for "), "nan"),
    "altitude_scale_1e999": not_a_number(
        ex.replace_once("1500  altitude scale", "1e999  altitude scale"),
        ET_VALUE % (1, "altitude scale of the temperature amplitude for "), "1e999"),
    "day_share_nan": not_a_number(
        ex.replace_once("0.6 0.0  day share", "nan 0.0  day share"),
        "[evapotranspiration], fraction for temperature amplitude for day/night or the annual "
        "variability", "nan"),
    "hamon_open_water_nan": Case(
        ex.replace_once("HamonCorrectionOpenWater = 1.0", "HamonCorrectionOpenWater = nan"),
        code=17, words="the value of HamonCorrectionOpenWater in [evapotranspiration] of "
                       "catchment.ctl is not a number: \"HamonCorrectionOpenWater = nan\""),
    "write_ascii_grids_1e999": Case(
        ex.replace_once("WriteAsciiGrids = 1", "WriteAsciiGrids = 1e999"), code=17,
        words="reads \"WriteAsciiGrids = 1e999\": the value of WriteAsciiGrids, \"1e999\", is "
              "not a whole number"),
    "snow_type_code_nan": not_a_number(
        ex.replace_once("1 snow {", "nan snow {"),
        "[LayeredSnowProperties], the code of snow type 1", "nan", "a whole number"),
    "statistic_code_2024x": Case(
        ex.replace_once("etr.stat 2024", "etr.stat 2024x"), code=17,
        words="Name of the ETR-stat.file for ; [evapotranspiration], line 214 of "
              "catchment.ctl reads \"2024x\""),
    "fillcode_0x": Case(
        ex.replace_once("regression_regions  fillcode = 0", "regression_regions  fillcode = 0x"),
        code=17, words="reads \"regions.asc  regression_regions  fillcode = 0x readcode = 1\""),
    "statcode_1e999": Case(
        ex.replace_once("statcode = 2024", "statcode = 1e999"), code=17,
        words="statfile = max_ponding_storage.stat statcode = 1e999\": not found!"),
    "irrigation_day_10x": Case(
        ex.replace_once("starting from 5 10 with", "starting from 5 10x with"), code=17,
        words="an irrigation schedule of [irrigation_table] reads \"10x\", which is not a "
              "whole number"),
    "subbasin_code_1e999": not_a_number(
        ex.replace_once("1 2 3  subbasin codes", "1e999 2 3  subbasin codes"),
        "[unsatzon_model], code[1]", "1e999", "a whole number"),
    "tg_code_3x": whole_in_routing(ex.replace_once("TG 3 (", "TG 3x ("), 1,
                                   "the subbasin code of TG", "3x"),
    "sp_number_2x": whole_in_routing(ex.replace_once(" SP 2 (", " SP 2x ("), 1,
                                     "the number of SP 1", "2x"),
    "al_number_1e999": whole_in_routing(ex.replace_once("AL 1 = extern", "AL 1e999 = extern"), 2,
                                        "the number of AL 1", "1e999"),
    "routing_sub_intervals_1x": not_a_number(
        ex.replace_once("1 1000 30 1  specific", "1 1000 30 1x  specific"),
        "[routing_model], the number of sub-intervals of a time step", "1x", "a whole number"),
    "routed_statistic_code_2001x": not_a_number(
        ex.replace_once("routed.stat 2001", "routed.stat 2001x"),
        "[routing_model], name of the Qstatfiles for ", "2001x", "a whole number"),
    "surface_storage_statistic_code_4001x": not_a_number(
        ex.replace_once("qssr.stat 4001", "qssr.stat 4001x"),
        "[SurfaceRoutingModel], the code of the statistics of the water on the land", "4001x",
        "a whole number"),
    "special_output_count_3x": Case(
        ex.replace_once("3    number of outputs", "3x    number of outputs"), code=17,
        words="the number of special outputs in [special_output] of catchment.ctl reads "
              "\"3x\", which is not a whole number"),
}

OUT_OF_RANGE = {
    "storage_coefficient_1e308": Case(
        edit_input=ex.spoil_grid_value("gw_storage_coeff_2.asc", 15, 6, "1e308"), code=10,
        words="grid \"gw_storage_coeff_2\" (gw_storage_coeff_2.asc) holds 1e+308 at row 15, "
              "column 6" +
              GROUNDWATER_DOMAIN % "must be 1e-07 ... 1"),
    "conductivity_1e308": Case(
        edit_input=ex.spoil_grid_value("gw_k_1.asc", 15, 6, "1e308"), code=10,
        words="grid \"gw_k_x_1\" (gw_k_1.asc) holds 1e+308 at row 15, column 6" +
              GROUNDWATER_DOMAIN % "must not be negative nor above 1 m/s (clean gravel)"),
    "latent_heat_negative": Case(
        ex.replace_once("334000  dTModLatHeat", "-1e30  dTModLatHeat"), code=17,
        words="section [heat_transfer]: the value -1e+30 of \"dTModLatHeat\" must be above 0"),
    "ice_conductivity_negative": refused("heat_transfer", "dTModLamIce", "-1", 17, "dTModLamIce"),
    "longest_heat_step_below_shortest": refused("heat_transfer", "dTModLongestStep", "30", 17,
                                                "dTModLongestStep"),
    "idw_without_stations": Case(
        ex.replace_once("2 6248 8  IDW", "2 6248 0  IDW"), code=70,
        words="section [temperature]: the maximum number of stations must be at least 1; it is 0"),
    "latitude_91": refused("coordinates", "geographic latitude", "91", 17, "latitude"),
    "kelsqi_negative": Case(
        ex.replace_once("30 40 35  kelsqi", "-30 40 35  kelsqi"), code=10,
        words="kelsqi[1] is -30 in [unsatzon_model]"),
    "ddf_ice_negative": Case(
        ex.replace_once("7.0   DDFice", "-7    DDFice"), code=80,
        words="DDFice of [ice_firn] in catchment.ctl (line 322 of catchment.ctl) is -7; give "
              "0 ... 100 (mm/K/day)"),
    "manning_negative": Case(
        ex.replace_once("M = 25, MF = 15, I = 0.1795", "M = -25, MF = 15, I = 0.1795"), code=17,
        words=in_routing(2, "Manning coefficient of the mean channel of OL 2", "-25",
                         "must be above 0 and at most 1000")),
    "slope_zero": Case(
        ex.replace_once("I = 0.1949", "I = 0"), code=17,
        words=in_routing(2, "slope of OL 3", "0", "must be above 0")),
    "area_zero": Case(
        ex.replace_once("AREA = 0.95", "AREA = 0"), code=17,
        words=in_routing(1, "the area of TG 3", "0", "must be above 0 and at most 1e7 (km2)")),
    "area_negative": Case(
        ex.replace_once("AREA = 0.94", "AREA = -5"), code=17,
        words=in_routing(2, "the area of TG 1", "-5", "must be above 0 and at most 1e7 (km2)")),
    "abstraction_minimum_negative": Case(
        ex.replace_once("abstraction_1.txt 0.1 0.3", "abstraction_1.txt -1 0.3"), code=17,
        words=in_routing(2, "the minimum flow of AL 1", "-1", "must be 0 or more")),
    "irrigation_30_february": Case(
        ex.replace_once("starting from 5 10 with", "starting from 2 30 with"), code=29,
        words="an irrigation schedule of [irrigation_table] gives the date 2 30 (month day), "
              "which is no day of the year"),
    "snow_density_zero": Case(
        ex.replace_once("DensityDry = 400 400 400", "DensityDry = 0 400 400"), code=52,
        words="value out of range for \"DensityDry\": 0 (must be above 0)"),
    "groundwater_alpha_1_7": refused("groundwater_flow", "alpha in ", "1.7", 17, "alpha"),
    "groundwater_alpha_negative": refused("groundwater_flow", "alpha in ", "-1", 17, "alpha"),
}


def leaky_aquifer(folder):
    """Two values at the edges of their ranges, at row 15, columns 6 and 7:
    the fastest leakage between the layers (1 1/s) over a lower layer that
    stores least (a storage coefficient of 1e-7)."""
    for name, value in (("gw_kolmation_1.asc", "1"), ("gw_storage_coeff_2.asc", "1e-07")):
        for column in (6, 7):
            ex.spoil_grid_value(name, 15, column, value)(folder)


def lake_victoria(text):
    """The lake model off, so that reservoir 1 is a plain one, holding what
    Lake Victoria holds (some 2.7e12 m3), with a rule table of its size."""
    text = ex.replace_once("1      on: the cells of lake_codes", "0      on: the cells of lake_codes")(text)
    text = ex.replace_once(SP_1, SP_1.replace("V0 = 1e5", "V0 = 2.7e12"))(text)
    return reservoir_1_rules("5\n0 0\n1e12 20\n2e12 200\n3e12 1000\n1e13 5000\n")(text)


EXTREMES_WITHIN_RANGE = {
    # What real catchments hold runs: a reach of 1500 km, a natural lake
    # routed as a reservoir, a lake's bed below the Dead Sea's shore, and a
    # station of gridded data on such a cell.
    "reach_of_1500_km": Case(ex.replace_once("L = 1000", "L = 1.5e6"), days=1),
    "lake_victoria_as_a_reservoir": Case(lake_victoria, days=1),
    "dead_sea_floor_in_the_elevation_model": Case(
        edit_input=ex.spoil_grid_value("dem.asc", 11, 13, "-730"), days=1),
    # Beyond the largest lake: refused.
    "reservoir_volume_beyond_the_caspian_sea": Case(
        ex.replace_once(SP_1, SP_1.replace("V0 = 1e5", "V0 = 1e15")), code=35,
        words="for reservoir 1: \"V0 =\" reads \"1e15\", a volume must be at most 1e14 m3"),
    "station_on_the_dead_sea_floor": Case(
        edit_input=lambda folder: station_header("temperature.txt", "Z", "-730")(folder),
        days=1),
    # Values at the edges of their ranges keep the model finite (the daily
    # look at the state would end the run with 20); the set-up warns of the
    # stiff leakage.
    "leakage_at_the_edges_of_its_ranges": Case(
        edit_input=leaky_aquifer,
        words="gw_kolmation_1 * time step / storage coefficient is 3.6e+10 at row 15, column 6"),
}


# --- the zone grid and the statistics files ---

def zone_cells(value, cells):
    """value in the cells (row, column) of zones.asc."""
    edits = [ex.spoil_grid_value("zones.asc", r, c, value) for r, c in cells]
    def edit(folder):
        for e in edits:
            e(folder)
    return edit


CODES_AND_OUTPUTS = {
    # A cell of the catchment without a subbasin: refused where the zone grid
    # is read, not where the unsaturated zone misses its subbasin.
    "zone_code_0": Case(
        edit_input=zone_cells("0", ((15, 6), (15, 7), (16, 6))), code=3,
        words="invalid zone code 0 in the zone grid zones.asc ([zone_grid]) at row 15, column 6"),
    # Routed discharge has no catchment total: mode 1 would write dates alone.
    "routed_discharge_mode_1": Case(
        ex.replace_once("routed.stat 2001", "routed.stat 1001"), code=17,
        words="the statistic code 1001 of the routed discharge routed.stat (\"name of the "
              "Qstatfiles for \") asks for the catchment total alone (mode 1)"),
}

# --- counts and limits that would run past memory ---

DESCRIPTOR_COUNTS = {
    "descriptor_count_%s" % name: refused("routing_model", "number column descriptors for", count,
                                          17, "column descriptors of observed discharge")
    for name, count in (("minus_1", "-1"), ("minus_2", "-2"), ("minus_1000", "-1000"))}

INNER_STEPS = {
    "shortest_inner_step_%s" % name: Case(
        ex.replace_once("\n1  shortest inner step (s)", "\n%s  shortest inner step (s)" % value),
        code=10, words="the minimum sub time step of %s s would split a sub-step of 3600 s into up to "
                       "%s inner steps, more than 1e+06" % (value, steps))
    for name, value, steps in (("1e-6", "1e-06", "3.6e+09"), ("1e-300", "1e-300", "3.6e+303"))}

# --- files that cannot be read or written: the message gives the system's reason ---

def beside_input(change):
    """An edit of the work folder, which holds the input folder."""
    return lambda folder: change(os.path.dirname(folder))


def control_file_a_folder(work):
    os.remove(os.path.join(work, ex.CONTROL_FILE))
    os.mkdir(os.path.join(work, ex.CONTROL_FILE))


UNREADABLE_FILES = {
    "input_folder_missing": Case(edit_input=shutil.rmtree, code=21,
                                 words="error opening input/zones.asc (No such file or directory)"),
    "control_file_missing": Case(
        edit_input=beside_input(lambda work: os.remove(os.path.join(work, ex.CONTROL_FILE))),
        code=28, words="error opening catchment.ctl (No such file or directory)"),
    "control_file_a_folder": Case(edit_input=beside_input(control_file_a_folder), code=19,
                                  words="read error catchment.ctl ! (0) (Is a directory)"),
    "intern_copy_a_folder": Case(
        edit_input=beside_input(lambda work: os.mkdir(os.path.join(work, "catchment.ctl.intern"))),
        code=26, words="the output file catchment.ctl.intern (the preprocessed copy of the "
        "control file) cannot be written (Is a directory)"),
}

# --- outputs that would replace a file the run reads ---

def hourly_table(folder, name):
    """input/name: a dated table of one value column over March 2021."""
    rows = ["%d %d %d %d 0.5" % (2021, 3, day, hour) for day in range(1, 32) for hour in range(24)]
    with open(os.path.join(folder, name), "w") as f:
        f.write("YY MM DD HH q\n" + "\n".join(rows) + "\n")


def replaces_input(edit_control, name, words, edit_input=None):
    """A run whose output would replace input/name: refused at set-up with
    code 26, and input/name keeps its bytes."""
    def prepare(folder):
        if edit_input:
            edit_input(folder)
        shutil.copy(os.path.join(folder, name), os.path.join(folder, "..", name + ".before"))

    def kept(work):
        ex.check(filecmp.cmp(os.path.join(work, "input", name),
                             os.path.join(work, name + ".before"), shallow=False),
                 "the run changed input/%s" % name)
    return Case(edit_control, prepare, code=26, words=words, check_outputs=kept)


def lake_table(name):
    return ex.replace_once("file = lake_2.txt", "file = " + name)


def lake_table_link(folder):
    os.symlink(os.path.join("..", "input", "dem.asc"), os.path.join(folder, "..", "output", "lake_2.txt"))


def inflow_from(name):
    return after("TG 1 (AREA = 0.94, F = 1)\n", " ZL 1 = extern %s 1 0 %s\n" % (name, CHANNEL))


REPLACED_INPUTS = {
    "lake_table_is_the_elevation_model": replaces_input(
        lake_table("../input/dem.asc"), "dem.asc",
        "the output file output/../input/dem.asc (the table of reservoir 2, \"file =\" of SP 2 of "
        "[routing_model]) is the file input/dem.asc that the run reads as the elevation model of "
        "[elevation_model]"),
    "lake_table_through_dots": replaces_input(
        lake_table("./../input/../input/dem.asc"), "dem.asc",
        "is the file input/dem.asc that the run reads as the elevation model"),
    "lake_table_a_link_to_an_input": replaces_input(
        None, "dem.asc", "the output file output/lake_2.txt (the table of reservoir 2",
        lake_table_link),
    "abstraction_table_is_the_zone_grid": replaces_input(
        ex.replace_once("AL 1 = extern abstraction_1.txt", "AL 1 = extern ../input/zones.asc"),
        "zones.asc",
        "the output file output/../input/zones.asc (the table of abstraction 1, AL 1 of "
        "[routing_model]) is the file input/zones.asc that the run reads as the zone grid of "
        "[zone_grid]"),
    "abstraction_table_is_the_control_file": replaces_input(
        ex.replace_once("AL 1 = extern abstraction_1.txt", "AL 1 = extern ../catchment.ctl"),
        os.path.join("..", "catchment.ctl"),
        "(the table of abstraction 1, AL 1 of [routing_model]) is the file catchment.ctl that the "
        "run reads as the control file"),
    "statistics_is_a_station_file": replaces_input(
        ex.replace_once("etp.stat 2024", "../input/precipitation.txt 2024"), "precipitation.txt",
        "is the file input/precipitation.txt that the run reads as the station file of "
        "[precipitation]"),
    "grid_output_is_a_standard_grid": replaces_input(
        ex.replace_once("exkorr.asc  correction factor of the radiation\n0   its write code",
                        "../input/soil.asc  correction factor of the radiation\n1   its write code"),
        "soil.asc",
        "the output file output/../input/soil.asc (the output of the grid \"radiation_correction\")"
        " is the file input/soil.asc that the run reads as the standard grid \"soil_types\""),
    "lake_table_is_the_observed_discharge": replaces_input(
        lambda text: lake_table("../input/observed.txt")(
            ex.replace_once("none  no observed discharge", "input/observed.txt  observed")(text)),
        "observed.txt",
        "is the file input/observed.txt that the run reads as the observed discharge of "
        "[routing_model]", lambda folder: hourly_table(folder, "observed.txt")),
    # The lake's description comes first: its table must not be written before
    # the inflow of the next description is known.
    "lake_table_is_a_later_inflow": replaces_input(
        lambda text: lake_table("../input/inflow.txt")(inflow_from("input/inflow.txt")(text)),
        "inflow.txt",
        "is the file input/inflow.txt that the run reads as the inflow file of ZL 1 of "
        "[routing_model]", lambda folder: hourly_table(folder, "inflow.txt")),
    # Written only at the end of the run, and found before its first step.
    "state_file_a_folder": Case(
        edit_input=beside_input(lambda work: os.mkdir(os.path.join(work, "output",
                                                                   "unsatzon_state_0"))),
        code=26, words="the output file output/unsatzon_state_0 (the state file of "
                       "[unsatzon_model]) cannot be written (Is a directory); found before the "
                       "first step"),
    "sunshine_memory_a_folder": Case(
        edit_input=beside_input(lambda work: os.mkdir(os.path.join(work, "output", "SSDTemp"))),
        code=26, words="the output file output/SSDTemp (the sunshine memory of [evapotranspiration] "
                       "beside its state file) cannot be written (Is a directory)"),
}

# --- the model step: every module steps with the data that give the dates ---

DAILY_SUMS = ("precipitation", "global_radiation")


def daily_stations(folder):
    """An input edit: every station file as daily data, each day stamped
    with the day at hour 0 (sums of precipitation and radiation, means of
    the others; missing hours left out)."""
    for name in ("temperature", "precipitation", "air_humidity", "wind_speed", "global_radiation"):
        path = os.path.join(folder, name + ".txt")
        with open(path) as f:
            lines = f.read().splitlines()
        days = {}
        for line in lines[5:]:
            words = line.split()
            days.setdefault(tuple(words[:3]), []).append([float(v) for v in words[4:]])
        out = lines[:5]
        for day, hours in sorted(days.items()):
            values = []
            for station in range(len(hours[0])):
                got = [h[station] for h in hours if h[station] > -999]
                value = (sum(got) if name in DAILY_SUMS else sum(got) / len(got)) if got else -9999
                values.append("%.3f" % value)
            out.append(" ".join(day) + " 00 " + " ".join(values))
        with open(path, "w") as f:
            f.write("\n".join(out) + "\n")


def daily(text):
    """The control file for daily data as the docs give it: every step 1440
    minutes, min_to_int_end 1440, the period ending at hour 0 of its last day."""
    return ex.replace_lines(text, (
        (r"^60(\s+time interval)", r"1440\1", 12), (r"^60(\s+time step in minutes)", r"1440\1", 5),
        (r"^60(\s+min_to_int_end)", r"1440\1"), (r"^23(\s+end hour)", r"0\1")))


def module_step(header, minutes):
    """The time interval of the module whose section starts with header."""
    def edit(text):
        start = text.index(header + "\n")
        rest = re.sub(r"^\d+(\s+time interval)", minutes + r"\1", text[start:], count=1, flags=re.M)
        return text[:start] + rest
    return edit


def chain(*edits):
    def edit(text):
        for e in edits:
            text = e(text)
        return text
    return edit


def step_refused(module, minutes, data_step, variable="temperature"):
    return ("the time step %s minutes of %s (\"time interval for %s\" in [%s] of catchment.ctl) "
            "differs from the step of the meteorological data, %d minutes (\"time step in minutes\" "
            "of [%s]" % (minutes, module, module, module, data_step, variable))


def with_night_temperature(text):
    """The meteorological variable temperature_night, interpolated like the
    temperature from its own station file."""
    text = ex.replace_lines(daily(text), (
        (r"^5(\s+number of meteorological variables)", r"6\1"),
        (r"^global_radiation$", "global_radiation\ntemperature_night")))
    start, end = text.index("[temperature]\n"), text.index("[precipitation]\n")
    night = text[start:end].replace("[temperature]", "[temperature_night]").replace(
        "temperature.txt", "temperature_night.txt").replace("temperature.asc 355", "temperature_night.asc 0")
    return text[:end] + night + text[end:]


def daily_stations_and_night(folder):
    """Daily stations, and a night temperature that equals the temperature."""
    daily_stations(folder)
    shutil.copy(os.path.join(folder, "temperature.txt"), os.path.join(folder, "temperature_night.txt"))


NO_AMPLITUDE = ex.replace_once("5 6 7 8 9 9 9 9 8 7 5 4  daily", "0 0 0 0 0 0 0 0 0 0 0 0  daily")

MODEL_STEPS = {
    # Evapotranspiration took 120 minutes per hourly step: twice the water.
    "evapotranspiration_step_twice_the_data_step": Case(
        module_step("[evapotranspiration]", "120"), code=63,
        words=step_refused("evapotranspiration", 120, 60)),
    "balance_step_twice_the_data_step": Case(
        lambda text: text + ex.BALANCE_SECTION.replace("60  time interval", "120  time interval"),
        code=63, words=step_refused("water_balance", 120, 60)),
    "daily_data": Case(daily, daily_stations, days=3),
    # Stamped at the end of the day, so that 60 minutes pass min_to_int_end.
    "daily_data_snow_hourly": Case(
        chain(daily, ex.replace_once("1440  min_to_int_end", "0  min_to_int_end"),
              module_step("[snow_model]", "60")), daily_stations,
        days=3, code=63, words=step_refused("snow_model", 60, 1440)),
    # Daily steps: a given night temperature is the night's. With all of the
    # day's amplitude in the night (day share 0) the day part keeps the
    # temperature, and the night part takes the given one: the temperature
    # itself, as without any amplitude.
    "daily_data_night_temperature_given": Case(
        chain(with_night_temperature, ex.replace_once("0.6 0.0  day share", "0 0.0  day share")),
        daily_stations_and_night, days=3,
        like=small.Reference(chain(daily, NO_AMPLITUDE), daily_stations)),
}


def time_keys_on_one_line(text):
    """[model_time] in its key form (timestep set), every key on one line with
    the minute keys last."""
    text = ex.replace_once("WriteAsciiGrids = 1\n", "WriteAsciiGrids = 1\ntimestep = 60\n")(text)
    start = text.index("[model_time]\n")
    end = text.index("\n\n", start)
    return text[:start] + ("[model_time]\nstarthour = 0 startday = 1 startmonth = 3 startyear = 2021 "
                           "endhour = 23 endday = $endday endmonth = $endmonth endyear = 2021 "
                           "endminute = 0 startminute = 0") + text[end:]


def names_the_users_line(edited, words):
    """A check of the refused run: its FATAL entry names the line of the
    control file the user wrote that holds `edited`, not of the copy."""
    def check(work):
        with open(os.path.join(work, ex.CONTROL_FILE)) as f:
            lines = f.read().splitlines()
        number = [k for k, line in enumerate(lines, 1) if line.startswith(edited)]
        ex.check(len(number) == 1, "the control file has no line \"%s...\"" % edited)
        expected = words % number[0]
        ex.check(any(expected in t for t in small.fatal_entries(work)),
                 "no FATAL entry with \"%s\"" % expected)
    return check


def routing_period(days):
    return lambda text: re.sub(r"^\$set \$endday = \d+$", "$set $endday = %d" % days, text,
                               flags=re.M)


CONTROL_FILE_FORMS = {
    "model_time_keys_on_one_line": Case(time_keys_on_one_line, like=small.Reference()),
    "mistyped_key_warned": Case(
        ex.replace_once("WriteAsciiGrids = 1\n", "WriteAsciiGrids = 1\nwriteasciigrids = 1\n"),
        words="\"writeasciigrids\" is no key of [output_interval], whose keys are WriteAsciiGrids"),
    "error_names_the_users_line": Case(
        ex.replace_once("1        start day", "x        start day"), code=17,
        words="starting day in ; [model_time], line",
        check_outputs=names_the_users_line("x        start day",
                                           "[model_time], line %d of catchment.ctl reads \"x\"")),
    # A concentration factor of 1 or less concentrates nothing: the run
    # routes as with 1.
    "concentration_factor_0": Case(
        ex.replace_once("1.0  concentration factor", "0  concentration factor"), days=1,
        like=small.Reference()),
    "concentration_factor_one_half": Case(
        ex.replace_once("1.0  concentration factor", "0.5  concentration factor"), days=1,
        like=small.Reference()),
    # Routing alone from daily lines: the message says that it needs a line
    # per step.
    "routing_alone_from_daily_runoff": Case(
        ex.replace_once("qg.stat 4001", "qg.stat 4024"),
        then=small.Then("routing.ctl", routing_period(2), ("-mode:routing",)), code=1420, level=1,
        words="in output/qg.stat: its lines lie 1440 minutes apart (2021-03-01 23:00, 2021-03-02 "
              "23:00), but routing-only mode needs the runoff of every routing step (60 minutes), "
              "one line per step"),
    # Routing alone over a day more than the runoff of the run holds.
    "routing_alone_beyond_the_runoff": Case(
        then=small.Then("routing.ctl", routing_period(3), ("-mode:routing",)), code=1420,
        words="output/qg.stat ends at 2021-03-02 23:00, before the end of the model period, "
              "2021-03-03 23:00"),
}


# --- routing descriptions whose lines end in a value: the value ends with its
# line, and the run routes as the same description written on one line ---

def description_lines(text):
    """The example's descriptions without parentheses, every keyword in
    column 1: each line but the last ends in a value."""
    start = text.index("TG 3 (AREA")
    end = text.index("end of the descriptions", start)
    lines = [re.sub(r"[(),]", "", line).strip() for line in text[start:end].splitlines()]
    return text[:start] + "\n".join(lines) + "\n" + text[end:]


INFLOW = " ZL 1 = constant 0.5 " + CHANNEL


LINE_ENDS = {
    "description_lines_end_in_values": Case(description_lines, days=1, like=small.Reference()),
    "inflow_after_the_area_factor": Case(
        ex.replace_once("TG 1 (AREA = 0.94, F = 1)\n",
                        "TG 1 area = 0.94 factor = 1\n" + INFLOW.strip() + "\n"),
        days=1, like=small.Reference(after("TG 1 (AREA = 0.94, F = 1)\n", INFLOW + "\n"))),
}

# --- values of the state file a warm start reads: wholly finite numbers, and
# volumes and storages not negative ---

def state_value(section, marker, word, value):
    """A run, then a warm start from its files in which the line with
    `marker` of `section` of unsatzon_state_0 holds value as its word."""
    def edit_work(work):
        for name in os.listdir(os.path.join(work, "output")):
            shutil.copy(os.path.join(work, "output", name), os.path.join(work, "input", name))
        path = os.path.join(work, "input", "unsatzon_state_0")
        with open(path) as f:
            lines = f.read().split("\n")
        start = lines.index(section)
        at = next(k for k in range(start, len(lines)) if marker in lines[k])
        words = lines[at].replace("(", " (", 1).split()
        words[word] = value
        lines[at] = " ".join(words)
        with open(path, "w") as f:
            f.write("\n".join(lines))
    return small.Then(ex.CONTROL_FILE, lambda text: small.warm_started(small.state_written(text), 1),
                      edit_work=edit_work)


def refused_state(section, marker, word, value, what, rule):
    return Case(small.state_written, days=1, then=state_value(section, marker, word, value), code=71,
                words="%s reads \"%s\", which %s" % (what, value, rule))


LAKE = "reservoir 2 of routing subbasin 3"
NOT_FINITE = "is not a finite number"

STATE_VALUES = {
    "state_lake_volume_nan": refused_state("[routing_model]", "(reservoir 1)", 0, "nan",
                                           "the volume and concentrations of " + LAKE,
                                           NOT_FINITE),
    "state_lake_volume_abc": refused_state("[routing_model]", "(reservoir 1)", 0, "abc",
                                           "the volume and concentrations of " + LAKE,
                                           NOT_FINITE),
    "state_lake_volume_negative": refused_state("[routing_model]", "(reservoir 1)", 0, "-1e+300",
                                                "the volume of " + LAKE, "must not be negative"),
    "state_soil_runoff_glued": refused_state("[unsatzon_model]", "(QDd[0][1])", 0, "0x", "QDd",
                                             NOT_FINITE),
    "state_surface_runoff_inf": refused_state("[SurfaceRoutingModel]", "(QDd[0][1])", 0, "inf",
                                              "the direct runoff storage of zone 1", NOT_FINITE),
    "state_glacier_runoff_nan": refused_state("[snow_model]", "Qice_slr", 1, "nan",
                                              "Qice_slr of subbasin 1", NOT_FINITE),
    "state_daylight_steps_glued": Case(
        small.state_written, days=1, then=state_value("[evapotranspiration]", "(daylight", 1, "5x"),
        code=71, words='5x (daylight period running and its steps; grid SSDTemp)" is not two whole '
                       'numbers'),
}

# --- what a warm start reads back beside the state file and in it: values
# that no run leaves end it at set-up, before any file is written. The rows
# share the former run (half a day, ended at 11:00) on each process count.

def warm_from_noon(*edits):
    def edit(text):
        for e in edits:
            text = e(text)
        return small.warm_started(small.state_written(text), 1, 12)
    return edit


def former_half_day(name, *edits):
    def edit(text):
        for e in edits:
            text = e(text)
        return small.ended_before(12)(small.state_written(text))
    return small.FormerRun(name, edit)


def owing_fields(text):
    """The fields watered from groundwater beyond what the baseflow gives,
    whose soil then owes water (IrrigationOwed_End)."""
    import balance_closure_test  # it imports this table
    return balance_closure_test.fields_beyond_the_baseflow(text)


HALF_DAY = former_half_day("half_day")
OWING_HALF_DAY = former_half_day("owing_half_day", owing_fields)


def binary_cell(name, row, column, value):
    """Cell (row, column) of the binary double grid input/name holds value."""
    def edit(folder):
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            data = bytearray(f.read())
        ncols = int(struct.unpack_from("<d", data, 0)[0])
        struct.pack_into("<d", data, 8 * (12 + (row - 1) * ncols + column - 1), value)
        with open(path, "wb") as f:
            f.write(data)
    return edit


def moved_east(name):
    """The binary double grid input/name a cell further east: a grid of
    another model."""
    def edit(folder):
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            data = bytearray(f.read())
        x, cell = struct.unpack_from("<d", data, 16)[0], struct.unpack_from("<d", data, 32)[0]
        struct.pack_into("<d", data, 16, x + cell)
        with open(path, "wb") as f:
            f.write(data)
    return edit


def state_word(section, marker, word, value, file="unsatzon_state_0"):
    """The line with `marker` of `section` of input/file holds value as its
    word."""
    def edit(folder):
        path = os.path.join(folder, file)
        # A version that writes no such file: the warm start runs without.
        if not os.path.exists(path):
            return
        with open(path) as f:
            lines = f.read().split("\n")
        start = lines.index(section) if section else 0
        at = next(k for k in range(start, len(lines)) if marker in lines[k])
        words = lines[at].replace("(", " (", 1).split()
        words[word] = value
        lines[at] = " ".join(words)
        with open(path, "w") as f:
            f.write("\n".join(lines))
    return edit


def nothing_written(work):
    written = os.listdir(os.path.join(work, "output"))
    ex.check(not written, "the refused warm start wrote %s" % " ".join(sorted(written)))


def refused_warm_start(edit_state, code, words, former=HALF_DAY, edit_control=warm_from_noon()):
    return Case(edit_control, days=1, former=former, edit_state=edit_state, code=code,
                words=words, check_outputs=nothing_written)


# Row 3, column 10 lies in the strip of rank 1 on two processes.
SUM_END = "input/precipitation.sum_End holds %s at row 3, column 10, which "
COUNT_END = "input/precipitation.count_End holds %s at row 3, column 10, which must be a whole " \
            "number of values 0 ... 24 (the steps of a day of 60 minutes)"
PRECIPITATION_VALUES = "must lie within its 12 values times 0 ... 903 (the lower and upper limit " \
    "0 ... 200 of [precipitation], times the correction factor 1.02 ... 4.3 of " \
    "[precipitation_correction], times the factor 1 ... 1.05 of rule 1 of [RegionalSuperposition])"
ANOTHER_GRID = " holds 24 columns x 20 rows of cells of 100 from (2.7001e+06, 1.2e+06) with nodata " \
    "-9999, not the model grid of 24 columns x 20 rows of cells of 100 from (2.7e+06, 1.2e+06)"
OWED_END = "input/IrrigationOwed_End holds %s at row 3, column 10, which must be 0 ... 586 mm " \
           "(the water of the cell's soil column of brown earth when saturated)"
STATE_LINE = "the state file input/unsatzon_state_0, line %d: %s reads \"%s\", which %s"

WARM_START_FILES = {
    "state_precipitation_sum_nan": refused_warm_start(
        binary_cell("precipitation.sum_End", 3, 10, float("nan")), 22,
        SUM_END % "nan" + "is not a finite number"),
    "state_precipitation_sum_negative": refused_warm_start(
        binary_cell("precipitation.sum_End", 3, 10, -5.0), 22,
        SUM_END % "-5" + PRECIPITATION_VALUES),
    "state_precipitation_sum_1e300": refused_warm_start(
        binary_cell("precipitation.sum_End", 3, 10, 1e300), 22,
        SUM_END % "1e+300" + PRECIPITATION_VALUES),
    "state_precipitation_count_nan": refused_warm_start(
        binary_cell("precipitation.count_End", 3, 10, float("nan")), 22, COUNT_END % "nan"),
    "state_precipitation_count_half": refused_warm_start(
        binary_cell("precipitation.count_End", 3, 10, 0.5), 22, COUNT_END % "0.5"),
    "state_precipitation_count_1e6": refused_warm_start(
        binary_cell("precipitation.count_End", 3, 10, 1e6), 22, COUNT_END % "1e+06"),
    "state_precipitation_sum_of_another_grid": refused_warm_start(
        moved_east("precipitation.sum_End"), 22, "input/precipitation.sum_End" + ANOTHER_GRID),
    "state_irrigation_owed_1e300": refused_warm_start(
        binary_cell("IrrigationOwed_End", 3, 10, 1e300), 22, OWED_END % "1e+300",
        former=OWING_HALF_DAY, edit_control=warm_from_noon(owing_fields)),
    "state_irrigation_owed_of_another_grid": refused_warm_start(
        moved_east("IrrigationOwed_End"), 22, "input/IrrigationOwed_End" + ANOTHER_GRID,
        former=OWING_HALF_DAY, edit_control=warm_from_noon(owing_fields)),
    "state_reservoir_volume_1e308": refused_warm_start(
        state_word("[routing_model]", "(reservoir 1)", 0, "1e308"), 71,
        STATE_LINE % (4, "the volume of " + LAKE, "1e+308",
                      "must be at most 1e+14 m3, as V0 of the control file")),
    "state_reservoir_volume_2e14": refused_warm_start(
        state_word("[routing_model]", "(reservoir 1)", 0, "2e14"), 71,
        STATE_LINE % (4, "the volume of " + LAKE, "2e+14",
                      "must be at most 1e+14 m3, as V0 of the control file")),
    "state_soil_interflow_storage_negative": refused_warm_start(
        state_word("[unsatzon_model]", "(QIi[0][1])", 0, "-1"), 71,
        STATE_LINE % (51, "QIi (what the interflow storage of zone 1 holds)", "-1",
                      "must not be negative")),
    "state_surface_interflow_storage_negative": refused_warm_start(
        state_word("[SurfaceRoutingModel]", "(QIi[0][1])", 0, "-1"), 71,
        STATE_LINE % (71, "the interflow storage of zone 1", "-1", "must not be negative")),
    "state_soil_flow_time_record_negative": refused_warm_start(
        state_word("[unsatzon_model]", "(zoneFZT_QD", 0, "-1"), 71,
        STATE_LINE % (48, "the weight sum n of a flow-time record of zone 1", "-1",
                      "must not be negative")),
    "state_surface_flow_time_record_negative": refused_warm_start(
        state_word("[SurfaceRoutingModel]", "(zoneFZT_QD", 1, "-1"), 71,
        STATE_LINE % (68, "the runoff sum sx of a flow-time record of zone 1", "-1",
                      "must not be negative")),
    "state_daylight_flag_2": refused_warm_start(
        state_word("[evapotranspiration]", "(daylight", 0, "2"), 71,
        STATE_LINE % (96, "the flag of the daylight period in [evapotranspiration]", "2",
                      "must be 1 (a daylight period runs) or 0 (none runs)")),
    # A line of 24 steps cannot have run 24 of them and still be open.
    "state_statistic_line_of_more_steps": refused_warm_start(
        state_word("", "(qd.stat)", 1, "24", file="StatisticLines_End"), 71,
        "the steps of the open line of the statistic qd.stat reads \"24\", which must be 0 ... 23 "
        "(a line of code 4024 takes 24 steps)"),
}

# --- grid files: each row a line of ncols values, nothing behind the last
# row, a binary grid exactly as long as its header says, and a header's
# centre read as a centre ---

def grid_lines(name, change):
    """change(lines) edits the lines of the ASCII grid input/name."""
    def edit(folder):
        path = os.path.join(folder, name)
        with open(path) as f:
            lines = f.read().splitlines()
        change(lines)
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
    return edit


def row_value_added(lines):
    lines[5 + 15] += " 0.01"


def row_value_dropped(lines):
    lines[5 + 15] = lines[5 + 15].rsplit(None, 1)[0]


def row_appended(lines):
    lines.append(lines[-1])


def columns_23(lines):
    lines[0] = "ncols 23"


def centre_header(lines):
    """The header's corner given as the centre of the lower left cell."""
    size = float(lines[4].split()[1])
    for k, key in ((2, "xllcenter"), (3, "yllcenter")):
        lines[k] = "%s %r" % (key, float(lines[k].split()[1]) + size / 2)


def without_nodata_line(lines):
    """The grid as writers that leave out the optional NODATA_value line
    write it."""
    del lines[5]


def half_column(lines):
    lines[0] = "ncols 24.5"


def grids_without_nodata_lines(folder):
    for name in ("zones.asc", "dem.asc", "ponding.asc"):
        grid_lines(name, without_nodata_line)(folder)


def zones_of_50_m(folder):
    """The zone grid at cells of 50 m over the same land, every other grid
    at 100 m."""
    def halve(lines):
        rows = [line.split() for line in lines[6:]]
        lines[:] = ["ncols %d" % (2 * len(rows[0])), "nrows %d" % (2 * len(rows))] + lines[2:4] + \
            ["cellsize 50.0", lines[5]]
        for row in rows:
            lines.extend([" ".join(v for v in row for _ in (0, 1))] * 2)
    grid_lines("zones.asc", halve)(folder)


def binary_ponding(change_bytes):
    """ponding.asc written as the binary grid ponding.dbl, its bytes changed."""
    def edit(folder):
        import struct
        with open(os.path.join(folder, "ponding.asc")) as f:
            lines = f.read().splitlines()
        head = [float(line.split()[1]) for line in lines[:6]] + [0.0] * 6
        values = [float(v) for line in lines[6:] for v in line.split()]
        data = struct.pack("<%dd" % (len(head) + len(values)), *(head + values))
        with open(os.path.join(folder, "ponding.dbl"), "wb") as f:
            f.write(change_bytes(data))
    return edit


PONDING_DBL = ex.replace_once("ponding.asc  max_ponding_storage", "ponding.dbl  max_ponding_storage")
ROW_FAULT = ("error reading ascii grid input/ponding.asc in ASCII-Format in row 15, col %d: line 21 "
             "holds %d values, but the header gives ncols 24")
BINARY_SIZE = ("error reading double grid input/ponding.dbl: it holds %d bytes, but its header "
               "(ncols 24, nrows 20) asks for 3936")

GRID_FILES = {
    # Without the line no cell holds nodata but the model's own -9999: the
    # run is the run with the lines.
    "grids_without_nodata_lines": Case(edit_input=grids_without_nodata_lines, days=1,
                                       like=small.Reference()),
    # A grid of 100 m blends the nodata beyond its values into the catchment's
    # edge cells of 50 m: refused where it is read.
    "zone_grid_of_50_m": Case(
        edit_input=zones_of_50_m, days=1, code=22,
        words="the grid file input/ponding.asc, of cells of 100 from (2700000, 1200000), resampled "
              "onto the model's cells of 50 gives no value at row 3, column 9, a cell of the "
              "catchment, although the file's cell under its centre holds 0.005"),
    # A size that is no whole number would be cut and shift every row.
    "grid_ncols_fraction": Case(
        edit_input=grid_lines("ponding.asc", half_column), days=1, code=22,
        words="error reading ascii value #1 from input/ponding.asc: ncols 24.5 is not a whole "
              "number of at least 1"),
    "zone_grid_ncols_fraction": Case(
        edit_input=grid_lines("zones.asc", half_column), days=1, code=22,
        words="error reading input/zones.asc: header value #1 (ncols 24.5 is not a whole number of "
              "at least 1) gives no model grid"),
    "grid_row_one_value_too_many": Case(
        edit_input=grid_lines("ponding.asc", row_value_added), days=1, code=22,
        words=ROW_FAULT % (25, 25)),
    "grid_row_one_value_missing": Case(
        edit_input=grid_lines("ponding.asc", row_value_dropped), days=1, code=22,
        words=ROW_FAULT % (24, 23)),
    "grid_row_behind_the_last": Case(
        edit_input=grid_lines("ponding.asc", row_appended), days=1, code=22,
        words="error reading ascii grid input/ponding.asc: line 27 begins 24 values behind the "
              "nrows 20 rows of ncols 24 values"),
    "grid_ncols_one_too_few": Case(
        edit_input=grid_lines("ponding.asc", columns_23), days=1, code=22,
        words="error reading ascii grid input/ponding.asc in ASCII-Format in row 1, col 24: line 7 "
              "holds 24 values, but the header gives ncols 23"),
    "grid_header_centre": Case(edit_input=grid_lines("dem.asc", centre_header), days=1,
                               like=small.Reference()),
    "binary_grid_bytes_behind": Case(
        PONDING_DBL, binary_ponding(lambda data: data + bytes(8)), days=1, code=22,
        words=BINARY_SIZE % 3944),
    "binary_grid_cut": Case(
        PONDING_DBL, binary_ponding(lambda data: data[:-8]), days=1, code=22,
        words=BINARY_SIZE % 3928),
}


# --- absurd grid cells, grids and stations, and values out of their ranges:
# each refused with what, where and its range; a far station only warned of.

def dem_corner(x):
    """The elevation model with its lower left corner at x."""
    def edit(folder):
        path = os.path.join(folder, "dem.asc")
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(re.sub(r"^xllcorner .*$", "xllcorner %s" % x, text, count=1, flags=re.M))
    return edit


def station_header(name, word, value):
    """The first station of a station file with `value` on its line `word`."""
    def edit(folder):
        path = os.path.join(folder, name)
        with open(path) as f:
            lines = f.readlines()
        at = next(i for i, line in enumerate(lines) if line.split()[:1] == [word])
        values = lines[at].split()
        values[1] = value
        lines[at] = " ".join(values) + "\n"
        with open(path, "w") as f:
            f.writelines(lines)
    return edit


def grid_cell(name, value, code, words):
    """value at row 11, column 13 of the grid file name."""
    return Case(edit_input=ex.spoil_grid_value(name, 11, 13, value), code=code, words=words)


def out_of_range(old, new, code, section, label, value, rule):
    return Case(ex.replace_once(old, new), code=code,
                words="section [%s]: the value %s of \"%s\" %s" % (section, value, label, rule))


def routed(old, new, element, what, value, rule):
    return Case(ex.replace_once(old, new), code=17,
                words=in_routing(2, "%s of %s" % (what, element), value, rule))


ABSURD_VALUES = {
    # Refused at set-up: no teardown of a run that ends with NaN ponding.
    "max_ponding_minus_1e308": grid_cell(
        "ponding.asc", "-1e308", 10, "grid \"max_ponding_storage\" (ponding.asc) holds -1e+308 "
        "at row 11, column 13, which must be nodata or 0 ... 2000 m"),
    "fixed_head_minus_1e308": grid_cell(
        "gw_boundary_fix_h.asc", "-1e308", 10, "grid \"gw_boundary_fix_h_1\" "
        "(gw_boundary_fix_h.asc) holds -1e+308 at row 11, column 13, which must be nodata (no "
        "fixed head) or -11000 ... 9000 m a.s.l."),
    "elevation_model_7000_km_away": Case(
        edit_input=dem_corner("9700000.0"), code=22,
        words="the grid file input/dem.asc covers x from 9700000 to 9702400 and y from 1200000 to "
              "1202000, but the catchment's cell at row 2, column 5 (centre 2700450, 1201850) "
              "lies outside it"),
    "elevation_model_nodata_in_the_catchment": grid_cell(
        "dem.asc", "-9999", 22, "the elevation model dem.asc ([elevation_model]) holds nodata "
        "at row 11, column 13, a cell of the catchment in the zone grid zones.asc"),
    "elevation_model_1e308": grid_cell(
        "dem.asc", "1e308", 22, "the elevation model dem.asc ([elevation_model]) holds 1e+308 at "
        "row 11, column 13, a cell of the catchment, which must be -1500 ... 9000 m"),
    "station_elevation_1e308": Case(
        edit_input=station_header("temperature.txt", "Z", "1e308"), code=68,
        words="station file input/temperature.txt, line 4 (interpolation of temperature): the "
              "elevation of station 1 is 1e308, which must be -1500 ... 9000 m"),
    "station_7000_km_away": Case(
        edit_input=station_header("temperature.txt", "X", "9701128"),
        words="station 1 of input/temperature.txt (interpolation of temperature) at x = "
              "9.70113e+06, y = 1.2001e+06 lies 6.99873e+06 from the model grid, beyond the "
              "maximum distance of 6248 of [temperature]"),
    "groundwater_maxiter_minus_1": out_of_range(
        "200   maxiter", "-1   maxiter", 17, "groundwater_flow", "maxiter in ", "-1",
        "must be 1 ... 100000"),
    "groundwater_maxiter_0": out_of_range(
        "200   maxiter", "0   maxiter", 17, "groundwater_flow", "maxiter in ", "0",
        "must be 1 ... 100000"),
    "surface_iteration_limit_0": out_of_range(
        "20  its iteration limit", "0  its iteration limit", 10, "SurfaceRoutingModel",
        "maximum iteration steps for A_NL in ", "0", "must be 1 ... 100000"),
    "surface_iteration_error_minus_1": out_of_range(
        "0.00001  iteration error", "-1  iteration error", 10, "SurfaceRoutingModel",
        "maximum iteration error [m/s] for velocity in ", "-1", "must be above 0 and at most 1 m/s"),
    "surface_concentration_minus_1": out_of_range(
        "1.0  concentration factor", "-1  concentration factor", 10, "SurfaceRoutingModel",
        "Concentration factor [1/1] in ", "-1", "must be 0 ... 100 (1 or less: no concentration)"),
    "irrigation_amount_minus_1": Case(
        ex.replace_once("with 12 mm to", "with -1 mm to"), code=29,
        words="an irrigation schedule of [irrigation_table] gives the amount -1 mm, which must be "
              "0 ... 1000 mm"),
    "irrigation_method_0": Case(
        ex.replace_once("sprinkled_fields 2 1", "sprinkled_fields 0 1"), code=29,
        words="for irrigation code 1: the method is 0, which must be 1 (dated amounts)"),
    "snow_refreezing_minus_1": out_of_range(
        "0.25  CRFR", "-1  CRFR", 17, "snow_model", "CRFR for ", "-1", "must be 0 ... 10"),
    "snow_degree_day_factor_1e9": out_of_range(
        "2.5   degree-day", "1e9   degree-day", 17, "snow_model", "degree-day factors, month 1",
        "1e+09", "must be 0 ... 30 (mm/K/day)"),
    "layered_snow_holding_capacity_minus_1": out_of_range(
        "0.1   dWaterHoldingCapacity", "-1   dWaterHoldingCapacity", 17, "LayeredSnowModel",
        "dWaterHoldingCapacity", "-1", "must be 0 ... 1"),
    "lake_albedo_minus_1": out_of_range(
        "0.08   Albedo_OpenWater", "-1   Albedo_OpenWater", 17, "lake_model",
        "Albedo_OpenWater for ", "-1", "must be 0 ... 1"),
    "lake_roughness_0": out_of_range(
        "0.001  z0_OpenWater", "0  z0_OpenWater", 17, "lake_model", "z0_OpenWater for ", "0",
        "must be above 0 and at most 1 (m)"),
    "precipitation_correction_a_minus_1": out_of_range(
        "0.02 0.01 rain correction", "-1 0.01 rain correction", 76, "precipitation_correction",
        "rain correction a", "-1", "must be 0 ... 1"),
    "superposition_factor_minus_1": Case(
        ex.replace_once("1:1.05 2:1.0", "1:-1 2:1.0"), code=77,
        words="the factor of \"1:-1\" must be 0 ... 10"),
    "reservoir_rule_first_row_minus_1": Case(
        reservoir_1_rules("5\n-1 0\n1e5 0.2\n3e5 1.0\n6e5 4.0\n1.5e6 20.0\n"), code=17,
        words="table row 1 reads \"-1 0\", whose value 1 must be 0 ... 1e14"),
    "heat_transfer_switch_minus_1": out_of_range(
        "[heat_transfer]\n1   on", "[heat_transfer]\n-1   on", 17, "heat_transfer",
        "heat transfer switch in ", "-1", "must be 0 (off) or 1 or more (on)"),
    "routing_switch_minus_1": out_of_range(
        "[routing_model]\n1     on", "[routing_model]\n-1     on", 17, "routing_model",
        "flow control parameter for routing_model", "-1", "must be 0 (off) or 1 or more (on)"),
    "transition_distance_1e9": out_of_range(
        "500  metres over which", "1e9  metres over which", 17, "region_transition_distance",
        "transition distance (if or if not using a region grid) ", "1e+09",
        "must be at most 1e6 m (1000 km)"),
    "channel_length_1e9": routed(
        "L = 760", "L = 1e9", "OL 2", "channel length", "1e+09",
        "must be 0 (its default) ... 1e7 (m)"),
    "manning_zero": routed(
        "M = 25, MF = 15, I = 0.1795", "M = 0, MF = 15, I = 0.1795", "OL 2",
        "Manning coefficient of the mean channel", "0", "must be above 0 and at most 1000"),
}


# --- a refused run changes no file: every output is checked before any is created ---

def snapshot_work(work):
    """Name, size, time and digest of every file of the work folder before
    the refused run, kept beside the folder."""
    with open(work + ".before.json", "w") as f:
        json.dump(ex.fingerprint(work), f)


# What the test writes itself, and the diagnostics, where a refused run
# says why.
NOT_THE_RUNS = re.compile(r"^(console\.txt|MpiSpeedFactor\.dat|Horva_Diag_\d+\.xml)$")
# What the set-up derives before any module is built: the control file's
# copy, the grid of the processes' strips and the derived grids.
SET_UP_FILES = re.compile(r"\.intern$|(^|/)MPIRegions_\d+$|\.intern\.")


def work_kept(work):
    """A refused run created, removed or changed no file of the work folder
    (its time included: a file written again with the same bytes is no
    longer the former run's)."""
    with open(work + ".before.json") as f:
        before = {name: tuple(value) for name, value in json.load(f).items()}
    after = ex.fingerprint(work)
    changed = sorted(n for n in set(before) | set(after)
                     if before.get(n) != after.get(n) and not NOT_THE_RUNS.match(n))
    derived = [n for n in changed if SET_UP_FILES.search(n)]
    ex.check(not derived, "the refused run created or changed the set-up's files %s" %
             " ".join(derived))
    ex.check(not changed, "the refused run created or changed %s" % " ".join(changed))


def refused_unchanged(edit_control, words, edit_input=None):
    """A run refused at set-up with code 26 that creates or changes no file."""
    def prepare(folder):
        if edit_input:
            edit_input(folder)
        snapshot_work(os.path.dirname(folder))
    return Case(edit_control, prepare, code=26, words=words, check_outputs=work_kept)


class IntoItsInputs(Then):
    """A warm start from the former run's files in input/ that writes into
    input/ as well; every file of the former run is kept."""

    def prepare(self, work, source, days):
        Then.prepare(self, work, source, days)
        snapshot_work(work)


def state_written_copy(text):
    return small.state_written(text)


class FromRankZeroState(Then):
    """A warm start on two processes from the state files of rank 0 alone,
    as a run on one process leaves them."""

    def prepare(self, work, source, days):
        for name in os.listdir(os.path.join(work, "output")):
            if not name.endswith("_1"):
                shutil.copy(os.path.join(work, "output", name), os.path.join(work, "input", name))
        Then.prepare(self, work, source, days)


def output_into_input(text):
    return ex.replace_once("$set $output = output/", "$set $output = input/")(text)


def balance_prefix(prefix):
    """[water_balance] with its files named by prefix."""
    return lambda text: text + ex.BALANCE_SECTION.replace("balance_  prefix", prefix + "  prefix")


UNTOUCHED_FILES = {
    # The soil's statistics are created before routing names its observed
    # discharge.
    "statistics_is_a_later_observed_discharge": refused_unchanged(
        lambda text: ex.replace_once("qd.stat 4024", "../input/observed.txt 4024")(
            ex.replace_once("none  no observed discharge", "input/observed.txt  observed")(text)),
        "is the file input/observed.txt that the run reads as the observed discharge of "
        "[routing_model]", lambda folder: hourly_table(folder, "observed.txt")),
    "two_statistics_one_file": refused_unchanged(
        ex.replace_once("qi.stat 4024", "qd.stat 4024"),
        "the output file output/qd.stat (the statistics unsatzon_model_submodel:Interflow [mm per "
        "zone]) is the file output/qd.stat that the run writes as the statistics "
        "unsatzon_model_submodel:direct discharge"),
    # The response units' grids wait for the check too.
    "two_statistics_one_file_with_response_units": refused_unchanged(
        lambda text: response_units(ex.replace_once("qi.stat 4024", "qd.stat 4024")(text)),
        "the output file output/qd.stat (the statistics unsatzon_model_submodel:Interflow [mm per "
        "zone]) is the file output/qd.stat that the run writes as the statistics "
        "unsatzon_model_submodel:direct discharge"),
    "warm_start_writing_into_its_inputs": Case(
        lambda text: output_into_input(small.state_written(text)), days=2, code=26,
        then=IntoItsInputs(ex.CONTROL_FILE, lambda text: output_into_input(
            small.warm_started(small.state_written(text), 2))),
        words="is the file input/snowstorage.asc that the run reads as a grid of snow_model",
        check_outputs=work_kept),
    # The files the run writes itself are outputs as well.
    "statistics_is_the_control_file_copy": refused_unchanged(
        ex.replace_once("etp.stat 2024", "../catchment.ctl.intern 2024"),
        "the output file output/../catchment.ctl.intern (the statistics evapotranspiration_"
        "submodel:pot_transpiration0(Penman/Monteith)_) is the file catchment.ctl.intern that the "
        "run writes as the preprocessed copy of the control file"),
    "statistics_is_the_diagnostics_file": refused_unchanged(
        ex.replace_once("etp.stat 2024", "../Horva_Diag_0.xml 2024"),
        "is the file Horva_Diag_0.xml that the run writes as the diagnostics file of process 0"),
    "statistics_is_the_log_file": refused_unchanged(
        ex.replace_once("etr.stat 2024", "../modell_0.log 2024"),
        "is the file modell_0.log that the run writes as the log file of process 0"),
    # The balance's files are known before the first step, and checked with
    # every other output.
    "balance_in_a_missing_folder": refused_unchanged(
        balance_prefix("nowhere/balance_"),
        "the output file output/nowhere/balance_channel_inflow.stat (the statistics water_"
        "balance_submodel:routing:channel_inflow_in_mm) cannot be written (No such file or "
        "directory); found before the first step"),
    "balance_in_the_output_folder_twice": refused_unchanged(
        balance_prefix("output/balance_"),
        "cannot be written (No such file or directory); found before the first step, so that the "
        "run does not fail at its end: create its folder, or give the name without the folder "
        "output/"),
    # The set-up checks the work folder, where the lakes' tables go, with
    # every other output.
    "lake_table_in_the_work_folder_a_folder": Case(
        edit_input=beside_input(lambda work: os.mkdir(os.path.join(work, "W_V_Table_01.dat"))),
        code=26, words="the output file W_V_Table_01.dat (the waterlevel-volume table of lake 1) "
                       "cannot be written (Is a directory)"),
    "soil_statistic_code_not_a_number": Case(
        ex.replace_once("qd.stat 4024", "qd.stat 40x24"), code=17,
        words="name of the QDstatfiles in unsatzon_model: the statistic code of qd.stat reads "
              "\"40x24\", which is not a whole number"),
    "observed_discharge_missing": Case(
        ex.replace_once("none  no observed discharge", "input/nosuch.txt  observed"),
        words="error opening input/nosuch.txt (the observed discharge of [routing_model])"),
    # "none" is no file name: nothing to warn of.
    "observed_discharge_none": Case(words="no observed discharge ([routing_model] names none)",
                                    level=3, check_outputs=without_words("error opening none")),
    # Rank 1 alone misses its state: its FATAL must reach a diagnostics file.
    "warm_start_from_fewer_processes": Case(
        state_written_copy, processes=(2,), code=64,
        then=FromRankZeroState(ex.CONTROL_FILE, lambda text: small.warm_started(
            small.state_written(text), 2)),
        words="input/unsatzon_state_1"),
}


# --- a control-file value that is no number names its line and text; grid
# values beyond their ranges name file, cell, value and range; coordinates
# and heat constants beyond theirs name section, label, value and range.

def standard_grid_cell(name, grid, value, shown, rule):
    return grid_cell(name + ".asc", value, 22, "the standard grid \"%s\" (%s.asc) holds %s at "
                     "row 11, column 13, which must be nodata or %s" % (grid, name, shown, rule))


NAMED_VALUES = {
    "landuse_count_nan": Case(
        ex.replace_once("5     number of land-use records", "nan     number of land-use records"),
        code=17, words="number of entries in [landuse_table]; [landuse_table], line 91 of "
        "catchment.ctl reads \"nan\": not found!"),
    "irrigation_switch_nan": Case(
        ex.replace_once("1   on: the fields", "nan   on: the fields"), code=17,
        words="irrigation switch in [irrigation]; [irrigation], line 179 of catchment.ctl "
        "reads \"nan\": not found!"),
    "river_width_1e308": standard_grid_cell("river_width", "river_width", "1e308", "1e+308",
                                            "0 ... 10000 m"),
    "river_depth_minus_1e308": standard_grid_cell("river_depth", "river_depth", "-1e308",
                                                  "-1e+308", "0 ... 300 m"),
    "river_links_1e308": standard_grid_cell("river_links", "river_links", "1e308", "1e+308",
                                            "a whole number 0 ... 1e9"),
    "lake_codes_minus_1e308": standard_grid_cell("lake_codes", "lake_codes", "-1e308", "-1e+308",
                                                 "a whole number 0 ... 1e9"),
    "ice_firn_3": standard_grid_cell("ice_firn", "ice_firn", "3", "3",
                                     "0 (no glacier), 1 (ice) or 2 (firn)"),
    "aquifer_thickness_1e308": standard_grid_cell("aquifer_thickness", "aquifer_thickness_1",
                                                  "1e308", "1e+308", "0 ... 10000 m"),
    "fixed_flow_minus_1e308": standard_grid_cell("gw_boundary_fix_q", "gw_boundary_fix_q_1",
                                                 "-1e308", "-1e+308", "-1 ... 1 m/s"),
    "longitude_1e9": out_of_range(
        "8.90  longitude", "1e9  longitude", 17, "coordinates", "geographic longitude", "1e+09",
        "must lie within -180 ... 360 (degrees east)"),
    "time_shift_minus_25": out_of_range(
        "0  time shift", "-25  time shift", 17, "coordinates",
        "time shift of data time to lokal time", "-25", "must lie within -24 ... 24 (hours)"),
    "dry_soil_conductivity_1e9": out_of_range(
        "0.3  dTModLamDrySoil", "1e9  dTModLamDrySoil", 17, "heat_transfer", "dTModLamDrySoil",
        "1e+09", "must be above 0 and at most 10 (W/(m K))"),
    "lapse_rate_minus_1": out_of_range(
        "-0.0065  dTModLapseRate", "-1  dTModLapseRate", 17, "heat_transfer", "dTModLapseRate",
        "-1", "must be -0.1 ... 0.1 (K/m)"),
    "leaf_area_index_80": Case(
        ex.replace_once("LAI       = 8.0   8.0;", "LAI       = 80   8.0;"), code=51,
        words="error in [landuse_table], entry 4 (coniferous trees): value out of range for "
        "\"LAI\": 80 (allowed 0 .. 20)"),
}


# --- a grid value refused by a module names the grid's file, which the user
# knows, beside the name the model gave the grid.

def flow_times_with_a_gap(folder):
    flow_times("flow_times.asc")(folder)
    ex.spoil_grid_value("flow_times.asc", 15, 6, "-9999")(folder)


def river_link_to_no_subbasin(folder):
    """The river cells linked to their subbasins, the one at row 11, column
    12 to 7, which names none."""
    import process_counts_test as counts
    counts.river_link_input(folder)
    counts.write_grid_like(folder, "river_links.asc", "river_links.asc",
                           lambda r, c, v: 7 if (r, c) == (11, 12) else int(v))


def river_interaction(parameter):
    def edit(text):
        import process_counts_test as counts
        text = counts.add_standard_grids(text, ["kolmation.asc  kolmation  fillcode = 0 readcode = 1"])
        return ex.replace_once("0     surface water interaction off",
                               "%d     surface water interaction" % parameter)(text)
    return edit


def nothing_written(work):
    """A run refused at set-up wrote no output but the set-up's own files."""
    written = sorted(n for n in os.listdir(os.path.join(work, "output"))
                     if not SET_UP_FILES.search(n))
    ex.check(not written, "the refused run wrote %s" % " ".join(written))


RIVER_LINK_CELL = ("The first such cell lies at row 11, column 12 of \"river_links\" "
                   "(river_links.asc)")


GRID_VALUES_NAME_THE_FILE = {
    # Found at set-up, not when the first step's soil meets the cell; in
    # link order the cell took no river water without a word.
    "river_link_to_no_subbasin": Case(
        river_interaction(1), river_link_to_no_subbasin, code=199, words=RIVER_LINK_CELL,
        check_outputs=nothing_written),
    "river_link_to_no_subbasin_in_link_order": Case(
        river_interaction(2), river_link_to_no_subbasin, code=199, words=RIVER_LINK_CELL,
        check_outputs=nothing_written),
    # The conductivities in x and y of a layer come from one file.
    "conductivity_names_its_file": Case(
        edit_input=ex.spoil_grid_value("gw_k_2.asc", 15, 6, "-1e-09"), code=10,
        words="grid \"gw_k_x_2\" (gw_k_2.asc) holds -1e-09 at row 15, column 6"),
    "flow_time_nodata_names_its_file": Case(
        with_flow_times, flow_times_with_a_gap, code=6,
        words="in flow-travel-time grid \"flow_times\" (flow_times.asc): row 15, column 6 holds "
              "-9999, which is no flow time"),
}


# --- a grid read again during the run is held to the ranges of the set-up:
# the file read and the step name where the value came in.

def external_thickness(folder):
    shutil.copy(os.path.join(folder, "aquifer_thickness.asc"),
                os.path.join(folder, "thickness_external.asc"))
    ex.spoil_grid_value("thickness_external.asc", 15, 6, "20000")(folder)
    waiting_command(folder)


READ_AGAIN_IN_RANGE = {
    "aquifer_read_again_20000_m": Case(
        read_again("aquifer_thickness_2"),
        copies_with("aquifer_thickness.asc", "20000", from_day=2),
        code=22, words="the standard grid \"aquifer_thickness_2\" read again from "
        "aquifer_thickness.asc_2021030200 for the step of 2021-03-02 00:00 holds 20000 at row 15, "
        "column 6, which must be nodata or 0 ... 10000 m"),
    # The ponding is checked in the file's metres, before the unsaturated
    # zone turns it into mm.
    "ponding_read_again_minus_1e308": Case(
        read_again("max_ponding_storage"), copies_with("ponding.asc", "-1e308", from_day=2),
        code=10, words="grid \"max_ponding_storage\" read again from ponding.asc_2021030200 holds "
        "-1e+308 at row 15, column 6, which must be nodata or 0 ... 2000 m"),
    "aquifer_from_the_external_program_20000_m": Case(
        from_the_external_program("thickness_external.asc", "aquifer_thickness_2"),
        external_thickness, code=22, words="the standard grid \"aquifer_thickness_2\" read again "
        "from thickness_external.asc for the step of 2021-03-01 00:00 holds 20000 at row 15, "
        "column 6, which must be nodata or 0 ... 10000 m"),
}


# --- a tracer's concentration in a state file lies within what a solution
# can hold.

def tracer_state(value):
    """A run with a tracer at 1 in the rain, the reservoir and the lake, then
    a warm start whose lake holds the tracer at value."""
    then = state_value("[routing_model]", "(reservoir 1)", 1, value)
    written = then.edit_control
    then.edit_control = lambda text: tracer_test.with_tracer(written(text))
    return Case(lambda text: tracer_test.with_tracer(small.state_written(text)),
                edit_input=tracer_test.ones, days=1, then=then, code=71,
                words="the concentration of tracer 1 of %s reads \"%s\", which must be 0 ... 2e6 "
                      "(no solution holds more than 2e6 mg/l, 2000 g/l or 1 kg/kg)" % (LAKE, value))


TRACER_STATES = {
    "state_lake_concentration_negative": tracer_state("-1"),
}


# Values of the later sections (snow to the special output) past their bounds.
LATER_SECTION_RANGES = {
    "glacier_method_0": Case(
        ex.replace_once("1     Glacier-Method", "0     Glacier-Method"), code=80,
        words="Glacier-Method 0 of [ice_firn] in catchment.ctl is not known"),
    "ice_degree_day_factor_1e9": Case(
        ex.replace_once("7.0   DDFice", "1e9   DDFice"), code=80,
        words="DDFice of [ice_firn] in catchment.ctl (line 322 of catchment.ctl) is 1e+09; give "
              "0 ... 100 (mm/K/day)"),
    "snowmelt_runoff_fraction_minus_1": Case(
        ex.replace_once("0.3 0.3 0.3  surface-runoff", "-1 0.3 0.3  surface-runoff"), code=10,
        words="SnowRunoff_fraction[1] is -1 in [unsatzon_model] of catchment.ctl (line 459 of "
        "catchment.ctl); give 0 ... 1"),
    "silting_rain_pause_minus_1": out_of_range(
        "0.25 0.1  minimum rain pause", "0.25 -1  minimum rain pause", 17, "SiltingUpModel",
        "RainPause of subbasin 3 (minimum rainpause)", "-1", "must be 0 ... 365 (days)"),
    "silting_initial_rate_minus_1": out_of_range(
        "1.0    parameter A", "-1     parameter A", 17, "SiltingUpModel",
        "parameter A for method 2 (I_0)", "-1", "must be 0 ... 1000 (mm/h)"),
    "layered_snow_switch_minus_1": out_of_range(
        "1     on\n1     method of layered snow", "-1    on\n1     method of layered snow", 17,
        "LayeredSnowModel", "switch", "-1", "must be 0 (off) or 1 or more (on)"),
    "snow_effectiveness_1e9": out_of_range(
        "1     dSEeffectiveness\n", "1e9   dSEeffectiveness\n", 17, "LayeredSnowModel",
        "dSEeffectiveness", "1e+09", "must be 0 ... 1"),
    "precipitation_upper_limit_1e9": Case(
        ex.replace_once("0 200  lower and upper limit", "0 1e9  lower and upper limit"), code=70,
        words="section [precipitation]: the upper limit must lie within -1e6 ... 1e6; it is 1e+09"),
    "routing_tables_1e9": out_of_range(
        "1 1000 30 1  specific", "1 1e9 30 1  specific", 17, "routing_model",
        "the largest specific discharge of the tables", "1e+09", "must be at most 1e5 (l/s/km2)"),
    "subbasin_area_1e9": Case(
        ex.replace_once("AREA = 0.95", "AREA = 1e9"), code=17,
        words=in_routing(1, "the area of TG 3", "1e+09", "must be above 0 and at most 1e7 (km2)")),
    "reservoir_concentration_minus_1": Case(
        ex.replace_once("V0 = 1.4e5 C0 = 0 0", "V0 = 1.4e5 C0 = -1 0"), code=35,
        words="for reservoir 2: \"C0 =\" reads \"-1\", a concentration must be 0 ... 1e6"),
    "heat_suction_factor_1e9": out_of_range(
        "124.6  dTModFactor", "1e9  dTModFactor", 17, "heat_transfer", "dTModFactor", "1e+09",
        "must be at most 1000 (m/K; 0 or below: no ice)"),
    "snow_readgrid_minus_1": out_of_range(
        "0     snow readgrid", "-1    snow readgrid", 17, "snow_model",
        "readgrid forr storage grids for ", "-1", "must be 0 (cold start) or 1"),
    "deposition_factor_1e9": Case(
        ex.replace_once("1     maximum deposition factor", "1e9   maximum deposition factor"),
        code=406, words="maxDepositionFactor not within parameter bounds of (0...100]. Here: 1e+09"),
    "ponding_switch_minus_1": out_of_range(
        "1     ponding: max_ponding", "-1    ponding: max_ponding", 17, "unsatzon_model",
        "pond parameter of ", "-1", "must be 0 (off) or 1 (on)"),
    "lake_switch_minus_1": out_of_range(
        "1      on: the cells of lake_codes", "-1     on: the cells of lake_codes", 17,
        "lake_model", "flow control parameter for ", "-1", "must be 0 (off) or 1 or more (on)"),
    "surface_longest_inner_step_1e9": Case(
        ex.replace_once("100  longest inner step", "1e9  longest inner step"), code=10,
        words="maximum sub time step 1e+09 s; both must be positive, the maximum at most 86400 s"),
    "correction_threshold_1e9": out_of_range(
        "0.5       rain/snow threshold", "1e9       rain/snow threshold", 76,
        "precipitation_correction", "rain/snow threshold temperature", "1e+09",
        "must be -20 ... 20 (degrees C)"),
    "slide_write_code_minus_1": out_of_range(
        "0     its write code\nslidein.stat", "-1    its write code\nslidein.stat", 17,
        "snow_model", "Writegrid of the input mass grid for ", "-1",
        "must be 0 (never written) or a write code of 1 or more"),
    "layered_snow_without_heat": Case(
        ex.replace_once("1   on\n12  method: implicit", "0   on\n12  method: implicit"), code=1041,
        words="Error in model configuration: when using [LayeredSnowModel], [heat_transfer] must "
        "be used as well."),
    "lakes_without_ponding": Case(
        ex.replace_once("1     ponding: max_ponding", "0     ponding: max_ponding"), code=215,
        words="pond_use must be set in unsatzon_model (the pond parameter of [unsatzon_model] in "
        "catchment.ctl is 0)"),
    "snow_heat_capacity_1e9": Case(
        ex.replace_once("HeatCapacityDry = 2100 2100", "HeatCapacityDry = 1e9 2100"), code=52,
        words="value out of range for \"HeatCapacityDry\": 1e+09 (allowed 0 .. 10000)"),
    "drainage_write_code_minus_1": out_of_range(
        "qdrain.asc  QDRAIN\n0  its write code", "qdrain.asc  QDRAIN\n-1  its write code", 17,
        "unsatzon_model", "write code of QDRAIN", "-1",
        "must be 0 (never written) or a write code of 1 or more"),
}


# Values beyond what any catchment has, at set-up: a soil table's entry (the
# land-use and multilayer tables fail the same way) and a line of a
# module's section. With the soil's alpha of 1e9 an hourly step took some 15 s.
SETUP_BOUNDS = {
    "soil_alpha_1e9": Case(
        ex.replace_once("alpha = 7.5 6.0 5.0;", "alpha = 1e9 6.0 5.0;"), code=52,
        words="error in [soil_table], entry 2 (brown earth): value out of range for \"alpha\": "
        "1e+09 (allowed 0 .. 100)"),
    "hamon_factor_minus_1": out_of_range(
        "1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2  PEC",
        "1.2 1.2 1.2 1.2 1.2 1.2 -1 1.2 1.2 1.2 1.2 1.2  PEC", 10, "evapotranspiration",
        "PEC-parameter for HAMON-evaporation", "-1",
        "(month 7) must be above 0 and at most 10 (line 206 of catchment.ctl)"),
    "fill_code_minus_1": out_of_range(
        "soil.asc     soil_types          fillcode = 0", "soil.asc     soil_types          "
        "fillcode = -1", 17, "standard_grids", "fillcode", "-1", "of the grid \"soil_types\" "
        "must be 0 (keep nodata), 1 (nearest value) or 2 (defaultValue) (line 54 of "),
    "interception_capacity_1e9": out_of_range(
        "0.35  storage per unit leaf area", "1e9  storage per unit leaf area", 17,
        "interception_model", "parameter interception storage maximum water layer thickness for ",
        "1e+09", "must be 0 ... 5 (mm of water per unit of leaf area) (line 250 of catchment.ctl "
        "reads \"1e9\")"),
    "write_code_minus_1": Case(
        ex.replace_once("13  its write code: the sum", "-1  its write code: the sum"), code=17,
        words="section [evapotranspiration]: the write code -1 of the grid \"pot_transpiration0\" "
        "(etp.asc) is negative"),
    "irrigation_origin_0": Case(
        ex.replace_once("1 sprinkled_fields 2 1 0 0", "1 sprinkled_fields 2 0 0 0"), code=29,
        words="for irrigation code 1 in [irrigation_table]: the origin is 0, which must be 1 "
        "(groundwater) or 2 (surface water)"),
    "irrigation_every_0_days": Case(
        ex.replace_once("with 12 mm every 6 day", "with 12 mm every 0 day"), code=29,
        words="an irrigation schedule of [irrigation_table] gives the interval (every ZZ day) of "
        "0, which must be 1 or more"),
}

CASES = {
    "unedited": Case(),
    "no_snow_type": Case(snow_types(0), code=30, words="the number of snow types in "
                         "[LayeredSnowProperties] of catchment.ctl is 0"),
    "negative_snow_types": Case(snow_types(-2), code=30, words="the number of snow types in "
                                "[LayeredSnowProperties] of catchment.ctl is -2"),
}
CASES.update(VERTICAL_AND_LATERAL)
CASES.update(ROUTING_CASES)
CASES.update(NOT_WHOLLY_NUMBERS)
CASES.update(OUT_OF_RANGE)
CASES.update(EXTREMES_WITHIN_RANGE)
CASES.update(CODES_AND_OUTPUTS)
CASES.update(DESCRIPTOR_COUNTS)
CASES.update(INNER_STEPS)
CASES.update(UNREADABLE_FILES)
CASES.update(REPLACED_INPUTS)
CASES.update(MODEL_STEPS)
CASES.update(CONTROL_FILE_FORMS)
CASES.update(LINE_ENDS)
CASES.update(STATE_VALUES)
CASES.update(WARM_START_FILES)
CASES.update(GRID_FILES)
CASES.update(ABSURD_VALUES)
CASES.update(UNTOUCHED_FILES)
CASES.update(NAMED_VALUES)
CASES.update(GRID_VALUES_NAME_THE_FILE)
CASES.update(READ_AGAIN_IN_RANGE)
CASES.update(TRACER_STATES)
CASES.update(LATER_SECTION_RANGES)
CASES.update(SETUP_BOUNDS)

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
