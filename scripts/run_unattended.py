#!/usr/bin/env python3
"""Runs zelvorin-cleanup.exe once where nobody can click its box: in the
emulated machine, whose screen is an X server of its own. The prefix,
"wineprefix", is kept between runs. A run with arguments shows its box there:
its text is printed, a screenshot saved as build/box.png, and the box
dismissed with its OK button, as a person would.

Usage: run_unattended.py BUILD_FOLDER [ARGS...]; ends with the program's exit status.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "wine"))
from winebed import WineBed, parse_report, windows_path  # noqa: E402


def command_line(args):
    """The program's command line, with each argument quoted where it must be."""
    quoted = ['"%s"' % arg if not arg or any(c in arg for c in " \t") else arg for arg in args]
    return " ".join(["zelvorin-cleanup.exe"] + quoted)


def main():
    build, args = sys.argv[1], sys.argv[2:]
    exe = os.path.abspath(os.path.join(build, "zelvorin-cleanup.exe"))
    driver = os.path.abspath(os.path.join(build, "tests", "wine", "cleanup-test-driver.exe"))
    project = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    screenshot = os.path.join(project, "build", "box.bmp")
    with WineBed(os.path.join(project, "build"), name="wineprefix", display=bool(args)) as bed:
        print("Wine prefix (kept between runs, inside the emulated machine): " + bed.prefix)
        if not args:
            status = bed.run([exe], check=False).returncode
        else:
            run = ["run", windows_path(exe).encode("cp1252").hex(), command_line(args).encode("cp1252").hex(),
                   "--screenshot", windows_path(screenshot)]
            report = parse_report(bed.run([driver] + run).stdout)
            status = int(report.get("exit-status", ["-1"])[0])
            for text in report.get("box-text", []) or ["(no box appeared)"]:
                print("The box on the emulated machine's screen said: " + text)
            if os.path.exists(screenshot):
                png = screenshot[:-4] + ".png"
                subprocess.run(["convert", screenshot, png], check=True, timeout=60)
                os.remove(screenshot)
                print("Its screenshot: " + os.path.relpath(png, project) + "; it was dismissed with its OK button")
    print("zelvorin-cleanup.exe exit status: %d" % status)
    return status


if __name__ == "__main__":
    sys.exit(main())
