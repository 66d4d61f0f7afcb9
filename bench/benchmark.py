#!/usr/bin/env python3
"""Prints how small and how fast zelvorin-cleanup.exe is under Wine.

Figures: the executable's size; the modules a silent run, a report run and
two do-nothing programs load; and the CPU time of a silent run (nothing to
clean, the common case) as a ratio to
  (a) a do-nothing program that only loads the registry library, the least a
      registry clean-up can cost, and
  (b) a do-nothing program that loads nothing beyond kernel32.
The programs are run in alternation, many times, and the medians compared,
so that a busy machine slows all of them alike. CPU time is that of the
Wine process running the program (user + system); wineserver's share is
not in it.
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
from winebed import WineBed  # noqa: E402


def cpu_seconds(bed, exe, args=()):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(["wine", exe] + list(args), env=bed.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=60)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/win32-release", help="the Windows build folder")
    parser.add_argument("--work", default="build/bench-work", help="folder for the Wine prefix")
    parser.add_argument("--rounds", type=int, default=100, help="runs of each program")
    args = parser.parse_args()

    programs = {
        "zelvorin-cleanup (silent)": os.path.join(args.build, "zelvorin-cleanup.exe"),
        "(a) nothing, loads advapi32": os.path.join(args.build, "bench", "nothing-advapi32.exe"),
        "(b) nothing, kernel32 only": os.path.join(args.build, "bench", "nothing-kernel32.exe"),
    }
    cleanup = programs["zelvorin-cleanup (silent)"]

    print("executable size: %d bytes" % os.path.getsize(cleanup))
    with WineBed(args.work, "prefix", display=False) as bed:
        print("\nmodules loaded (Wine %s):" % subprocess.run(
            ["wine", "--version"], capture_output=True, text=True).stdout.strip())
        print("  %-30s %2d" % ("zelvorin-cleanup (report)", len(bed.loaded_modules(cleanup, ["/show"])[1])))
        for name, exe in programs.items():
            loaded = bed.loaded_modules(exe)[1]
            print("  %-30s %2d  %s" % (name, len(loaded), " ".join(loaded[1:])))

        times = {name: [] for name in programs}
        for name, exe in programs.items():  # warm the caches once
            cpu_seconds(bed, exe)
        for _ in range(args.rounds):
            for name, exe in programs.items():
                times[name].append(cpu_seconds(bed, exe))

    medians = {name: statistics.median(samples) for name, samples in times.items()}
    print("\nCPU time per run, median of %d alternating runs:" % args.rounds)
    for name, median in medians.items():
        print("  %-30s %6.1f ms" % (name, median * 1000))
    silent, a, b = (medians[name] for name in programs)
    print("\nratios:")
    print("  silent run / (a)  %.3f" % (silent / a))
    print("  silent run / (b)  %.3f" % (silent / b))
    print("  (a) / (b)         %.3f" % (a / b))
    return 0


if __name__ == "__main__":
    sys.exit(main())
