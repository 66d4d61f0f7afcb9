#!/usr/bin/env python3
"""Makes the program as an older Windows runs it: a copy whose look-up of
SetDefaultDllDirectories finds nothing, as on Vista and 7 without the update
that brings it, so that the start-up takes its fallback. One byte of the
looked-up name changes; the name must occur exactly once, or the copy could
not be trusted to change that look-up and nothing else.

Usage: older_system_copy.py PROGRAM COPY
"""

import os
import sys

NAME = b"SetDefaultDllDirectories\0"
CHANGED = b"SetDefaultDllDirectorieZ\0"


def main():
    program, copy = sys.argv[1:]
    with open(program, "rb") as source:
        image = source.read()
    found = image.count(NAME)
    if found != 1:
        print("%s: %s holds %r %d times, not once" % (sys.argv[0], program, NAME, found), file=sys.stderr)
        return 1
    os.makedirs(os.path.dirname(os.path.abspath(copy)), exist_ok=True)
    with open(copy, "wb") as target:
        target.write(image.replace(NAME, CHANGED))
    return 0


if __name__ == "__main__":
    sys.exit(main())
