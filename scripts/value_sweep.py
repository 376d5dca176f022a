#!/usr/bin/env python3
"""Sets every value token of the small catchment's control file, one at a
time, to text that is no valid number and reports the runs that end with 0.

A value token is a number on a control-file line that stands before the
line's free text (the text after a run of blanks that starts with a letter,
or with a number and a colon, on a line without "="), in a key block or a
routing description. Each gets
`nan` and `1e999`; a whole number also gets itself with a letter glued on
(`2024x`). horva must refuse each such run (a non-zero status): a run that
ends with 0 took the text for a number, or the token is free text that the
pattern took for a value; the report lists both kinds for a reader to judge.
A run that ends with 0 and wrote "nan" or "inf" into an output file is marked.

usage: scripts/value_sweep.py --horva build/driver/horva [--jobs 3] [--work DIR]
The work folder keeps one sub-folder per run that ended with 0.
"""

import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
NUMBER = re.compile(r"(?<![\w.])-?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?(?![\w.])")
WHOLE = re.compile(r"^-?\d+$")
NOT_FINITE = re.compile(r"(?<![\w])(-?nan|-?inf)(?![\w])", re.I)


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


def variants(token):
    out = ["nan", "1e999"]
    if WHOLE.match(token):
        out.append(token + "x")
    return out


def prepare(work, source, text):
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(os.path.join(work, "output"))
    shutil.copytree(os.path.join(source, "input"), os.path.join(work, "input"))
    with open(os.path.join(work, "catchment.ctl"), "w") as f:
        f.write(text)
    with open(os.path.join(work, "MpiSpeedFactor.dat"), "w") as f:
        f.write("1\n")


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


def run(args, source, lines, item):
    i, start, end, token, variant = item
    edited = list(lines)
    edited[i] = lines[i][:start] + variant + lines[i][end:]
    work = os.path.join(args.work, "l%d_c%d_%s" % (i + 1, start, re.sub(r"\W", "_", variant)))
    prepare(work, source, "\n".join(edited))
    env = dict(os.environ, OMP_NUM_THREADS="1", OMPI_ALLOW_RUN_AS_ROOT="1",
               OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    try:
        status = subprocess.run([args.horva, "catchment.ctl"], cwd=work, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                timeout=args.timeout).returncode
    except subprocess.TimeoutExpired:
        status = "timeout"
    hits = wrote_not_finite(work) if status == 0 else []
    if status != 0:
        shutil.rmtree(work)
    return item, status, hits, edited[i].strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--horva", required=True)
    parser.add_argument("--work", default=None)
    parser.add_argument("--jobs", type=int, default=3)
    parser.add_argument("--timeout", type=int, default=120)
    parser.add_argument("--lines", default=None, help="only lines FIRST-LAST of the control file")
    args = parser.parse_args()
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
    items = [(i, s, e, t, v) for i, s, e, t in tokens(text) for v in variants(t)]
    if args.lines:
        first, last = (int(x) for x in args.lines.split("-"))
        items = [item for item in items if first <= item[0] + 1 <= last]
    print("%d value tokens, %d runs in %s" % (len({x[:3] for x in items}), len(items), args.work),
          flush=True)
    accepted = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for item, status, hits, line in pool.map(lambda x: run(args, source, lines, x), items):
            if status == 0 or status == "timeout":
                accepted.append((item, status, hits, line))
                print("%s line %d, \"%s\" as \"%s\": %s%s" %
                      ("ACCEPTED" if status == 0 else "TIMEOUT", item[0] + 1, item[3], item[4], line,
                       "  (wrote nan/inf: %s)" % " ".join(hits) if hits else ""), flush=True)
    print("%d of %d runs ended with 0 or did not end" % (len(accepted), len(items)))
    return 1 if accepted else 0


if __name__ == "__main__":
    sys.exit(main())
