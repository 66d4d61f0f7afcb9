#!/usr/bin/env python3
"""Real-platform tests: zelvorin-cleanup.exe under Wine, against Wine's real
registry and real message boxes on an Xvfb display, or on Windows itself.

Each registry case prepares HKLM, saves it, runs the program through the test
driver with an exact command line, saves it again, and checks that exactly the
expected entries went and nothing else changed; whether a box appeared and what
it said; and the exit status. Relay traces check the program's own platform
calls; the driver, as the program's debugger, lists the libraries a run loads.
A group that needs what the platform lacks says so and is skipped.
"""

import argparse
import ntpath
import os
import platform
import xml.etree.ElementTree as ElementTree
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winebed import (APP_PATHS, CODE_PAGE_932, DEBUG_CHANNELS, DLL_OVERRIDES, NO_DISPLAY, QRTLOAD, SCREEN, SKIPPED,
                     TARNWHEEL, TEXT_ALREADY, TEXT_CLEANED, TEXT_NOT_CLEANED, VALUE, WindowsBed, WineBed,
                     emulated_machine, image_range, parse_report, program_thread, program_thread_modules, read_hive,
                     run_in_emulated_machine, saved_names, under, value_entry, where_wine_runs, why_wine_cannot_run)

OEM = TARNWHEEL.rsplit("\\", 1)[0]
JOYSTICK = OEM.rsplit("\\", 1)[0]
NETWORK_CARDS = r"Software\Microsoft\Windows NT\CurrentVersion\NetworkCards"

# Keys beside the clean-up targets whose names are close to theirs: they must
# all survive every run.
NEIGHBOUR_KEYS = [APP_PATHS + "\\" + name for name in
                  ("qrtload.exe2", "qrtload", "xqrtload.exe", "qrtload.exe.bak", "qrtload.ex")]
NEIGHBOUR_SETUP = (
    [["set-value", key, "-", r"C:\Neighbour\app.exe"] for key in NEIGHBOUR_KEYS] + [
        ["set-value", APP_PATHS, "qrtload.exe", "a value, not the subkey"],
        ["set-value", OEM + r"\Tarnwheel2", VALUE, r"C:\Other"],
        ["set-value", OEM + r"\Tarnwhee", VALUE, r"C:\Other"],
        ["set-value", JOYSTICK + r"\OEM2\Tarnwheel", VALUE, r"C:\Other"],
        ["set-value", TARNWHEEL, VALUE + "X", r"C:\Other"],
        ["set-value", TARNWHEEL, "DosInstallDirector", r"C:\Other"],
        ["set-value", TARNWHEEL + "\\" + VALUE, "-", "a subkey named like the value"],
    ])

# Where Wine is told, for this program file name only, to prefer a DLL beside
# the program to its own, as Windows would.
PLANTED_OVERRIDES = r"Software\Wine\AppDefaults\zelvorin-cleanup.exe\DllOverrides"


def in_view(bits, ops):
    """The registry steps done through the 64-bit or the 32-bit view, which on
    64-bit Windows a 32-bit program reaches only by asking for it."""
    return [["view%d" % bits] + op for op in ops]


# Keys in the 32-bit programs' own branch of 64-bit Windows that are not
# clean-up targets, though named like them: they must stay.
WOW64_NEIGHBOURS = [r"SOFTWARE\Wow6432Node\Zelvorin",
                    r"SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\qrtload.exe"]

# Everything a case may have created, removed before each case; App Paths
# gets full access back in case an interrupted run left it restricted.
RESET = ([["unrestrict", APP_PATHS], ["delete-tree", OEM], ["delete-tree", JOYSTICK + r"\OEM2"], ["delete-tree", QRTLOAD],
          ["delete-value", APP_PATHS, "qrtload.exe"]] +
         [["delete-tree", key] for key in NEIGHBOUR_KEYS] +
         in_view(64, [["delete-tree", key] for key in WOW64_NEIGHBOURS]))

BOTH = [["set-value", TARNWHEEL, VALUE, r"C:\Zelvorin\DOS"],
        ["set-value", QRTLOAD, "-", r"C:\Zelvorin\qrtload.exe"],
        ["set-value", QRTLOAD, "Path", r"C:\Zelvorin"]]
ONLY_VALUE = BOTH[:1]
ONLY_SUBKEY = BOTH[1:]
VALUE_GONE = ("value", TARNWHEEL, VALUE)
SUBKEY_GONE = ("key", QRTLOAD)


class Case:
    def __init__(self, name, setup, removed, text, teardown=(), reset=True):
        self.name, self.setup, self.removed, self.text = name, setup, removed, text
        self.teardown, self.reset = list(teardown), reset


REGISTRY_CASES = [
    Case("neither entry", [], [], TEXT_ALREADY),
    Case("only the App Paths subkey", ONLY_SUBKEY, [SUBKEY_GONE], TEXT_CLEANED),
    Case("only the value", ONLY_VALUE, [VALUE_GONE], TEXT_CLEANED),
    Case("both entries", BOTH, [VALUE_GONE, SUBKEY_GONE], TEXT_CLEANED),
    Case("a second run finds nothing", [], [], TEXT_ALREADY, reset=False),
    Case("Tarnwheel without the value",
         [["set-value", TARNWHEEL, "OEMName", "Tarnwheel"], ["create-key", TARNWHEEL + r"\Axes"]],
         [], TEXT_ALREADY),
    Case("value beside other values and subkeys, which stay",
         ONLY_VALUE + [["set-value", TARNWHEEL, "-", "default stays"],
                       ["set-value", TARNWHEEL, "OEMName", "Tarnwheel"],
                       ["set-value", TARNWHEEL + r"\OEMForceFeedback", "CLSID", "{0}"]],
         [VALUE_GONE], TEXT_CLEANED),
    Case("neighbours with similar names stay, targets absent", NEIGHBOUR_SETUP, [], TEXT_ALREADY),
    Case("neighbours with similar names stay, targets present", NEIGHBOUR_SETUP + BOTH,
         [VALUE_GONE, SUBKEY_GONE], TEXT_CLEANED),
    Case("names in another case are the same entries",
         [["set-value", TARNWHEEL.upper(), VALUE.lower(), r"C:\x"],
          ["set-value", APP_PATHS + r"\QRTLOAD.EXE", "-", r"C:\x"]],
         [("value", TARNWHEEL, VALUE), ("key", QRTLOAD)], TEXT_CLEANED),
    Case("an empty value is removed too", [["set-value", TARNWHEEL, VALUE, ""]], [VALUE_GONE], TEXT_CLEANED),
    Case("subkey with subkeys of its own is not removable",
         ONLY_SUBKEY + [["create-key", QRTLOAD + r"\SupportedTypes"]], [], TEXT_NOT_CLEANED),
    Case("value removed, subkey not removable",
         BOTH + [["create-key", QRTLOAD + r"\SupportedTypes"]], [VALUE_GONE], TEXT_NOT_CLEANED),
    Case("Tarnwheel may not be opened for all access",
         BOTH + [["restrict", TARNWHEEL]], [SUBKEY_GONE], TEXT_NOT_CLEANED,
         teardown=[["unrestrict", TARNWHEEL]]),
    Case("App Paths may not be opened for all access",
         BOTH + [["restrict", APP_PATHS]], [VALUE_GONE], TEXT_NOT_CLEANED,
         teardown=[["unrestrict", APP_PATHS]]),
    Case("entries written through the 64-bit view", in_view(64, BOTH), [VALUE_GONE, SUBKEY_GONE], TEXT_CLEANED),
    Case("entries written through the 32-bit view", in_view(32, BOTH), [VALUE_GONE, SUBKEY_GONE], TEXT_CLEANED),
    Case("keys under Wow6432Node that are not targets stay",
         in_view(64, [["set-value", key, "-", r"C:\Zelvorin\qrtload.exe"] for key in WOW64_NEIGHBOURS]) + BOTH,
         [VALUE_GONE, SUBKEY_GONE], TEXT_CLEANED),
    Case("neither key may be opened for all access",
         BOTH + [["restrict", TARNWHEEL], ["restrict", APP_PATHS]], [], TEXT_NOT_CLEANED,
         teardown=[["unrestrict", TARNWHEEL], ["unrestrict", APP_PATHS]]),
]

# Command lines and whether they ask for the report: the program name is cut
# off by the start-up's own rule, and any text left over shows the box.
COMMAND_LINE_CASES = [
    (b"zelvorin-cleanup.exe", False),
    (b'"C:\\Program Files\\Zelvorin\\zelvorin-cleanup.exe"', False),
    (b"zelvorin-cleanup.exe   ", False),
    (b"zelvorin-cleanup.exe\t \t", False),
    (b'"zelvorin cleanup.exe" \t ', False),
    (b"zelvorin-cleanup.exe x", True),
    (b"zelvorin-cleanup.exe /show", True),
    (b'"C:\\Program Files\\zelvorin-cleanup.exe" /show', True),
    (b"zelvorin-cleanup.exe/show", False),
    (b"zelvorin-cleanup.exe/show now", True),
    (b'"zelvorin-cleanup.exe"x', True),
    (b'"a b"c', True),
    (b'"zelvorin-cleanup.exe /show', False),
    (b'"', False),
    (b'"" x', True),
    (b" zelvorin-cleanup.exe", True),
    (b"\tzelvorin-cleanup.exe", True),
    (b"  \t", False),
    (b"zelvorin-cleanup.exe\x01\x02\x1f", False),
    (b"zelvorin-cleanup.exe\x01x", True),
    (b"zelvorin-cleanup.exe\x1fx", True),
    (b"zelvorin-cleanup.exe\x0a\x0dx", True),
    (b"zelvorin-cleanup.exe \x7f", True),
    (b"zelvorin\x7f-cleanup.exe", False),
    (b"zelvorin-cleanup.exe\x80\xa0\xff", False),
    (b"zelvorin-cleanup.exe\xe9 x", True),
    (b"zelvorin-cleanup.exe \xa0", True),
    (b"zelvorin-cleanup.exe \xff", True),
    (b'"zelvorin \xe9\xff.exe" x', True),
    (b'"zelvorin \xe9\xff.exe"', False),
    # A long tail of every byte but NUL is only ever looked at for its first byte.
    (b"zelvorin-cleanup.exe " + bytes(range(1, 256)) * 50, True),
]

# Shift-JIS program names under code page 932: the second byte of U+30BD and
# U+8868 is 0x5C, a backslash when read byte by byte.
JA_NAME = "\u30c6\u30b9\u30c8\u30bd\u8868.exe"
JA_CAPTION = "\u30a8\u30e9\u30fc".encode("cp932").decode("latin-1")  # "Error" in Japanese
JA_COMMAND_LINE_CASES = [
    (lambda name: name, False),
    (lambda name: b'"' + name + b'"', False),
    (lambda name: name + b" x", True),
    (lambda name: b'"' + name + b'" x', True),
    (lambda name: b'"' + name + b'"x', True),
    (lambda name: name + b" \x83\x65\x83\x58\x83\x67", True),
    (lambda name: b'"C:\\' + name + b' /x', False),
]


class Results:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, ok, what, detail=""):
        if ok:
            self.passed += 1
            print("ok   - " + what)
        else:
            self.failed += 1
            print("FAIL - %s%s" % (what, (": " + detail) if detail else ""))
        sys.stdout.flush()


def hex_path(bed, path):
    """A file's path as the driver takes it: hex bytes in the platform's ANSI
    code page, so that it arrives exactly."""
    return bed.path(path).encode(bed.code_page).hex()


def run_op(bed, exe, command_line, *options):
    """The driver's run step: program path and command line as hex bytes."""
    return ["run", hex_path(bed, exe), command_line.hex()] + list(options)


def run_case_ops(bed, ops):
    """Runs the driver's steps in one process, given to it in a file: a whole
    group's steps are more than a command line holds. The driver gives up on
    a program after 60 s; the process gets that for each program it starts."""
    timeout = 120 + 60 * sum(op[0] in ("run", "parallel") for op in ops)
    with tempfile.NamedTemporaryFile("wb", suffix=".steps", delete=False) as steps:
        steps.write(b"".join(arg.encode(bed.code_page) + b"\n" for op in ops for arg in op))
    try:
        return bed.run([bed.driver, "@" + bed.path(steps.name)], timeout=timeout)
    finally:
        os.remove(steps.name)


def check_run(results, what, report, box_text, caption="Error"):
    results.check(report.get("exit-status") == ["0"], what + ": exit status 0", str(report.get("exit-status")))
    results.check(report.get("other-windows") == ["0"], what + ": no window but the box",
                  str(report.get("other-window")))
    if box_text is None:
        results.check(report.get("boxes") == ["0"], what + ": no box", str(report.get("box-text")))
        return
    results.check(report.get("boxes") == ["1"], what + ": exactly one box", str(report.get("boxes")))
    results.check(report.get("box-text") == [box_text], what + ": box text", str(report.get("box-text")))
    results.check(report.get("box-caption") == [caption],
                  what + ": platform's default caption", str(report.get("box-caption")))
    results.check(report.get("box-button") == ["OK"], what + ": one OK button", str(report.get("box-button")))
    results.check(report.get("box-icons") == ["1"] and report.get("box-icon") == ["warning"],
                  what + ": one icon, the exclamation point", str(report.get("box-icon")))


def expected_removals(before, removed, saved):
    expected = set()
    for removal in removed:
        if removal[0] == "value":
            found = {e for e in before if value_entry(e, saved(removal[1]), removal[2])}
        else:
            found = {e for e in before if under(e, saved(removal[1]))}
        if not found:
            raise RuntimeError("set-up did not create %r" % (removal,))
        expected |= found
    return expected


def hive_pairs(bed, program, cases):
    """Runs each case's setup, then its ops between two saves of HKLM, then its
    teardown, case after case in one driver process; returns for each case the
    driver's report, the entries before and after (NetworkCards left out),
    and how the saves name a key."""
    steps, files = [], []
    for n, (setup, ops, teardown) in enumerate(cases):
        before, after = (os.path.join(program.scratch, "%s-%d.reg" % (side, n)) for side in ("before", "after"))
        files.append((before, after))
        steps += ([["mark", str(n)]] + list(setup) + [bed.dump_step(before)] + list(ops) +
                  [bed.dump_step(after)] + list(teardown))
    reports = split_marks(run_case_ops(bed, steps).stdout)
    if len(reports) != len(cases):
        raise RuntimeError("the driver reported %d of %d cases" % (len(reports), len(cases)))
    pairs = []
    for report, saves in zip(reports, files):
        before, after = ({e for e in read_hive(save) if not under(e, NETWORK_CARDS)} for save in saves)
        for save in saves:
            os.remove(save)
        pairs.append((report, before, after, saved_names(before)))
    return pairs


def hive_pair(bed, program, ops, setup=()):
    return hive_pairs(bed, program, [(setup, ops, ())])[0]


def split_marks(stdout):
    """The driver's report of each case, from its "mark" line to the next."""
    reports = []
    for line in stdout.splitlines(keepends=True):
        if line.startswith(b"mark: "):
            reports.append(b"")
        elif reports:
            reports[-1] += line
    return [parse_report(report) for report in reports]


def entries_state(hive, saved):
    """Whether each entry is in a saved registry, as the driver reports it."""
    return "value=%s subkey=%s" % (
        "present" if any(value_entry(e, saved(TARNWHEEL), VALUE) for e in hive) else "absent",
        "present" if any(under(e, saved(QRTLOAD)) for e in hive) else "absent")


def registry_runs(results, bed, program, runs, modules=False):
    """Runs cases, each (case, tail, exe, cwd) silently (empty tail) or with
    a report, all in one driver process, and checks each: the registry
    before and after, the box and the exit status; with modules, also where
    every library it loaded came from."""
    cases = []
    for case, tail, exe, cwd in runs:
        run = run_op(bed, exe or program.exe, b"zelvorin-cleanup.exe" + tail,
                     *(["--cwd", hex_path(bed, cwd)] if cwd else []) + (["--modules"] if modules else []))
        cases.append(((RESET if case.reset else []) + case.setup, [["detect"], run, ["detect"]], case.teardown))
    for (case, tail, exe, _), (report, before, after, saved) in zip(runs, hive_pairs(bed, program, cases)):
        what = "%s (%s)" % (case.name, "report" if tail else "silent")
        if modules:
            library_checks(results, what, bed, report, exe or program.exe)
        expected = expected_removals(before, case.removed, saved)
        results.check(before - after == expected, what + ": exactly the expected entries removed",
                      "removed %s, expected %s" % (sorted(before - after), sorted(expected)))
        results.check(not after - before, what + ": nothing added or changed", str(sorted(after - before)))
        check_run(results, what, report, case.text if tail else None)
        # A fleet tool's detection rule, in either view, sees what the registry holds.
        states = [entries_state(before, saved), entries_state(after, saved)]
        results.check(report.get("detect-64") == states and report.get("detect-32") == states,
                      what + ": the detection rule sees the same in both views",
                      "64-bit %s, 32-bit %s, registry %s" % (report.get("detect-64"), report.get("detect-32"), states))
        if tail:
            # While the box is up the registry must already be as the run leaves it.
            results.check(report.get("entries-while-box") == [states[1]],
                          what + ": both targets handled before the box",
                          "%s while the box was up, %s after" % (report.get("entries-while-box"), states[1]))


TAILS = (b"", b" /report")


def registry_cases(results, bed, program):
    registry_runs(results, bed, program, [(case, tail, None, None) for case in REGISTRY_CASES for tail in TAILS])
    if not bed.shared_registry:
        # Windows' own save is binary, so there the driver walks the registry
        # instead; under Wine the two can be compared. System, with its link
        # and every kind of value, is enough to show the walk right: all of
        # HKLM takes minutes in the emulated machine.
        walk, save = (os.path.join(program.scratch, name) for name in ("walk.reg", "save.reg"))
        run_case_ops(bed, [["export", bed.path(walk), "System"], bed.dump_step(save)])
        walked, saved = (value_names(e for e in read_hive(f) if under(e, "System")) for f in (walk, save))
        for f in (walk, save):
            os.remove(f)
        missing = sorted(saved - walked)
        results.check(saved and not missing, "the driver's walk of HKLM\\System finds every value the platform's save holds",
                      "%d of %d missing: %s" % (len(missing), len(saved), missing[:10]))


VALUE_NAME = re.compile(r'^(@|"(?:[^"\\]|\\.)*")=')


def value_names(entries):
    """Each value of a saved registry as "key|name", lower case; the values
    Wine's services rewrite left out."""
    names = set()
    for entry in entries:
        key, _, line = entry.partition("|")
        match = VALUE_NAME.match(line)
        if match and not under(entry, NETWORK_CARDS):
            names.add(key.lower() + "|" + match.group(1).lower())
    return names


def command_line_cases(results, bed, program, cases=COMMAND_LINE_CASES, encode_name=None, caption="Error"):
    exe = program.exe
    ops = RESET
    expected = []
    for make, shows_box in cases:
        command_line = make(encode_name) if encode_name is not None else make
        ops = ops + [run_op(bed, exe, command_line)]
        expected.append((command_line, shows_box))
    stdout = run_case_ops(bed, ops).stdout
    reports = split_runs(stdout)
    results.check(len(reports) == len(expected), "one report per command line", str(len(reports)))
    for (command_line, shows_box), report in zip(expected, reports):
        shown = command_line if len(command_line) < 100 else command_line[:60] + b"... (%d bytes)" % len(command_line)
        check_run(results, "command line %r" % shown, report, TEXT_ALREADY if shows_box else None, caption)


def split_runs(stdout):
    reports, current = [], b""
    for line in stdout.splitlines(keepends=True):
        current += line
        if line.startswith(b"exit-status: "):
            reports.append(parse_report(current))
            current = b""
    return reports


def program_calls(trace, exe):
    """The calls the program's own image made, as (function, args, retval),
    from a +relay,+loaddll trace; only the program's thread is read."""
    low, high = image_range(exe)
    lines = trace.decode("latin-1").splitlines()
    thread = program_thread(lines, exe)
    calls, pending = [], {}
    for line in lines:
        if not line.startswith(thread + ":"):
            continue
        m = re.match(r"^\w+:(Call|Ret)\s+([\w.]+)\((.*)\)(?: retval=(\w+))? ret=(\w+)$", line)
        if not m or not low <= int(m.group(5), 16) < high:
            continue
        kind, function, args, retval = m.group(1), m.group(2), m.group(3), m.group(4)
        if kind == "Call":
            pending[function] = len(calls)
            calls.append([function, args, None])
        elif function in pending:
            calls[pending.pop(function)][2] = int(retval, 16)
    return calls


# The key paths as the relay trace prints them: quoted, backslashes doubled.
KEY_PATHS = ['"%s"' % path.replace("\\", "\\\\") for path in (TARNWHEEL, APP_PATHS + "\\")]
REMOVALS = [("advapi32.RegDeleteValueA", '"DosInstallDirectory"'), ("advapi32.RegDeleteKeyA", '"qrtload.exe"')]

# What the registry calls of each target return, by set-up: the open, then
# the removal when the open succeeded.
RELAY_CASES = [
    ("both entries", BOTH, [(0, 0), (0, 0)]),
    ("neither key", [], [(2, None), (0, 2)]),
    ("Tarnwheel missing, subkey present", ONLY_SUBKEY, [(2, None), (0, 0)]),
    ("Tarnwheel without the value", [["set-value", TARNWHEEL, "OEMName", "x"]], [(0, 2), (0, 2)]),
    ("neither key may be opened", BOTH + [["restrict", TARNWHEEL], ["restrict", APP_PATHS]], [(5, None), (5, None)]),
]
ALLOWED_KERNEL32 = {"KERNEL32.GetCommandLineA", "KERNEL32.IsDBCSLeadByte", "KERNEL32.GetModuleHandleA",
                    "KERNEL32.ExitProcess", "KERNEL32.GetProcAddress", "KERNEL32.SetDefaultDllDirectories"}
# LOAD_LIBRARY_SEARCH_SYSTEM32, set before any other call that could load a library.
LIMITED_SEARCH = ["KERNEL32.SetDefaultDllDirectories", "00000800", 1]
# Where SetDefaultDllDirectories is not found, the current folder leaves the
# search instead, and nothing else comes first: the calls before the command
# line is read, each with its text argument and whether it returned 0, 1 or
# anything else (a handle).
OLDER_SYSTEM_START = [("KERNEL32.GetModuleHandleA", '"kernel32.dll"', "handle"),
                      ("KERNEL32.GetProcAddress", '"SetDefaultDllDirectorieZ"', 0),
                      ("KERNEL32.GetProcAddress", '"SetDllDirectoryA"', "handle"),
                      ("KERNEL32.SetDllDirectoryA", '""', 1)]


def start_up_calls(calls):
    """The calls before GetCommandLineA, as OLDER_SYSTEM_START lists them."""
    names = [c[0] for c in calls]
    end = names.index("KERNEL32.GetCommandLineA") if "KERNEL32.GetCommandLineA" in names else len(calls)
    return [(function, args.split(" ", 1)[-1], retval if retval in (0, 1) else "handle")
            for function, args, retval in calls[:end]]


def relay_cases(results, bed, program):
    runs = [(program.exe, "calls: ") + case for case in RELAY_CASES]
    if program.older:
        # The start-up is the same whatever the registry holds: one case shows it.
        runs.append((program.older, "calls, older system: ") + RELAY_CASES[0])
    for exe, label, name, setup, statuses in runs:
        what = label + name
        older = exe == program.older
        run_case_ops(bed, RESET + setup)
        trace = bed.run([exe], debug="+relay,+loaddll", display=False, check=False)
        teardown = [["unrestrict", op[1]] for op in setup if op[0] == "restrict"]
        if teardown:
            run_case_ops(bed, teardown)
        results.check(trace.returncode == 0, what + ": exit status 0", str(trace.returncode))
        calls = program_calls(trace.stderr, exe)
        registry = [c for c in calls if not c[0].startswith("KERNEL32.")]
        allowed = ALLOWED_KERNEL32 | ({"KERNEL32.SetDllDirectoryA"} if older else set())
        others = {c[0] for c in calls if c[0].startswith("KERNEL32.")} - allowed
        results.check(not others, what + ": no other kernel32 calls on the silent path", str(others))
        if older:
            results.check(start_up_calls(calls) == OLDER_SYSTEM_START,
                          what + ": SetDefaultDllDirectories not found, then the current folder leaves the search, first",
                          str(start_up_calls(calls)))
        else:
            results.check(LIMITED_SEARCH in calls and
                          all(c[0] in ALLOWED_KERNEL32 for c in calls[:calls.index(LIMITED_SEARCH)]),
                          what + ": library search limited to the system folder first", str(calls[:6]))
        expected, problems = [], []
        for (open_status, removal_status), key_path, (removal, entry) in zip(statuses, KEY_PATHS, REMOVALS):
            expected.append(("advapi32.RegOpenKeyExA", "80000002," + key_path + ",00000000,000f003f", open_status))
            if removal_status is not None:
                expected.append((removal, entry, removal_status))
                expected.append(("advapi32.RegCloseKey", None, None))
        got = []
        handle = None
        for function, args, retval in registry:
            if function == "advapi32.RegOpenKeyExA":
                # The buffer's address is the stack's; the path it shows is what counts.
                parts = re.sub(r'^(\w+),\w+ ', r"\1,", args).rsplit(",", 1)[0]
                got.append((function, parts, retval))
            elif function in ("advapi32.RegDeleteValueA", "advapi32.RegDeleteKeyA"):
                handle = args.split(",")[0]
                got.append((function, args.split(" ", 1)[1], retval))
            elif function == "advapi32.RegCloseKey":
                if args != handle:
                    problems.append("closed %s, used %s" % (args, handle))
                handle = None
                got.append((function, None, None))
            else:
                got.append((function, args, retval))
        results.check(got == expected, what + ": registry calls are exactly open, remove, close",
                      "got %s, expected %s" % (got, expected))
        results.check(not problems, what + ": each opened key closed once, with its own handle", str(problems))


# Libraries a debugger is told of that +loaddll does not list: ntdll, mapped
# before the loader runs, and tzres, read for its resources only.
DEBUGGER_ONLY = {"ntdll.dll", "tzres.dll"}


def long_path(path):
    return path[4:] if path.startswith("\\\\?\\") else path


def module_names(report):
    return [ntpath.basename(long_path(path)).lower() for path in report.get("module", [])]


def module_run(results, what, bed, exe, tail):
    """Runs the program through the driver, as its debugger, and checks where
    each library came from; where Wine's +loaddll channel is there, the two
    lists must agree. Returns the driver's report."""
    traced = not bed.lacks(DEBUG_CHANNELS)
    result = bed.run([bed.driver] + run_op(bed, exe, b"zelvorin-cleanup.exe" + tail, "--modules"),
                     debug="+loaddll" if traced else None)
    report = parse_report(result.stdout)
    library_checks(results, what, bed, report, exe)
    if traced:
        loaddll = sorted(set(name.lower() for name in program_thread_modules(result.stderr, exe)[1:]))
        debugger = sorted(set(module_names(report)) - DEBUGGER_ONLY)
        results.check(debugger == loaddll, what + ": the debugger sees the libraries +loaddll lists",
                      "debugger %s, +loaddll %s" % (debugger, loaddll))
    return report


def libraries_outside(bed, report):
    """The libraries of a run that came from neither the system folder nor,
    under Wine, Wine's own library folder."""
    folders = {folder.lower() for folder in report.get("system-folder", []) + bed.library_folders()}
    return [path for path in report.get("module", []) if ntpath.dirname(long_path(path)).lower() not in folders]


def library_checks(results, what, bed, report, exe):
    image = [long_path(path).lower() for path in report.get("image", [])]
    results.check(image == [bed.path(exe).lower()], what + ": the debugger's image is the program", str(image))
    outside = libraries_outside(bed, report)
    results.check(report.get("module") and not outside, what + ": every library it loads is the system's",
                  str(outside or report.get("module")))


def module_cases(results, bed, program):
    run_case_ops(bed, RESET)
    silent = module_run(results, "silent run", bed, program.exe, b"")
    check_run(results, "silent run", silent, None)
    ui = {"user32.dll", "gdi32.dll", "win32u.dll", "imm32.dll"}
    results.check(not ui & set(module_names(silent)), "silent run loads no window-system library",
                  str(module_names(silent)))
    print("#   libraries loaded by a silent run: %d (%s)" % (len(silent.get("module", [])),
                                                           ", ".join(module_names(silent))))
    report = module_run(results, "report run", bed, program.exe, b" /report")
    check_run(results, "report run", report, TEXT_ALREADY)
    results.check("user32.dll" in module_names(report), "report run loads user32 when it needs it",
                  str(module_names(report)))
    print("#   libraries loaded by a report run: %d" % len(report.get("module", [])))


def screenshots(results, bed, program):
    exe = program.exe
    shots = os.path.join(program.work, "screenshots")
    os.makedirs(shots, exist_ok=True)
    for name, setup in (("already-cleaned", []), ("detected-and-cleaned", BOTH),
                        ("not-cleaned", ONLY_SUBKEY + [["create-key", QRTLOAD + r"\SupportedTypes"]])):
        bmp = os.path.join(shots, name + ".bmp")
        report = parse_report(run_case_ops(bed, RESET + setup + [
            run_op(bed, exe, b"zelvorin-cleanup.exe /show", "--screenshot", bed.path(bmp))
        ]).stdout)
        results.check(report.get("boxes") == ["1"] and os.path.getsize(bmp) > 1000, "screenshot of " + name)
        # Windows has a convert of its own, which converts file systems.
        if bed.platform == "Wine" and shutil.which("convert"):
            subprocess.run(["convert", bmp, os.path.join(shots, name + ".png")], check=True, timeout=60)
            os.remove(bmp)
    print("#   screenshots in " + shots)


def japanese_cases(results, bed, program):
    # The file keeps its ASCII name: without a generated ja_JP.UTF-8 host
    # locale Wine cannot create non-ASCII file names, and the start-up only
    # reads the command line, which carries the Shift-JIS name.
    command_line_cases(results, bed, program, JA_COMMAND_LINE_CASES, encode_name=JA_NAME.encode("cp932"),
                       caption=JA_CAPTION)


def is_target_entry(entry, saved):
    return value_entry(entry, saved(TARNWHEEL), VALUE) or under(entry, saved(QRTLOAD))


def concurrency_cases(results, bed, program):
    instances = 8
    exe = hex_path(bed, program.exe)
    silent = b"zelvorin-cleanup.exe".hex()

    report, before, after, saved = hive_pair(bed, program, [["parallel", exe, str(instances), silent]],
                                      setup=RESET + NEIGHBOUR_SETUP + BOTH)
    what = "%d instances at once" % instances
    results.check(report.get("exit-status") == ["0"] * instances, what + ": every one exits 0",
                  str(report.get("exit-status")))
    expected = expected_removals(before, [VALUE_GONE, SUBKEY_GONE], saved)
    results.check(before - after == expected, what + ": both entries gone, nothing else",
                  "removed %s" % sorted(before - after))
    results.check(not after - before, what + ": nothing added or changed", str(sorted(after - before)))

    report, before, after, saved = hive_pair(bed, program, [["parallel", exe, str(instances), silent, "--recreate"]],
                                      setup=RESET + NEIGHBOUR_SETUP + BOTH)
    what = "%d instances while a writer re-creates the entries" % instances
    results.check(report.get("exit-status") == ["0"] * instances, what + ": every one exits 0",
                  str(report.get("exit-status")))
    others_before = {e for e in before if not is_target_entry(e, saved)}
    others_after = {e for e in after if not is_target_entry(e, saved)}
    results.check(others_before == others_after, what + ": nothing but the two entries touched",
                  "removed %s, added %s" % (sorted(others_before - others_after),
                                            sorted(others_after - others_before)))
    print("#   writer rounds while the instances ran: %s, lost to deletion: %s" % (
        report.get("writer-rounds"), report.get("writer-lost-writes")))


def fault_cases(results, bed, program):
    run_case_ops(bed, RESET + BOTH)
    started = time.monotonic()
    result = bed.run([program.exe, "/show"], display=False, check=False)
    elapsed = time.monotonic() - started
    results.check(result.returncode == 0, "report without a display: exit status 0", str(result.returncode))
    # Not a speed test: a box waiting for a click that cannot come would hang
    # until the bed's time-out. Emulated, a report run alone takes seconds.
    results.check(elapsed < (60 if emulated_machine.inside() else 10), "report without a display: returns at once",
                  "%.1f s" % elapsed)
    print("#   report run without a display took %.2f s" % elapsed)

    run_case_ops(bed, RESET + BOTH)
    status, loaded = bed.loaded_modules(program.exe, ["/show"], overrides="user32=d")
    results.check(status == 0, "user32 cannot be loaded: exit status 0", str(status))
    results.check("user32.dll" not in loaded, "user32 cannot be loaded: it was not", str(loaded))

    # The program loads user32 from the system folder by full path, so the
    # user32 without MessageBoxA has to stand there for this one run.
    system_user32 = os.path.join(bed.system_dir, "user32.dll")
    marker = system_user32 + ".loaded"
    if os.path.exists(marker):
        os.remove(marker)
    shutil.copyfile(system_user32, system_user32 + ".saved")
    try:
        shutil.copyfile(program.marker, system_user32)
        run_case_ops(bed, RESET + BOTH)
        result = bed.run([program.exe, "/show"], check=False, overrides="user32=n")
    finally:
        os.replace(system_user32 + ".saved", system_user32)
    results.check(result.returncode == 0, "MessageBoxA cannot be found: exit status 0", str(result.returncode))
    results.check(os.path.exists(marker), "MessageBoxA cannot be found: the user32 without it was loaded")


# Windows maps these from its KnownDLLs list (and the libraries they import)
# whatever the search order, so a file beside the program never stands in for
# them; winex11.drv and zlib1 are Wine's own.
KNOWN_DLLS = {"ntdll", "advapi32", "clbcatq", "combase", "comdlg32", "coml2", "difxapi", "gdi32", "gdiplus", "imagehlp",
              "imm32", "kernel32", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32", "psapi", "rpcrt4", "sechost",
              "setupapi", "shcore", "shell32", "shlwapi", "user32", "wldap32", "ws2_32", "kernelbase", "ucrtbase"}
WINE_OWN = {"winex11", "zlib1"}
# Read for its resources only, never run.
RESOURCES_ONLY = {"tzres"}


def planted_cases(results, bed, program):
    """Marker DLLs under every name a report run loads, beside a copy of the
    program, with Windows' search order asked for: none may load."""
    run_case_ops(bed, RESET)
    report = module_run(results, "planted: a report run in place", bed, program.exe, b" /report")
    loaded = [os.path.splitext(name)[0] for name in module_names(report)]
    names = sorted(set(loaded) - KNOWN_DLLS - WINE_OWN - RESOURCES_ONLY)
    results.check("msimg32" in names and "uxtheme" in names, "a report run loads libraries that can be planted",
                  str(loaded))
    print("#   planted: %s" % ", ".join(names))

    # Windows searches beside the program by itself; Wine must be told to.
    if not bed.lacks(DLL_OVERRIDES):
        overrides = os.path.join(program.scratch, "planted.reg")
        with open(overrides, "w", encoding="ascii") as reg:
            reg.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\%s]\n" % PLANTED_OVERRIDES)
            reg.writelines('"%s"="native,builtin"\n' % name for name in names)
        bed.run(["reg", "import", bed.path(overrides)])
    # The older system's copy also starts in a working folder of planted
    # files: there the search may still reach it after the system folder.
    runs = [("unguarded", program.unguarded, "planted DLLs beside the program"),
            ("guarded", program.exe, "planted DLLs beside the program")]
    if program.older:
        runs.append(("older-system", program.older, "older system: planted DLLs beside the program and in its working folder"))
    try:
        for label, exe, case_name in runs:
            folder = os.path.join(program.work, "planted-" + label)
            folders = [folder] + ([folder + "-cwd"] if label == "older-system" else [])
            cwd = folders[1] if len(folders) > 1 else None
            for planted in folders:
                shutil.rmtree(planted, ignore_errors=True)
                os.makedirs(planted)
                for name in names:
                    shutil.copyfile(program.marker, os.path.join(planted, name + ".dll"))
            copy = os.path.join(folder, "zelvorin-cleanup.exe")
            shutil.copyfile(exe, copy)
            if label == "unguarded":
                # Shows that the planted files and the overrides would catch a program that loads them.
                report = parse_report(run_case_ops(bed, [run_op(bed, copy, b"zelvorin-cleanup.exe /report",
                                                                "--modules")]).stdout)
                markers = [f for f in os.listdir(folder) if f.endswith(".loaded")]
                results.check(markers, "without the guard, a report run loads a planted file", str(markers))
                outside = libraries_outside(bed, report)
                results.check(outside, "without the guard, the debugger sees a library from outside the system folder",
                              str(report.get("module")))
                print("#   loaded without the guard: %s" % ", ".join(sorted(markers)))
                continue
            case = Case(case_name, BOTH, [VALUE_GONE, SUBKEY_GONE], TEXT_CLEANED)
            for tail in TAILS:
                registry_runs(results, bed, program, [(case, tail, copy, cwd)], modules=True)
                markers = [f for planted in folders for f in os.listdir(planted) if f.endswith(".loaded")]
                results.check(not markers, "%s (%s): no planted file loaded" % (case.name, "report" if tail else "silent"),
                              str(markers))
    finally:
        if not bed.lacks(DLL_OVERRIDES):
            bed.run(["reg", "delete", "HKCU\\" + PLANTED_OVERRIDES.rsplit("\\", 1)[0], "/f"], check=False)


def expected_version_resource(version):
    """The version resource's fields, for the project's version (x.y.z)."""
    windows_version = version + ".0"
    return {
        "fixed": windows_version + " " + windows_version,
        "FileVersion": windows_version,
        "ProductVersion": windows_version,
        "FileDescription": "Zelvorin registry clean-up",
        "ProductName": "Zelvorin registry clean-up",
        "InternalName": "zelvorin-cleanup",
        "OriginalFilename": "zelvorin-cleanup.exe",
        "LegalCopyright": "Copyright (C) 2026 the zelvorin-cleanup authors. 0BSD licence.",
    }
SUPPORTED_OS = {  # Vista, 7, 8, 8.1, 10 and 11
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


def release_cases(results, bed, program):
    """The version resource and the manifest, read back through the platform."""
    if program.version is None:
        raise RuntimeError("the release group needs --version")
    exe = hex_path(bed, program.exe)
    report = parse_report(run_case_ops(bed, [["version", exe], ["manifest", exe]]).stdout)
    for field, value in expected_version_resource(program.version).items():
        results.check(report.get("version-" + field) == [value], "version resource: " + field,
                      str(report.get("version-" + field)))
    results.check("version-CompanyName" not in report, "version resource names no maker")
    try:
        manifest = ElementTree.fromstring(bytes.fromhex(report["manifest"][0]))
    except (KeyError, ElementTree.ParseError) as error:
        results.check(False, "manifest is present and well-formed", str(error))
        return
    results.check(manifest.tag == "{urn:schemas-microsoft-com:asm.v1}assembly", "manifest is present and well-formed")

    def find(path):
        return manifest.findall(".//" + "/".join("{%s}%s" % step for step in path))

    versions = [e.get("version") for e in manifest.findall("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")]
    results.check(versions == [program.version + ".0"], "manifest: the program's version", str(versions))
    levels = [e.get("level") for e in find([("urn:schemas-microsoft-com:asm.v3", "requestedExecutionLevel")])]
    results.check(levels == ["asInvoker"], "manifest: runs as invoker", str(levels))
    ids = {e.get("Id") for e in find([("urn:schemas-microsoft-com:compatibility.v1", "supportedOS")])}
    results.check(ids == SUPPORTED_OS, "manifest: supported from Vista to Windows 11", str(ids))
    aware = [e.text for e in find([("http://schemas.microsoft.com/SMI/2005/WindowsSettings", "dpiAware")])]
    awareness = [e.text for e in find([("http://schemas.microsoft.com/SMI/2016/WindowsSettings", "dpiAwareness")])]
    results.check(aware == ["true/pm"] and awareness == ["PerMonitorV2, PerMonitor"], "manifest: DPI aware",
                  "%s %s" % (aware, awareness))


# What WinVerifyTrust says of the signed program, of a copy of it with one
# byte of its code changed, and of the unsigned program.
TRUST = [("signed", 0), ("one byte changed", 0x80096010), ("unsigned", 0x800B0100)]
CODE_OFFSET = 0x400  # the first byte of the code, in the file


def signature_cases(results, bed, program):
    if program.unsigned is None:
        raise RuntimeError("the signature group needs --unsigned")
    changed = os.path.join(program.scratch, "changed.exe")
    with open(program.exe, "rb") as signed:
        image = bytearray(signed.read())
    image[CODE_OFFSET] ^= 0xFF
    with open(changed, "wb") as copy:
        copy.write(image)
    files = [program.exe, changed, program.unsigned]
    report = parse_report(run_case_ops(bed, [["trust", hex_path(bed, f)] for f in files]).stdout)
    statuses = [int(status, 16) for status in report.get("trust", [])]
    results.check(len(statuses) == len(TRUST), "WinVerifyTrust answered for every file", str(statuses))
    for (name, expected), status in zip(TRUST, statuses):
        results.check(status == expected, "WinVerifyTrust, %s program: %#010x" % (name, expected), "%#010x" % status)


class Program:
    def __init__(self, exe, driver, work, unsigned=None, version=None, older=None):
        self.exe = os.path.abspath(exe)
        self.older = older and os.path.abspath(older)
        self.version = version
        self.unsigned = unsigned and os.path.abspath(unsigned)
        self.driver = os.path.abspath(driver)
        built = os.path.dirname(os.path.abspath(driver))
        self.marker = os.path.join(built, "planted-marker.dll")
        self.unguarded = os.path.join(built, "unguarded-cleanup.exe")
        self.work = os.path.abspath(work)
        # Saved hives, read once and removed: beside the prefixes.
        self.scratch = os.path.join(os.environ.get("CLEANUP_WINE_PREFIXES") or self.work, "scratch")
        os.makedirs(self.scratch, exist_ok=True)


# The keys the groups create, change or remove. On a platform whose registry
# is not the group's own, they are saved first and put back at the end.
PRESERVED = [JOYSTICK, APP_PATHS] + WOW64_NEIGHBOURS
EXPORTED_VALUE = re.compile(r'^(@|"((?:[^"\\]|\\.)*)")=hex\(([0-9a-f]+)\):(.*)$')


def unescape(text):
    return re.sub(r"\\(x[0-9a-f]{4}|.)", lambda m: chr(int(m.group(1)[1:], 16)) if len(m.group(1)) == 5
                  else m.group(1), text)


def read_export(file, key):
    """A key the driver exported, as {key path, lower case: (path, {value
    name: (type, hex data)})}; None when the key was not there."""
    with open(file, encoding="ascii") as exported:
        lines = exported.read().splitlines()
    if lines[:2] == ["[%s]" % key.replace("\\", "\\\\"), ";unreadable 2"]:
        return None
    keys, values = {}, None
    for line in lines:
        value = EXPORTED_VALUE.match(line)
        if line.startswith("["):
            path = unescape(line[1:-1])
            values = keys.setdefault(path.lower(), (path, {}))[1]
        elif value and values is not None:
            values["" if value.group(1) == "@" else unescape(value.group(2))] = (value.group(3),
                                                                                value.group(4).replace(",", ""))
        else:
            raise RuntimeError("%s cannot be saved and put back: %s" % (key, line))
    return keys


def restore_steps(saved, now, key):
    """The driver's steps that make a key as it was saved, from what it is
    now, touching nothing that is as it was."""
    steps = []
    now = now or {}
    if saved is None:
        return [["view64", "delete-tree", key]] if now else []
    for lower, (path, _) in sorted(now.items()):
        parent = lower.rsplit("\\", 1)[0]
        if lower not in saved and (parent in saved or lower == key.lower()):
            steps.append(["view64", "delete-tree", path])
    for lower, (path, values) in saved.items():
        current = now.get(lower, (path, {}))[1]
        if lower not in now:
            steps.append(["view64", "create-key", path])
        steps += [["view64", "delete-value", path, name] for name in current if name not in values]
        steps += [["view64", "set-raw", path, name.encode("utf-16-le").hex(), kind, data]
                  for name, (kind, data) in values.items() if current.get(name) != (kind, data)]
    return steps


def exported(bed, program, steps):
    """Runs the driver's steps, then exports each preserved key; returns the
    driver's report and the keys as read_export gives them."""
    files = [os.path.join(program.scratch, "preserved-%d.reg" % n) for n in range(len(PRESERVED))]
    report = parse_report(run_case_ops(bed, steps + [["export", bed.path(f), key]
                                                     for f, key in zip(files, PRESERVED)]).stdout)
    keys = [read_export(f, key) for f, key in zip(files, PRESERVED)]
    for f in files:
        os.remove(f)
    return report, keys


def save_registry(bed, program):
    """Exports each preserved key and App Paths' access rules, and returns
    them as they were."""
    report, saved = exported(bed, program, [["security", APP_PATHS]])
    return saved, report["security"][0]


def restore_registry(results, bed, program, saved):
    """Puts the preserved keys back, and checks that they are as they were."""
    saved_keys, security = saved
    _, now = exported(bed, program, [["unrestrict", APP_PATHS]])
    steps = [step for was, is_now, key in zip(saved_keys, now, PRESERVED) for step in restore_steps(was, is_now, key)]
    report, after = exported(bed, program, steps + [["set-security", APP_PATHS, security], ["security", APP_PATHS]])
    changed = [key for key, was, is_now in zip(PRESERVED, saved_keys, after) if was != is_now]
    results.check(not changed and report.get("security") == [security],
                  "the keys the group touched are put back as they were", "%s; access rules %s, were %s" % (
                      changed, report.get("security"), security))


# Each group runs in a prefix of its own locale; a prefix is reused between
# runs, and every case resets what it touches. Each says what it needs of
# the platform beyond a registry and a desktop.
GROUPS = {
    "registry": (registry_cases, {}, ()),
    "command-line": (command_line_cases, {}, ()),
    "calls": (relay_cases, {}, (DEBUG_CHANNELS,)),
    "modules": (module_cases, {}, ()),
    "screenshots": (screenshots, {}, (SCREEN,)),
    "release": (release_cases, {}, ()),
    "concurrency": (concurrency_cases, {}, ()),
    "faults": (fault_cases, {}, (DLL_OVERRIDES, NO_DISPLAY)),
    "planted": (planted_cases, {}, ()),
    "signature": (signature_cases, {}, ()),
    "dbcs": (japanese_cases, {"name": "prefix-ja", "locale": "ja_JP.UTF-8", "code_page": "cp932"}, (CODE_PAGE_932,)),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True, help="the program under test")
    parser.add_argument("--driver", required=True, help="the Win32 test driver")
    parser.add_argument("--work", required=True, help="folder for prefixes, snapshots and screenshots")
    parser.add_argument("--group", action="append", choices=sorted(GROUPS), help="run only these groups")
    parser.add_argument("--unsigned", help="the unsigned program, for the signature group")
    parser.add_argument("--version", help="the project's version (x.y.z), for the release group")
    parser.add_argument("--older-system", help="the program as a Windows without SetDefaultDllDirectories runs it"
                        " (older_system_copy.py), for the calls and planted groups")
    parser.add_argument("--arch", choices=("win32", "win64"), default="win32",
                        help="the prefix's Windows: 32-bit, or 64-bit with the program under WoW64")
    parser.add_argument("--platform", choices=("wine", "windows"), default="windows" if os.name == "nt" else "wine",
                        help="where the programs run: under Wine (the default on Linux), or on Windows itself")
    args = parser.parse_args()
    program = Program(args.exe, args.driver, args.work, args.unsigned, args.version, args.older_system)
    if args.platform == "wine":
        elsewhere = run_in_emulated_machine(program.work, [args.exe, args.driver, args.work + "/", args.unsigned,
                                                           args.older_system])
        if elsewhere is not None:
            return elsewhere
        reason = why_wine_cannot_run()
        if reason:
            print("SKIP - " + reason)
            return SKIPPED
        print("# " + where_wine_runs())
    else:
        print("# Windows itself: " + platform.platform())

    results = Results()
    skipped = 0
    # The signature group needs a signed program and its unsigned release.
    for group in args.group or [group for group in GROUPS if group != "signature"]:
        cases, bed_options, needs = GROUPS[group]
        options = dict({"name": "prefix", "arch": args.arch, "driver": program.driver}, **bed_options)
        try:
            bed = (WindowsBed if args.platform == "windows" else WineBed)(program.work, **options)
            missing = ["needs %s, but %s" % (need, bed.lacks(need)) for need in needs if bed.lacks(need)]
            if missing:
                print("SKIP - %s: %s" % (group, "; ".join(missing)))
                skipped += 1
                continue
            with bed:
                # A prefix is the group's own, but the registry group saves
                # and puts back all the same, so that Windows' way runs here.
                saved = save_registry(bed, program) if bed.shared_registry or group == "registry" else None
                try:
                    cases(results, bed, program)
                finally:
                    if saved:
                        restore_registry(results, bed, program, saved)
        except Exception:
            traceback.print_exc()
            results.check(False, group + ": test bed ran to the end")
    print("%d passed, %d failed, %d groups skipped" % (results.passed, results.failed, skipped))
    if results.failed:
        return 1
    return SKIPPED if skipped and not results.passed else 0


if __name__ == "__main__":
    # Stopped from outside, the registry is still put back and the bed closed.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    sys.exit(main())
