#!/usr/bin/env python3
"""Sets every value token of the small catchment's control file, one at a
time, to text that is no valid number or to a value at the edge of every
range, edits every ASCII grid of its input folder, and reports the runs
that horva does not refuse as it should.

A value token is a number on a control-file line that stands before the
line's free text (the text after a run of blanks that starts with a letter,
or with a number and a colon, on a line without "="), in a key block or a
routing description. Each gets

- `nan` and `1e999`, and a whole number itself with a letter glued on
  (`2024x`): horva must refuse each (a non-zero status);
- -1, 0, 1e9, and 0.5 where a whole number stands: horva must refuse each,
  or run it (status 0) where the value has a documented meaning, which
  scripts/value_sweep_legal.txt lists beside this script.

Every ASCII grid of the input folder gets, one at a time: ncols and nrows one
larger, xllcorner 7000 km farther east, cellsize 0 (header fields), row 11
with one value fewer and one more (one row's count), the cell at row 11,
column 13 at the nodata value, and at +1e308 and -1e308. Each must be
refused, or run where the legal list gives the edit a meaning.

Values of real catchments (a reach of 1500 km, Lake Victoria routed as a
reservoir, the Dead Sea's floor in the elevation model, ...), which the
legal list gives as "must" cases, must each run (status 0).

A refusal must name what it refuses: a FATAL entry of the diagnostics file
holds the edited value (as written or as the program prints it), the
section of the line, or the grid file. A run that ends with 0 and wrote "nan"
or "inf" into an output file is marked.

usage: scripts/value_sweep.py --horva build/driver/horva [--jobs 3] [--work DIR]
       [--kinds text,range,grid,real] [--lines FIRST-LAST]
The work folder keeps one sub-folder per run that ended as it should not.
"""

import argparse
import concurrent.futures
import html
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
LEGAL_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "value_sweep_legal.txt")
NUMBER = re.compile(r"(?<![\w.])-?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?(?![\w.])")
WHOLE = re.compile(r"^-?\d+$")
NOT_FINITE = re.compile(r"(?<![\w])(-?nan|-?inf)(?![\w])", re.I)
DIAG_LINE = re.compile(r'<line level="(\d)" description= "(.*?)"/>', re.S)
TEXT_VARIANTS = ("nan", "1e999")
RANGE_VARIANTS = ("-1", "0", "1e9")
GRID_EDITS = ("ncols+1", "nrows+1", "xllcorner+7e6", "cellsize0", "row-1", "row+1", "nodata",
              "+1e308", "-1e308")
# The model's cell that the cell edits and row edits reach: inside the
# catchment of the 20 x 24 copy.
ROW, COLUMN = 11, 13


def value_span(line):
    """The part of a line that holds values: all of it on a line with "=",
    otherwise the part before its free text."""
    if line.lstrip().startswith(("#", "$")):
        return 0
    if "=" in line:
        return len(line)
    # Free text starts with a word, or with a number and a colon ("1: log ...").
    free = re.search(r"\s{2,}(?:[A-Za-z]|\d+:\s)", line)
    return free.start() if free else len(line)


def tokens(text):
    """(line index, start, end, token) of every value token."""
    found = []
    for i, line in enumerate(text.split("\n")):
        end = value_span(line)
        for m in NUMBER.finditer(line[:end]):
            found.append((i, m.start(), m.end(), m.group()))
    return found


def variants(token, kinds):
    """(kind, text) of every value a token gets; none equal to the token."""
    out = []
    if "text" in kinds:
        out += [("text", v) for v in TEXT_VARIANTS]
        if WHOLE.match(token):
            out.append(("text", token + "x"))
    if "range" in kinds:
        out += [("range", v) for v in RANGE_VARIANTS]
        if WHOLE.match(token):
            out.append(("range", "0.5"))
    return [(k, v) for k, v in out if v != token and float_or_none(v) != float_or_none(token)]


def float_or_none(text):
    try:
        return float(text)
    except ValueError:
        return None


def section_of(lines, i):
    """The section header that line i stands in."""
    for j in range(i, -1, -1):
        if lines[j].startswith("["):
            return lines[j].split("]")[0] + "]"
    return ""


MUST_EDIT = re.compile(r'^"((?:[^"\\]|\\.)*)"\s*=>\s*"((?:[^"\\]|\\.)*)"$|'
                       r'^grid (\S+) (\d+) (\d+) (\S+)$|^station (\S+) ([XYZ]) (\d+) (\S+)$')


def must_case(line):
    """(name, edits) of a "must" line; an edit is ("text", old, new),
    ("grid", file, row, column, value) or ("station", file, key, station,
    value)."""
    name, rest = line[len("must "):].split(":", 1)
    edits = []
    for part in (p.strip() for p in rest.split(";")):
        m = MUST_EDIT.match(part)
        if not m:
            raise ValueError("%s: no edit \"%s\" in %s" % (LEGAL_FILE, part, line))
        if m.group(1) is not None:
            edits.append(("text",) + tuple(g.replace("\\n", "\n") for g in m.group(1, 2)))
        elif m.group(3):
            edits.append(("grid", m.group(3), int(m.group(4)), int(m.group(5)), m.group(6)))
        else:
            edits.append(("station", m.group(7), m.group(8), int(m.group(9)), m.group(10)))
    return name.strip(), edits


def read_legal():
    """(line pattern, values) of control-file values and (file, edit) of grid
    edits, whose documented meaning lets them run, and the "must" cases of
    real catchments."""
    values, grids, musts = [], set(), []
    with open(LEGAL_FILE) as f:
        for raw in f:
            line = raw.split("#", 1)[0].rstrip()
            if not line:
                continue
            if line.startswith("must "):
                musts.append(must_case(line))
                continue
            if line.startswith("grid "):
                _, name, edit = line.split()
                grids.add((name, edit))
                continue
            pattern, legal = line.rsplit("->", 1)
            values.append((re.compile(pattern.strip()), {v.strip() for v in legal.split(",")}))
    return values, grids, musts


def legal_value(legal, line, variant):
    return any(p.search(line.strip()) and variant in vs for p, vs in legal)


def prepare(work, source, text):
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(os.path.join(work, "output"))
    shutil.copytree(os.path.join(source, "input"), os.path.join(work, "input"))
    with open(os.path.join(work, "catchment.ctl"), "w") as f:
        f.write(text)
    with open(os.path.join(work, "MpiSpeedFactor.dat"), "w") as f:
        f.write("1\n")


def edit_grid(path, edit):
    """One edit of an ASCII grid file; False when the file has no such part."""
    with open(path) as f:
        lines = f.read().split("\n")
    head = {line.split()[0].lower(): k for k, line in enumerate(lines[:6]) if line.split()}
    if len(head) < 6 or len(lines) < 6 + ROW:
        return False
    nodata = lines[head.get("nodata_value", 5)].split()[1]
    field = {"ncols+1": "ncols", "nrows+1": "nrows", "xllcorner+7e6": "xllcorner",
             "cellsize0": "cellsize"}.get(edit)
    if field:
        if field not in head:
            return False
        k = head[field]
        old = float(lines[k].split()[1])
        new = {"ncols+1": old + 1, "nrows+1": old + 1, "xllcorner+7e6": old + 7e6,
               "cellsize0": 0}[edit]
        lines[k] = "%s %s" % (field, repr(new) if field == "xllcorner" else "%g" % new)
    else:
        values = lines[5 + ROW].split()
        if len(values) < COLUMN:
            return False
        if edit == "row-1":
            values.pop()
        elif edit == "row+1":
            values.append(values[-1])
        else:
            values[COLUMN - 1] = nodata if edit == "nodata" else edit.lstrip("+")
        lines[5 + ROW] = " ".join(values)
    with open(path, "w") as f:
        f.write("\n".join(lines))
    return True


def set_cell(path, row, column, value):
    with open(path) as f:
        lines = f.read().split("\n")
    values = lines[5 + row].split()
    values[column - 1] = value
    lines[5 + row] = " ".join(values)
    with open(path, "w") as f:
        f.write("\n".join(lines))


def set_station_value(path, key, station, value):
    with open(path) as f:
        lines = f.read().split("\n")
    at = next(i for i, line in enumerate(lines) if line.split()[:1] == [key])
    words = lines[at].split()
    words[station] = value
    lines[at] = " ".join(words)
    with open(path, "w") as f:
        f.write("\n".join(lines))


def run_must(args, source, text, case):
    """A real catchment's values: it must run, and write no nan or inf."""
    name, edits = case
    for edit in edits:
        if edit[0] == "text":
            if text.count(edit[1]) != 1:
                return "unusable", None, [], "%s: \"%s\" stands %d times in the control file" % (
                    name, edit[1], text.count(edit[1]))
            text = text.replace(edit[1], edit[2])
    work = os.path.join(args.work, "must_" + name)
    prepare(work, source, text)
    for edit in edits:
        if edit[0] == "grid":
            set_cell(os.path.join(work, "input", edit[1]), *edit[2:])
        elif edit[0] == "station":
            set_station_value(os.path.join(work, "input", edit[1]), *edit[2:])
    status = run_one(args, work, "")
    hits = wrote_not_finite(work) if status == 0 else []
    outcome = "ran" if status == 0 and not hits else "timeout" if status == "timeout" else \
        "refused-real"
    if outcome == "ran":
        shutil.rmtree(work)
    return outcome, status, hits, "must %s" % name


def wrote_not_finite(work):
    hits = []
    folder = os.path.join(work, "output")
    for name in sorted(os.listdir(folder)):
        try:
            with open(os.path.join(folder, name), errors="replace") as f:
                if NOT_FINITE.search(f.read()):
                    hits.append(name)
        except (IsADirectoryError, UnicodeDecodeError):
            pass
    return hits


def fatal_entries(work):
    try:
        with open(os.path.join(work, "Horva_Diag_0.xml"), errors="replace") as f:
            text = f.read()
    except OSError:
        return []
    return [html.unescape(d) for level, d in DIAG_LINE.findall(text) if level == "0"]


def printed_forms(text):
    """The forms a value takes in a message: as written and as %g prints it."""
    forms = {text}
    number = float_or_none(text)
    if number is not None and abs(number) != float("inf") and number == number:
        forms.add("%g" % number)
    return forms


def names_it(fatals, names):
    """Whether a FATAL entry, "Program aborted" and the like aside, holds one
    of the names."""
    own = [t for t in fatals if not t.startswith(("Program aborted", "Exception ", "exception "))]
    return any(n in t for t in own for n in names if n)


def run_one(args, work, text):
    env = dict(os.environ, OMP_NUM_THREADS="1", OMPI_ALLOW_RUN_AS_ROOT="1",
               OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    try:
        return subprocess.run([args.horva, "catchment.ctl"], cwd=work, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=args.timeout).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def judge(status, work, names, legal):
    """The outcome of a run: refused, refused-unnamed, legal, accepted,
    timeout or crashed (a signal)."""
    if status == "timeout":
        return "timeout"
    # horva runs without a shell: a signal gives a negative status, while a
    # code above 255 arrives modulo 256 (1161 as 137).
    if status < 0:
        return "crashed"
    if status != 0:
        return "refused" if names_it(fatal_entries(work), names) else "refused-unnamed"
    return "legal" if legal else "accepted"


def run_value(args, source, lines, legal, item):
    i, start, end, token, kind, variant = item
    edited = list(lines)
    edited[i] = lines[i][:start] + variant + lines[i][end:]
    work = os.path.join(args.work, "l%d_c%d_%s" % (i + 1, start, re.sub(r"\W", "_", variant)))
    prepare(work, source, "\n".join(edited))
    status = run_one(args, work, edited[i])
    names = printed_forms(variant) | {section_of(lines, i), section_of(lines, i).strip("[]")}
    ok_at_0 = kind == "range" and legal_value(legal, lines[i], variant)
    outcome = judge(status, work, names, ok_at_0)
    hits = wrote_not_finite(work) if status == 0 else []
    if outcome in ("refused", "legal") and not hits:
        shutil.rmtree(work)
    return outcome, status, hits, "line %d, \"%s\" as \"%s\": %s" % (
        i + 1, token, variant, edited[i].strip())


def run_grid(args, source, text, legal, item):
    name, edit = item
    tag = re.sub(r"\W", "_", edit.replace("+", "plus").replace("-", "minus"))
    work = os.path.join(args.work, "grid_%s_%s" % (name, tag))
    prepare(work, source, text)
    if not edit_grid(os.path.join(work, "input", name), edit):
        shutil.rmtree(work)
        return "skipped", None, [], "%s %s" % (name, edit)
    status = run_one(args, work, "")
    outcome = judge(status, work, {name}, (name, edit) in legal)
    hits = wrote_not_finite(work) if status == 0 else []
    if outcome in ("refused", "legal") and not hits:
        shutil.rmtree(work)
    return outcome, status, hits, "%s %s" % (name, edit)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--horva", required=True)
    parser.add_argument("--work", default=None)
    parser.add_argument("--jobs", type=int, default=3)
    parser.add_argument("--timeout", type=int, default=120)
    parser.add_argument("--kinds", default="text,range,grid,real")
    parser.add_argument("--lines", default=None, help="only lines FIRST-LAST of the control file")
    args = parser.parse_args()
    kinds = set(args.kinds.split(","))
    args.horva = os.path.abspath(args.horva)
    args.work = os.path.abspath(args.work or tempfile.mkdtemp(prefix="value_sweep_"))
    source = os.path.join(args.work, "catchment")
    if not os.path.exists(source):
        subprocess.run([sys.executable, os.path.join(ROOT, "examples", "make_catchment.py"),
                        "--rows", "20", "--cols", "24", "--days", "1", "--out", source,
                        "--jobs", "1"], check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(source, "catchment.ctl")) as f:
        text = f.read()
    lines = text.split("\n")
    legal_values, legal_grids, musts = read_legal()
    items = [(i, s, e, t, k, v) for i, s, e, t in tokens(text) for k, v in variants(t, kinds)]
    if args.lines:
        first, last = (int(x) for x in args.lines.split("-"))
        items = [item for item in items if first <= item[0] + 1 <= last]
    grids = []
    if "grid" in kinds:
        names = sorted(n for n in os.listdir(os.path.join(source, "input")) if n.endswith(".asc"))
        grids = [(n, e) for n in names for e in GRID_EDITS]
    musts = musts if "real" in kinds else []
    print("%d value tokens, %d value runs, %d grid runs, %d real-world runs in %s" %
          (len({x[:3] for x in items}), len(items), len(grids), len(musts), args.work), flush=True)
    counts = {}
    jobs = [lambda x=x: run_value(args, source, lines, legal_values, x) for x in items]
    jobs += [lambda g=g: run_grid(args, source, text, legal_grids, g) for g in grids]
    jobs += [lambda m=m: run_must(args, source, text, m) for m in musts]
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for done, (outcome, status, hits, what) in enumerate(pool.map(lambda job: job(), jobs), 1):
            counts[outcome] = counts.get(outcome, 0) + 1
            if done % 250 == 0:
                print("after %d of %d runs: %s" % (done, len(jobs), ", ".join(
                    "%s %d" % kv for kv in sorted(counts.items()))), flush=True)
            if outcome not in ("refused", "legal", "skipped", "ran") or hits:
                print("%s (%s) %s%s" % (outcome.upper(), status, what,
                                        "  (wrote nan/inf: %s)" % " ".join(hits) if hits else ""),
                      flush=True)
    print("outcomes: " + ", ".join("%s %d" % kv for kv in sorted(counts.items())))
    bad = sum(n for k, n in counts.items() if k not in ("refused", "legal", "skipped", "ran"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
