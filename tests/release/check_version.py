#!/usr/bin/env python3
"""Checks that the version is written in one place only: project(VERSION) in
CMakeLists.txt, from which the build generates the version resource and the
manifest and the release script takes its tag. Any other file that spells
the version would be left behind by the next bump; the changelog alone keeps
it, as the heading of the newest release."""

import argparse
import os
import re
import subprocess
import sys

# Files that hold versions of other things, or the history of this one.
NOT_COPIES = {"CHANGELOG.md", "scripts/release-toolchain.txt", "CMakeLists.txt"}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", required=True)
    parser.add_argument("--version", required=True, help="project(VERSION), as CMake read it")
    args = parser.parse_args()
    failures, checked = [], []

    def check(ok, what, detail=""):
        print(("ok   - " if ok else "FAIL - ") + what + ("" if ok or not detail else ": " + detail))
        checked.append(what)
        if not ok:
            failures.append(what)

    with open(os.path.join(args.source, "CMakeLists.txt"), encoding="utf-8") as cmake:
        declared = re.findall(r"^project\(\w+ VERSION ([\d.]+)", cmake.read(), re.M)
    check(declared == [args.version], "CMakeLists.txt declares the version once", str(declared))

    with open(os.path.join(args.source, "CHANGELOG.md"), encoding="utf-8") as changelog:
        releases = re.findall(r"^## \[([^\]]+)\]", changelog.read(), re.M)
    newest = [r for r in releases if r != "Unreleased"][:1]
    check(newest == [args.version], "the changelog's newest release is this version", str(newest))

    # The version as Windows spells it too, with a fourth number or commas.
    numbers = args.version.split(".")
    spellings = re.compile(r"(?<![\d.])(%s|%s)(?![\d])" % (
        re.escape(args.version), r",\s*".join(numbers)))
    files = subprocess.run(["git", "-C", args.source, "ls-files", "-z"], capture_output=True, check=True,
                           ).stdout.decode().split("\0")
    copies = []
    for name in filter(None, files):
        if name in NOT_COPIES:
            continue
        try:
            with open(os.path.join(args.source, name), encoding="utf-8") as text:
                for number, line in enumerate(text, 1):
                    if spellings.search(line):
                        copies.append("%s:%d: %s" % (name, number, line.strip()))
        except (UnicodeDecodeError, FileNotFoundError):
            continue  # pictures, and files deleted but not yet committed
    check(not copies, "no other file spells the version", "; ".join(copies))

    print("%d passed, %d failed" % (len(checked) - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
