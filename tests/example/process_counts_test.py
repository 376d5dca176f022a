#!/usr/bin/env python3
"""horva gives the same results on any number of processes.

Each row edits a small copy of the example (settings the example itself does
not use) and runs it on one process and on two or three: every run ends with
status 0 and writes the same output files, byte for byte, or every run ends
with the same code and message.
"""

import sys

import small_catchment as small
from small_catchment import Case

CASES = {
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
