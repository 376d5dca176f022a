#!/usr/bin/env python3
"""Times horva on the example catchment at large sizes and process counts.

For every size (default 1000 x 1000 and 4000 x 4000 cells) the catchment of
examples/make_catchment.py is generated once with one day of hourly data; horva
then runs set-up and the 24 hourly steps on every process count (default 1, 2,
4 and 8, one OpenMP thread each, then 2 processes of 4 threads) from a clean
work folder. The table gives the
wall time of the set-up (until the first step begins) and of the day, the
cell-steps per second of the day, the parallel efficiency against the smallest
process count, and the peak memory of rank 0 and of the largest other process.
Rank 0 holds whole only the grids a computation needs whole; the last lines
say what that still costs.

usage: scripts/scaling.py [--sizes 1000 4000] [--processes 1 2 4 8] [--threads 1]
                          [--hybrid 2 4] [--work build-scaling] [--horva build/driver/horva]

A run whose estimated memory exceeds what the machine has available is
skipped with a note. Only the Python standard library is needed.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
GENERATOR = os.path.join(ROOT, "examples", "make_catchment.py")
STEPS = 24

# Run under mpirun in front of horva: reports the peak resident memory of
# the process it starts, with the MPI rank.
RSS_PROBE = (
    "import os, resource, subprocess, sys\n"
    "code = subprocess.call(sys.argv[1:])\n"
    "rank = os.environ.get('OMPI_COMM_WORLD_RANK', os.environ.get('PMI_RANK', '-1'))\n"
    "kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss\n"
    "sys.stderr.write('peak-rss rank %s kb %d\\n' % (rank, kb))\n"
    "sys.exit(code)\n"
)


def available_memory_kb():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1])
    return 0


def generate(size, folder):
    """The catchment of size x size cells with one day of data, once."""
    if os.path.exists(os.path.join(folder, "catchment.ctl")):
        return 0.0
    start = time.monotonic()
    subprocess.run([sys.executable, GENERATOR, "--rows", str(size), "--cols", str(size),
                    "--days", "1", "--out", folder], check=True)
    return time.monotonic() - start


def run(horva, catchment, work, processes, threads):
    """Runs horva once; returns the set-up and day times, the catchment's
    cells and the peak memory of every rank in kB."""
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(os.path.join(work, "output"))
    shutil.copy(os.path.join(catchment, "catchment.ctl"), work)
    os.symlink(os.path.join(catchment, "input"), os.path.join(work, "input"))
    # Equal shares: the speed measurement would be noise on a busy machine.
    with open(os.path.join(work, "MpiSpeedFactor.dat"), "w") as f:
        f.write("1\n")
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OMP_WAIT_POLICY="PASSIVE",
               OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    # Open MPI binds runs of one or two processes to cores, which on a shared
    # machine may be the busiest ones: the scheduler places them.
    command = ["mpirun", "--oversubscribe", "--bind-to", "none", "-np", str(processes),
               sys.executable, "-c", RSS_PROBE, horva, "catchment.ctl"]
    start = time.monotonic()
    first_step = None
    cells = 0
    with open(os.path.join(work, "console.txt"), "w") as console, \
            open(os.path.join(work, "errors.txt"), "w+") as errors:
        process = subprocess.Popen(command, cwd=work, env=env, stdout=subprocess.PIPE,
                                   stderr=errors, text=True, errors="replace")
        for line in process.stdout:
            console.write(line)
            if first_step is None and "ModellApplication: model time" in line:
                first_step = time.monotonic()
            found = re.search(r"MPI regular cells: (\d+)", line)
            if found:
                cells = int(found.group(1))
        status = process.wait()
        end = time.monotonic()
        errors.seek(0)
        text = errors.read()
    if status != 0 or first_step is None:
        raise RuntimeError("horva failed with status %d in %s" % (status, work))
    peaks = {int(r): int(kb) for r, kb in re.findall(r"peak-rss rank (-?\d+) kb (\d+)", text)}
    return first_step - start, end - first_step, cells, peaks


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 4000])
    parser.add_argument("--processes", type=int, nargs="+", default=[1, 2, 4, 8])
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--hybrid", type=int, nargs=2, default=[2, 4], metavar=("PROCESSES", "THREADS"),
                        help="a last run of that many processes and threads each (0 0: none)")
    parser.add_argument("--work", default=os.path.join(ROOT, "build-scaling"))
    parser.add_argument("--horva", default=os.path.join(ROOT, "build", "driver", "horva"))
    args = parser.parse_args(argv)
    # The runs start in work folders of their own, which link the input by
    # an absolute path.
    args.horva = os.path.abspath(args.horva)
    args.work = os.path.abspath(args.work)
    if not os.access(args.horva, os.X_OK):
        parser.error("%s is not there; build it first (scripts/run-example.sh builds it)" % args.horva)
    os.makedirs(args.work, exist_ok=True)

    rows = []
    notes = []
    # Memory per cell and process, learnt from the runs so far.
    rank0_bytes_per_cell = None
    worker_bytes_per_cell = None
    for size in args.sizes:
        catchment = os.path.join(args.work, "catchment_%d" % size)
        seconds = generate(size, catchment)
        if seconds:
            print("generated %d x %d cells in %.0f s" % (size, size, seconds), flush=True)
        grid_cells = size * size
        reference = None
        layouts = [(p, args.threads) for p in sorted(args.processes)]
        if args.hybrid[0] > 0:
            layouts.append(tuple(args.hybrid))
        for processes, threads in layouts:
            if rank0_bytes_per_cell is not None:
                workers = worker_bytes_per_cell or rank0_bytes_per_cell
                need = grid_cells * (rank0_bytes_per_cell + (processes - 1) * workers / processes)
                have = available_memory_kb() * 1024 * 0.9
                if need > have:
                    notes.append("%d x %d on %d processes skipped: it needs about %.1f GB, %.1f GB "
                                 "are available" % (size, size, processes, need / 1e9, have / 1e9))
                    continue
            work = os.path.join(args.work, "run_%d_np%d_t%d" % (size, processes, threads))
            setup, day, cells, peaks = run(args.horva, catchment, work, processes, threads)
            rank0 = peaks.get(0, 0)
            others = max([kb for r, kb in peaks.items() if r != 0] or [0])
            rank0_bytes_per_cell = rank0 * 1024.0 / grid_cells
            if processes > 1:
                worker_bytes_per_cell = others * 1024.0 * processes / grid_cells
            if reference is None:
                reference = (processes * threads, day)
            efficiency = reference[1] * reference[0] / (day * processes * threads)
            rows.append((size, processes, threads, setup, day, cells * STEPS / day, efficiency, rank0,
                         others))
            print("%d x %d, %d processes of %d threads: set-up %.1f s, day %.1f s" % (
                size, size, processes, threads, setup, day), flush=True)

    print()
    print("| cells | processes | threads | set-up (s) | day of 24 steps (s) | cell-steps/s | efficiency "
          "| peak memory rank 0 (MiB) | peak memory other ranks (MiB) |")
    print("|---|---|---|---|---|---|---|---|---|")
    for size, processes, threads, setup, day, rate, efficiency, rank0, others in rows:
        print("| %d x %d | %d | %d | %.1f | %.1f | %.3g | %.2f | %.0f | %s |" % (
            size, size, processes, threads, setup, day, rate, efficiency, rank0 / 1024.0,
            "%.0f" % (others / 1024.0) if others else "-"))
    print()
    print("cell-steps: catchment cells x %d hourly steps; efficiency: the day's time of the first "
          "run times its cores (processes x threads), over the same for this run" % STEPS)
    for size in args.sizes:
        largest = [r for r in rows if r[0] == size and r[8] > 0]
        if not largest:
            continue
        largest.sort(key=lambda r: r[1])
        size, processes, _, _, _, _, _, rank0, others = largest[-1]
        whole = size * size * 8 / 2.0**20
        extra = (rank0 - others) / 1024.0
        print("%d x %d on %d processes: rank 0 needs %.0f MiB more than any other process, about %.0f "
              "whole grids of %.3g MiB each" % (size, size, processes, extra, extra / whole, whole))
    for note in notes:
        print(note)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
