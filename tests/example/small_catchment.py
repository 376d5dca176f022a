"""Runs of horva on a small copy of the example catchment.

make_catchment.py writes the example's landscape at 20 x 24 cells with a few
days of station data; a run of it takes about a second, so a test can run it
once per case and on several process counts. The helpers here prepare such
runs and compare what they wrote; each test script that uses them holds its
own table of cases.
"""

import concurrent.futures
import filecmp
import math
import os
import re
import shutil
import subprocess
import sys
import threading

import example_test as ex

ROWS, COLS = 20, 24


def generate(folder, days=3, rows=ROWS, cols=COLS):
    """The small catchment with `days` days of hourly data, written into
    folder (anew each time, so that no test sees another's edits)."""
    subprocess.run([sys.executable, os.path.join(ex.EXAMPLE, "make_catchment.py"), "--rows",
                    str(rows), "--cols", str(cols), "--days", str(days), "--out", folder,
                    "--jobs", "1"], check=True, stdout=subprocess.DEVNULL)
    return folder


def freeze_thaw(folder):
    """Temperatures around 0 degC, every station's shifted by the mean of
    all, with a wave of +-3.5 K every 12 hours, and four times the
    precipitation with 0.8 mm more every 6 hours: snow that melts and
    freezes again, rain on it."""
    def rows(name):
        with open(os.path.join(folder, name)) as f:
            lines = f.read().splitlines(True)
        header = next(i for i, line in enumerate(lines) if line.startswith("YY")) + 1
        return lines[:header], [line.split() for line in lines[header:]]

    def write(name, head, values):
        with open(os.path.join(folder, name), "w") as f:
            f.writelines(head + [" ".join(p[:4] + ["%.2f" % v for v in vs]) + "\n"
                                 for p, vs in values])

    head, lines = rows("temperature.txt")
    mean = sum(float(v) for p in lines for v in p[4:]) / sum(len(p) - 4 for p in lines)
    write("temperature.txt", head, [
        (p, [float(v) - mean + 3.5 * math.sin(2.0 * math.pi * int(p[3]) / 12.0) for v in p[4:]])
        for p in lines])
    head, lines = rows("precipitation.txt")
    write("precipitation.txt", head, [
        (p, [4.0 * float(v) + (0.8 if int(p[3]) % 6 == 0 else 0.0) for v in p[4:]])
        for p in lines])


def prepare(work, source, days, edit_control=None, edit_input=None):
    """A clean work folder from the small catchment in source."""
    ex.prepare(work, days, edit_control, edit_input, source=source)


def run(args, work, processes, threads=1, options=(), speeds=None, refused=False):
    """horva on work; returns its exit status (as the shell sees it) and console.
    With speeds, each process takes its time from them (see ex.speed_folders);
    refused, the run is expected to end through MPI_Abort."""
    return ex.run_horva(args, work, processes, threads, options, speeds, refused)


def whole_grids(folder):
    """The compared files of folder, without a process's own copy of a grid
    that rank 0 writes whole beside it ("<name>_<rank>", in netCDF
    "<name>_<rank>.nc")."""
    names = ex.compared_files(folder)

    def rank_copy(name):
        base, ending = (name[:-3], ".nc") if name.endswith(".nc") else (name, "")
        return re.match(r"^.*_\d{3}$", base) and base[:-4] + ending in names
    return {n for n in names if not rank_copy(n)}


def differing_outputs(reference, other):
    """The output files that two runs wrote differently, or wrote only one of
    (the per-process and decomposition files excepted)."""
    left, right = os.path.join(reference, "output"), os.path.join(other, "output")
    names, others = whole_grids(left), whole_grids(right)
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


# The switches that make a module start from the state of a former run.
WARM_START_SWITCHES = (
    (r"^0( +readgrid:.*)$", r"1\1"),
    (r"^0( +snow readgrid.*)$", r"1\1"),
    (r"^0( +interception readgrid.*)$", r"1\1"),
    (r"^0( +readgrids.*)$", r"1\1"),
    (r"^0( +grid read parameter.*)$", r"1\1"))


def state_written(text):
    """The control file with grids written as doubles (ASCII rounds them),
    so that a warm start from them can go on to the last bit, and every grid
    of silting-up written at the end of the run (the example writes its
    state grids so)."""
    text, count = re.subn(r"^WriteAsciiGrids = 1$", "WriteDoubleGrids = 1", text, flags=re.M)
    ex.check(count == 1, "the control file has no line \"WriteAsciiGrids = 1\"")
    start = text.index("[SiltingUpModel]")
    end = text.index("\n[", start) + 1
    return text[:start] + re.sub(r"^0( +its write code)$", r"3\1", text[start:end],
                                 flags=re.M) + text[end:]


def warm_started(text, day, hour=0):
    """The control file starting on `day` at `hour` from the states in its
    input folder."""
    text = ex.replace_lines(text, ((r"^1 +start day$", "%d        start day" % day),
                                   (r"^0 +start hour$", "%d        start hour" % hour)))
    for pattern, line in WARM_START_SWITCHES:
        text = re.sub(pattern, line, text, flags=re.M)
    return text


def ended_before(hour):
    """The control file ending with the step before `hour` (of its last day)."""
    return lambda text: ex.replace_lines(text, ((r"^23 +end hour$", "%d       end hour" %
                                                 (hour - 1)),))


def rows_from(path, day, hour):
    """The header and the rows of a series from `hour` of the given day of
    March on (day and hour in the third and fourth columns)."""
    head, rows = ex.rows_from_day(path, day)
    if not hour:
        return head, rows
    # A daily series goes on with the day's line begun before the split.
    return head, [r for r in rows if (int(r.split()[2]), float(r.split()[3])) >= (day, hour)]


def continuation_differences(args, base, source, days, edit_control=None, edit_input=None,
                             processes=1, hour=0, day=None):
    """Runs A through `days` days, B up to `hour` of `day` (the last day
    unless given), and C from there on, started from every file B wrote
    (copied into C's input folder, where a user's former run leaves its
    states). Returns the output files C wrote differently from A from its
    start on, or that only one of them wrote, or a fault."""
    def edited(*more):
        return lambda text: _chain(text, (state_written, edit_control) + more)
    day = day or days
    through, first, second = (os.path.join(base, n) for n in ("through", "first", "second"))
    prepare(through, source, days, edited(), edit_input)
    if hour:
        prepare(first, source, day, edited(ended_before(hour)), edit_input)
    else:
        prepare(first, source, day - 1, edited(), edit_input)
    prepare(second, source, days, edited(lambda text: warm_started(text, day, hour)), edit_input)
    for work in (through, first):
        status, console = run(args, work, processes)
        if status != 0:
            return ["%s ended with status %d:\n%s" % (work, status, console[-3000:])]
    for name in os.listdir(os.path.join(first, "output")):
        shutil.copy(os.path.join(first, "output", name), os.path.join(second, "input", name))
    status, console = run(args, second, processes)
    if status != 0:
        return ["the warm start %s ended with status %d:\n%s" % (second, status, console[-3000:])]
    differ = []
    names = whole_grids(os.path.join(second, "output"))
    for name in sorted(names):
        if ex.WHOLE_RUN_GRID.search(name):
            continue
        ours, theirs = (os.path.join(w, "output", name) for w in (second, through))
        if not os.path.exists(theirs):
            differ.append(name + " (only the warm start wrote it)")
        elif name.endswith((".stat", ".txt")):
            if rows_from(ours, day, hour) != rows_from(theirs, day, hour):
                differ.append(name)
        elif not filecmp.cmp(ours, theirs, shallow=False):
            differ.append(name)
    # Files named by a date the first run wrote as well belong to the time
    # before the warm start.
    before = {n for n in whole_grids(os.path.join(first, "output")) if re.search(r"\d{4}", n)}
    differ += ["%s (only the run through wrote it)" % name
               for name in sorted(whole_grids(os.path.join(through, "output")) - names - before)
               if not ex.WHOLE_RUN_GRID.search(name)]
    return differ


def _chain(text, edits):
    for edit in edits:
        if edit:
            text = edit(text)
    return text


class Case:
    """One row of a table of runs: an edit of the small catchment and what
    every run of it on `processes` processes must show. With code 0 every run
    ends with status 0 and writes the same files as the first; otherwise it
    ends with that code (as the shell sees it: modulo 256). `words` must stand
    in an entry of the diagnostics file at `level` (0 FATAL, 2 WARNING).
    With `continues`, a warm start on each process count goes on from the
    run's last but one day (from split_hour of split_day, when given)
    exactly as the run through (see continuation_differences), and
    check_outputs judges the warm start. With `former`, a FormerRun, each
    run starts from its states, which edit_state(input folder) may change
    first. With `like`, a Reference, the runs write the same files as the reference's run
    on one process. With `shape`, (rows, columns), the catchment is made at
    that size, whose strips fall elsewhere. With `speeds`, the times of
    ranks 0, 1, ... that each process reads as its own speed: the strips
    then differ in length, as measured speeds would make them. With
    `own_data` it is made with the row's days of data; the other rows share
    one with as many days as the longest of them, so that a long row leaves
    their weather as it was."""

    def __init__(self, edit_control=None, edit_input=None, days=2, processes=(1, 2), code=0,
                 words=None, level=None, check_outputs=None, then=None, continues=False,
                 like=None, split_hour=0, shape=(ROWS, COLS), speeds=None, own_data=False,
                 split_day=None, former=None, edit_state=None):
        self.edit_control, self.edit_input, self.days = edit_control, edit_input, days
        self.shape, self.speeds = shape, speeds
        self.own_data = own_data
        self.processes, self.code, self.words = processes, code, words
        self.level = level if level is not None else (0 if code else 2)
        # A function of the work folder that raises ex.Failure when the
        # outputs of a run are wrong in a way the comparison cannot see
        # (of a refused run: what it must have left as it was).
        self.check_outputs = check_outputs
        # A Then: a second run in the same folder after the first ended with
        # status 0; code, words and outputs are those of the second.
        self.then = then
        self.continues = continues
        # The day (the last one unless given) and hour at which the warm
        # start takes over.
        self.split_day, self.split_hour = split_day, split_hour
        self.former, self.edit_state = former, edit_state
        self.like = like


class FormerRun:
    """A run whose output folder several cases start from, copied into
    their input folder as a user copies a former run's states: made once per
    process count and shared, so that each case runs only its own start."""

    def __init__(self, name, edit_control=None, edit_input=None, days=1):
        self.name, self.edit_control, self.edit_input, self.days = (name, edit_control,
                                                                    edit_input, days)
        self._lock = threading.Lock()
        self._made = {}

    def output(self, args, source, processes):
        """The output folder of the run on `processes` processes, its status
        and console."""
        with self._lock:
            if processes not in self._made:
                work = os.path.join(args.work, "former_" + self.name, "np%d" % processes)
                prepare(work, source, self.days, self.edit_control, self.edit_input)
                status, console = run(args, work, processes)
                self._made[processes] = (os.path.join(work, "output"), status, console)
        return self._made[processes]


class Reference:
    """Another edit of the small catchment whose outputs a case must match:
    file by file, or by compare(reference_work, work), which raises
    ex.Failure where the case's run does not match the reference's."""

    def __init__(self, edit_control=None, edit_input=None, compare=None):
        self.edit_control, self.edit_input = edit_control, edit_input
        self.compare = compare


class Then:
    """A second run: the control file `control` of the small catchment
    (shortened to the case's days, edited by edit_control) in place of the
    first run's, with the command-line options."""

    def __init__(self, control, edit_control=None, options=(), edit_work=None):
        self.control, self.edit_control, self.options = control, edit_control, options
        # A function of the work folder that changes the first run's files
        # before the second run.
        self.edit_work = edit_work

    def prepare(self, work, source, days):
        with open(os.path.join(source, self.control)) as f:
            text = f.read()
        for name, value in (("endday", days), ("endmonth", 3)):
            text = re.sub(r"^\$set \$%s = \d+$" % name, "$set $%s = %d" % (name, value), text,
                          flags=re.M)
        if self.edit_control:
            text = self.edit_control(text)
        with open(os.path.join(work, ex.CONTROL_FILE), "w") as f:
            f.write(text)
        if self.edit_work:
            self.edit_work(work)


def run_on(args, name, case, source, processes):
    """The runs of one case on `processes` processes; returns a list of
    faults and the work folder whose outputs the other process counts must
    match (None where there is none)."""
    if case.continues:
        base = os.path.join(args.work, name, "np%d" % processes)
        differ = continuation_differences(args, base, source, case.days, case.edit_control,
                                          case.edit_input, processes, case.split_hour,
                                          case.split_day)
        if differ:
            return ["%s: the warm start on %d processes differs from the run through in %s" %
                    (name, processes, " ".join(differ))], None
        if case.check_outputs:
            try:
                case.check_outputs(os.path.join(base, "second"))
            except ex.Failure as failure:
                return ["%s: the warm start on %d processes: %s" % (name, processes, failure)], None
        return [], None
    faults = []
    work = os.path.join(args.work, name, "np%d" % processes)
    prepare(work, source, case.days, case.edit_control, case.edit_input)
    if case.former:
        output, status, console = case.former.output(args, source, processes)
        if status != 0:
            return ["%s: the former run on %d processes ended with status %d:\n%s" %
                    (name, processes, status, console[-3000:])], None
        for state in os.listdir(output):
            shutil.copy(os.path.join(output, state), os.path.join(work, "input", state))
        if case.edit_state:
            case.edit_state(os.path.join(work, "input"))
    status, console = run(args, work, processes, speeds=case.speeds,
                          refused=bool(case.code) and not case.then)
    if case.then and status == 0:
        case.then.prepare(work, source, case.days)
        status, console = run(args, work, processes, options=case.then.options,
                              refused=bool(case.code))
    if status != case.code % 256:
        return ["%s on %d processes ended with status %d, not %d:\n%s" %
                (name, processes, status, case.code % 256, console[-3000:])], None
    if case.words is not None:
        entries = [t for level, t in ex.diag_entries(work) if level == str(case.level)]
        if not any(case.words in t for t in entries):
            faults.append("%s on %d processes: no level-%d entry with \"%s\"; those written:\n%s" %
                          (name, processes, case.level, case.words, "\n".join(entries)))
    if case.code:
        full = [t for t in fatal_entries(work) if "Program aborted with exit code %d" % case.code in t]
        if not full:
            faults.append("%s on %d processes: the log does not give the full code %d" %
                          (name, processes, case.code))
    if case.check_outputs:
        try:
            case.check_outputs(work)
        except ex.Failure as failure:
            faults.append("%s on %d processes: %s" % (name, processes, failure))
    return faults, None if case.code else work


def run_reference(args, name, case, source):
    """The run of a case's reference on one process; returns its work
    folder, exit status and console."""
    work = os.path.join(args.work, name, "reference")
    prepare(work, source, case.days, case.like.edit_control, case.like.edit_input)
    status, console = run(args, work, 1)
    return work, status, console


def compared(name, case, results, reference):
    """The faults of a case: those of its runs on each process count
    (results, in the order of case.processes), then where their outputs
    differ from each other's or from the reference's run (work, status,
    console) that a case with `like` makes."""
    faults = [fault for found, _ in results for fault in found]
    works = [work for _, work in results if work]
    for other in works[1:]:
        differ = differing_outputs(works[0], other)
        if differ:
            faults.append("%s: %s differs from %s in %s" % (name, other, works[0], " ".join(differ)))
    if case.like and works:
        work, status, console = reference
        # The reference reads its grids once: it has no counters of periodic
        # reads to leave.
        differ = [n for n in differing_outputs(work, works[0]) if n != "PeriodicGrids_End"] \
            if status == 0 and not case.like.compare else []
        if status != 0:
            faults.append("%s: the reference run ended with status %d:\n%s" %
                          (name, status, console[-3000:]))
        elif case.like.compare:
            try:
                case.like.compare(work, works[0])
            except ex.Failure as failure:
                faults.append("%s: %s against the reference %s: %s" % (name, works[0], work,
                                                                         failure))
        elif differ:
            faults.append("%s: %s differs from the reference %s in %s" %
                          (name, works[0], work, " ".join(differ)))
    return faults


def default_jobs():
    """Runs at once: four on each core this process may use, as most runs
    spend most of their time starting and ending MPI, at most eight (a run
    under the address sanitizer takes 400 MB a process)."""
    return max(1, min(8, 4 * len(os.sched_getaffinity(0))))


def expected_work(case, processes):
    """Process-days that the runs of a case on `processes` processes take
    (0: its reference's run on one), roughly, in catchments of the small
    one's size."""
    if not processes:
        work = case.days
    else:
        runs = 3 if case.continues else 2 if case.then else 1
        work = runs * case.days * processes + (case.former.days if case.former else 0)
    return work * case.shape[0] * case.shape[1] / (ROWS * COLS)


def main(doc, cases, argv):
    """The command line of a test script that runs a table of cases: all of
    them, or those named with --case."""
    import argparse
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--horva", required=True)
    parser.add_argument("--mpiexec", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--timeout", type=int, default=240)
    parser.add_argument("--case", action="append", choices=sorted(cases))
    parser.add_argument("--jobs", type=int, default=default_jobs(), help="cases run at once")
    args = parser.parse_args(argv)
    days = max([c.days for c in cases.values() if not c.own_data] + [2])
    names = args.case or sorted(cases)

    def source(case):
        return case.shape, case.days if case.own_data else days
    sources = {((ROWS, COLS), days): generate(os.path.join(args.work, "catchment"), days=days)}
    for shape, length in sorted({source(cases[name]) for name in names} - set(sources)):
        folder = "catchment_%dx%d" % shape + ("_%dd" % length if length != days else "")
        sources[(shape, length)] = generate(os.path.join(args.work, folder), length, *shape)
    # A refusal that one process finds alone ends the run only after the
    # others' wait for it times out: the runs mostly wait, and run side by
    # side, each process count of a case and its reference as runs of their
    # own, the longest first, so that no long run is left to run alone at
    # the end.
    units = [(name, processes) for name in names
             for processes in list(cases[name].processes) + ([0] if cases[name].like else [])]
    units.sort(key=lambda unit: -expected_work(cases[unit[0]], unit[1]))
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = {(name, processes): pool.submit(
            run_reference if processes == 0 else run_on, args, name, cases[name],
            sources[source(cases[name])], *([processes] if processes else []))
            for name, processes in units}
        failed = 0
        for name in names:
            case = cases[name]
            faults = compared(name, case, [futures[(name, p)].result() for p in case.processes],
                              futures[(name, 0)].result() if case.like else None)
            failed += bool(faults)
            for fault in faults:
                print("FAILED: %s" % fault)
            if not faults:
                print("ok: %s" % name)
    return 1 if failed else 0
