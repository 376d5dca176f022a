#!/usr/bin/env python3
"""horva refuses control-file values that would create or destroy water.

Each row edits one value of a small copy of the example and runs it on one
and on two processes: the run ends with the row's code and a FATAL entry
that names the section, the label and the value (or, for a value that is
merely unusual, runs with a WARNING that names it). The unedited copy runs
with status 0.
"""

import sys

import small_catchment as small
from small_catchment import Case

CASES = {
    "unedited": Case(),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
