#!/usr/bin/env python3
"""A run ended by SIGTERM, or by Ctrl-C that nobody answers, keeps what it did.

horva runs a small copy of the example; once the diagnostics file shows the
second day, the row's signal goes to horva itself, to one of its processes
or to mpirun. The run must end with code 99 (mpirun, told to end its job,
with its own 1) and a FATAL entry naming the signal and the step before
which it stopped, and the statistics must hold every step before that one,
each line whole. SIGTERM while the processes start, before the set-up, ends
the run with 99 as well, and leaves its diagnostics file and no output.
"""

import os
import re
import signal
import subprocess
import sys
import time

import example_test as ex
import small_catchment as small

# (name, processes, signal, whom, words): whom is "horva" (the program
# alone, no mpirun), "rank" (one process of an mpirun's job) or "mpirun"
# (what a scheduler does: mpirun stops reading its processes' output, sends
# them SIGTERM a second later and kills them a second after that).
ROWS = (
    ("sigterm", 1, signal.SIGTERM, "horva", "SIGTERM"),
    ("sigint_unanswered", 1, signal.SIGINT, "horva", "Ctrl-C (SIGINT), which nobody can answer"),
    ("sigterm_to_one_rank", 2, signal.SIGTERM, "rank", "SIGTERM"),
    ("sigterm_to_mpirun", 2, signal.SIGTERM, "mpirun", "SIGTERM"),
    ("sigterm_to_mpirun_one_process", 1, signal.SIGTERM, "mpirun", "SIGTERM"),
)
# SIGTERM while the processes start (MPI's start takes a good part of a
# second): (name, processes, whom, seconds after the process took SIGTERM
# over, which it does first in main).
START_ROWS = (
    ("sigterm_at_the_start", 1, "horva", 0.05),
    ("sigterm_while_mpi_starts", 1, "horva", 0.25),
    ("sigterm_to_one_rank_at_its_start", 2, "rank", 0.1),
)
ENDED_BY_SIGNAL = 99
# mpirun told to end its job ends with its own status, whatever the
# processes' codes.
MPIRUN_ENDED = 1
# Three seconds from mpirun's SIGTERM to the processes' (one by default):
# rank 0's output then fills the console that mpirun no longer reads, as
# it does in the longer steps of a large model.
MPIRUN_GRACE = ["--mca", "odls_base_sigkill_timeout", "3"]
# Days of the runs: more than any run gets through before its signal.
DAYS = 31
SECOND_DAY = "model time 2021-03-02"


def run_until_signalled(args, work, processes, sent, whom):
    """Starts horva on work, sends `sent` once the second day runs; returns
    the exit status."""
    env = dict(os.environ, OMP_NUM_THREADS="1", OMP_WAIT_POLICY="PASSIVE",
               OMPI_MCA_mpi_yield_when_idle="1", OMPI_MCA_hwloc_base_binding_policy="none")
    command = [args.horva, ex.CONTROL_FILE]
    if whom != "horva":
        grace = MPIRUN_GRACE if whom == "mpirun" else []
        command = [args.mpiexec, "--oversubscribe", "-np", str(processes)] + grace + command
    diag = os.path.join(work, ex.DIAG_FILE)
    with open(os.path.join(work, "console.txt"), "w") as console:
        process = subprocess.Popen(command, cwd=work, env=env, stdin=subprocess.DEVNULL,
                                   stdout=console, stderr=subprocess.STDOUT)
        deadline = time.time() + args.timeout
        while time.time() < deadline and process.poll() is None:
            if os.path.exists(diag):
                with open(diag, errors="replace") as f:
                    if SECOND_DAY in f.read():
                        break
            time.sleep(0.05)
        ex.check(process.poll() is None, "horva ended before the second day")
        if whom == "rank":
            ranks = subprocess.run(["pgrep", "-P", str(process.pid)], stdout=subprocess.PIPE,
                                   text=True).stdout.split()
            ex.check(len(ranks) == processes, "mpirun runs %s, not %d processes" % (ranks, processes))
            os.kill(int(ranks[-1]), sent)
        else:
            process.send_signal(sent)
        try:
            return process.wait(timeout=args.timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise ex.Failure("horva did not end within %d s of the signal" % args.timeout)


def data_rows(path):
    """The data lines of a statistics file (after its three header lines)."""
    with open(path) as f:
        lines = f.read().split("\n")
    ex.check(lines[-1] == "", "%s does not end with a whole line" % path)
    return [line.split("\t") for line in lines[3:-1]]


def check_row(args, name, processes, sent, whom, words):
    work = os.path.join(args.work, name)
    small.prepare(work, args.source, DAYS)
    status = run_until_signalled(args, work, processes, sent, whom)
    expected = MPIRUN_ENDED if whom == "mpirun" else ENDED_BY_SIGNAL
    ex.check(status == expected, "ended with status %s, not %d" % (status, expected))
    fatal = [t for t in small.fatal_entries(work) if "the run was ended by " + words in t]
    ex.check(fatal, "no FATAL entry naming %s; FATAL entries: %s" % (words, small.fatal_entries(work)))
    stop = re.search(r"before the step of (\d+)-(\d+)-(\d+) (\d+):", fatal[0])
    ex.check(stop, "the FATAL entry names no step: %s" % fatal[0])
    # Hourly steps from 2021-03-01 00:00: those before the named step.
    day, hour = int(stop.group(3)), int(stop.group(4))
    steps = (day - 1) * 24 + hour
    ex.check(steps >= 24, "the run stopped before the second day: %s" % fatal[0])
    rows = data_rows(os.path.join(work, "output", "routed.stat"))
    ex.check(len(rows) == steps, "routed.stat holds %d steps, not the %d before the signal"
             % (len(rows), steps))
    ex.check(len({len(r) for r in rows}) == 1, "routed.stat has lines of unequal length")
    # A daily statistic holds every day finished.
    days = data_rows(os.path.join(work, "output", "qd.stat"))
    ex.check(len(days) == steps // 24, "qd.stat holds %d days, not %d" % (len(days), steps // 24))


def catches_sigterm(pid):
    """Whether the process has taken SIGTERM over (a signal before that,
    while the loader still runs, ends it by the system's default)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            caught = [line.split()[1] for line in f if line.startswith("SigCgt:")]
    except OSError:
        return False
    return bool(caught) and int(caught[0], 16) >> (signal.SIGTERM - 1) & 1 == 1


def await_handler(pid, timeout):
    deadline = time.time() + timeout
    while not catches_sigterm(pid) and time.time() < deadline:
        time.sleep(0.002)
    ex.check(catches_sigterm(pid), "process %d never took SIGTERM over" % pid)


def check_start_row(args, name, processes, whom, delay):
    """SIGTERM before the set-up: the run ends with 99 and a diagnostics file
    whose FATAL entry names the signal, and writes no output."""
    work = os.path.join(args.work, name)
    small.prepare(work, args.source, 1)
    env = dict(os.environ, OMP_NUM_THREADS="1", OMP_WAIT_POLICY="PASSIVE",
               OMPI_MCA_mpi_yield_when_idle="1", OMPI_MCA_hwloc_base_binding_policy="none")
    # The delays fall within MPI's start as a user's shell makes it: the
    # tests' quicker start would be over before them.
    for name in ex.MPIRUN_QUICK_ENV:
        env.pop(name, None)
    command = [args.horva, ex.CONTROL_FILE]
    if whom != "horva":
        command = [args.mpiexec, "--oversubscribe", "-np", str(processes)] + command
    with open(os.path.join(work, "console.txt"), "w") as console:
        process = subprocess.Popen(command, cwd=work, env=env, stdin=subprocess.DEVNULL,
                                   stdout=console, stderr=subprocess.STDOUT)
        if whom == "rank":
            ranks = []
            deadline = time.time() + args.timeout
            while len(ranks) < processes and time.time() < deadline:
                ranks = subprocess.run(["pgrep", "-P", str(process.pid)], stdout=subprocess.PIPE,
                                       text=True).stdout.split()
            ex.check(len(ranks) == processes, "mpirun started %s, not %d processes" %
                     (ranks, processes))
            await_handler(int(ranks[-1]), args.timeout)
            time.sleep(delay)
            os.kill(int(ranks[-1]), signal.SIGTERM)
        else:
            await_handler(process.pid, args.timeout)
            time.sleep(delay)
            process.send_signal(signal.SIGTERM)
        status = process.wait(timeout=args.timeout)
    ex.check(status == ENDED_BY_SIGNAL, "ended with status %s, not %d" % (status, ENDED_BY_SIGNAL))
    ex.check(os.path.exists(os.path.join(work, ex.DIAG_FILE)), "no diagnostics file")
    fatal = [t for t in small.fatal_entries(work) if "the set-up was ended by SIGTERM" in t]
    ex.check(fatal, "no FATAL entry naming SIGTERM; FATAL entries: %s" % small.fatal_entries(work))
    written = os.listdir(os.path.join(work, "output"))
    ex.check(not written, "the run wrote %s" % " ".join(sorted(written)))


def main(argv):
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--horva", required=True)
    parser.add_argument("--mpiexec", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--timeout", type=int, default=120)
    args = parser.parse_args(argv)
    args.source = small.generate(os.path.join(args.work, "catchment"), days=DAYS)
    failed = 0
    for row in START_ROWS:
        try:
            check_start_row(args, *row)
            print("ok: %s" % row[0])
        except ex.Failure as failure:
            failed += 1
            print("FAILED: %s: %s" % (row[0], failure))
    for row in ROWS:
        try:
            check_row(args, *row)
            print("ok: %s" % row[0])
        except ex.Failure as failure:
            failed += 1
            print("FAILED: %s: %s" % (row[0], failure))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
