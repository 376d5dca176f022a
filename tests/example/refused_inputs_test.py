#!/usr/bin/env python3
"""horva refuses control-file values that would create or destroy water.

Each row edits one value of a small copy of the example and runs it on one
and on two processes: the run ends with the row's code and a FATAL entry
that names the section, the label and the value (or, for a value that is
merely unusual, runs with a WARNING that names it). The unedited copy runs
with status 0.
"""

import sys

import example_test as ex
import small_catchment as small
from small_catchment import Case


def snow_types(count):
    return ex.replace_once("1     number of snow types", "%d     number of snow types" % count)


CASES = {
    "unedited": Case(),
    "no_snow_type": Case(snow_types(0), code=30, words="the number of snow types in "
                         "[LayeredSnowProperties] of catchment.ctl.intern is 0"),
    "negative_snow_types": Case(snow_types(-2), code=30, words="the number of snow types in "
                                "[LayeredSnowProperties] of catchment.ctl.intern is -2"),
}

if __name__ == "__main__":
    sys.exit(small.main(__doc__, CASES, sys.argv[1:]))
