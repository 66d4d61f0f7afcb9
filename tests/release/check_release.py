#!/usr/bin/env python3
"""Checks a release folder as a release page would hold it and a user would
download it: flat files only; SHA256SUMS lists every other file, BUILDINFO
included, and sha256sum -c passes in an empty folder that holds just the
files; and every relative link in a shipped page, in the folder or in an
archive of pages, leads to a shipped file (and a heading, when it names one).

Usage: check_release.py RELEASE_FOLDER
"""

import os
import posixpath
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

LINK = re.compile(r"\]\(([^)\s]+)")


def anchors(page):
    """The anchors a renderer gives a page's headings: lower case, spaces to
    hyphens, other punctuation dropped."""
    return {re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
            for line in page.splitlines() if line.startswith("#")}


def dead_links(pages, names):
    """pages: {path: text} of every file shipped together; names: their paths."""
    dead = []
    for path, text in sorted(pages.items()):
        if not path.endswith(".md"):
            continue
        for target in LINK.findall(text):
            if re.match(r"^[a-z]+:", target):
                continue
            file, _, anchor = target.partition("#")
            resolved = posixpath.normpath(posixpath.join(posixpath.dirname(path), file)) if file else path
            if resolved not in names:
                dead.append("%s: %s" % (path, target))
            elif anchor and resolved.endswith(".md") and anchor not in anchors(pages[resolved]):
                dead.append("%s: %s (no such heading)" % (path, target))
    return dead


def main():
    folder = sys.argv[1]
    failed = 0

    def check(ok, what, detail=""):
        nonlocal failed
        print(("ok   - " if ok else "FAIL - ") + what + ("" if ok or not detail else ": " + detail))
        failed += not ok

    entries = sorted(os.listdir(folder))
    folders = [e for e in entries if not os.path.isfile(os.path.join(folder, e))]
    check(not folders, "the release is flat files only", str(folders))
    files = [e for e in entries if e not in folders]
    with open(os.path.join(folder, "SHA256SUMS"), encoding="utf-8") as sums:
        listed = sorted(line.split("  ", 1)[1].rstrip("\n") for line in sums)
    check("BUILDINFO" in listed and listed == [f for f in files if f != "SHA256SUMS"],
          "SHA256SUMS lists every other file, BUILDINFO included",
          "listed %s, shipped %s" % (listed, files))
    # As downloaded from a release page: every file, and nothing else, in one folder.
    with tempfile.TemporaryDirectory() as downloaded:
        for name in files:
            shutil.copyfile(os.path.join(folder, name), os.path.join(downloaded, os.path.basename(name)))
        result = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=downloaded, capture_output=True, text=True)
        check(result.returncode == 0, "sha256sum -c SHA256SUMS passes among the downloaded files",
              result.stdout + result.stderr)

    def text(data):
        return data.decode("utf-8", errors="replace")

    shipped = {name: "" for name in files}
    for name in files:
        if name.endswith(".md"):
            with open(os.path.join(folder, name), "rb") as f:
                shipped[name] = text(f.read())
    dead = dead_links(shipped, set(shipped))
    archives = [name for name in files if name.endswith(".zip")]
    for name in archives:
        with zipfile.ZipFile(os.path.join(folder, name)) as archive:
            pages = {entry: text(archive.read(entry)) for entry in archive.namelist()}
        check(any(p.endswith("README.md") for p in pages), name + " holds the README", str(sorted(pages)))
        dead += ["%s: %s" % (name, link) for link in dead_links(pages, set(pages))]
    check(not dead, "every relative link in a shipped page leads to a shipped file", "; ".join(dead))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
