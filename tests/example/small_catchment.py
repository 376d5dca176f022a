"""Runs of horva on a small copy of the example catchment.

make_catchment.py writes the example's landscape at 20 x 24 cells with a few
days of station data; a run of it takes about a second, so a test can run it
once per case and on several process counts. The helpers here prepare such
runs and compare what they wrote; each test script that uses them holds its
own table of cases.
"""

import filecmp
import os
import subprocess
import sys

import example_test as ex

ROWS, COLS = 20, 24


def generate(folder, days=3, rows=ROWS, cols=COLS):
    """The small catchment with `days` days of hourly data, written into
    folder (anew each time, so that no test sees another's edits)."""
    subprocess.run([sys.executable, os.path.join(ex.EXAMPLE, "make_catchment.py"), "--rows",
                    str(rows), "--cols", str(cols), "--days", str(days), "--out", folder,
                    "--jobs", "1"], check=True, stdout=subprocess.DEVNULL)
    return folder


def prepare(work, source, days, edit_control=None, edit_input=None):
    """A clean work folder from the small catchment in source."""
    ex.prepare(work, days, edit_control, edit_input, source=source)


def run(args, work, processes, threads=1, options=()):
    """horva on work; returns its exit status (as the shell sees it) and console."""
    return ex.run_horva(args, work, processes, threads, options)


def differing_outputs(reference, other):
    """The output files that two runs wrote differently, or wrote only one of
    (the per-process and decomposition files excepted)."""
    left, right = os.path.join(reference, "output"), os.path.join(other, "output")
    names, others = ex.compared_files(left), ex.compared_files(right)
    differ = sorted(names ^ others)
    differ += [n for n in sorted(names & others)
               if not filecmp.cmp(os.path.join(left, n), os.path.join(right, n), shallow=False)]
    return differ


def fatal_entries(work):
    """The FATAL entries of the diagnostics file."""
    return [text for level, text in ex.diag_entries(work) if level == "0"]


def warning_entries(work):
    """The WARNING entries of the diagnostics file."""
    return [text for level, text in ex.diag_entries(work) if level == "2"]
