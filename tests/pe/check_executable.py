#!/usr/bin/env python3
"""Checks the built executable's PE image: a 32-bit x86 GUI program whose
entry point is the program's own start-up and which imports nothing beyond
the system libraries, so that it runs on a bare Windows; and which carries
the flags a security review of an executable looks for."""

import argparse
import re
import struct
import sys

# user32 is loaded at run time, only when a box is wanted.
IMPORTS = {"kernel32.dll", "advapi32.dll"}

RELOCS_STRIPPED = 0x0001
DLL_FLAGS = {"DYNAMIC_BASE": 0x0040, "NX_COMPAT": 0x0100, "NO_SEH": 0x0400, "TERMINAL_SERVER_AWARE": 0x8000}
STACK_RESERVE = 1 << 20
SECTION_SHARED, SECTION_EXECUTE, SECTION_WRITE = 0x10000000, 0x20000000, 0x80000000


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        self.machine, self.section_count = struct.unpack_from("<HH", data, pe + 4)
        optional_size, self.characteristics = struct.unpack_from("<HH", data, pe + 20)
        self.optional = pe + 24
        self.magic = struct.unpack_from("<H", data, self.optional)[0]
        self.entry = struct.unpack_from("<I", data, self.optional + 16)[0]
        self.image_base = struct.unpack_from("<I", data, self.optional + 28)[0]
        self.subsystem_version = struct.unpack_from("<HH", data, self.optional + 48)
        self.subsystem, self.dll_characteristics, self.stack_reserve = struct.unpack_from(
            "<HHI", data, self.optional + 68)
        self.directories = self.optional + 96
        sections = self.optional + optional_size
        self.sections = [struct.unpack_from("<8sIIII", data, sections + 40 * i) for i in range(self.section_count)]
        self.section_flags = {struct.unpack_from("<8s", data, sections + 40 * i)[0].rstrip(b"\0").decode():
                              struct.unpack_from("<I", data, sections + 40 * i + 36)[0]
                              for i in range(self.section_count)}

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset(self, rva):
        for _, size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw_offset + rva - address
        raise ValueError("RVA %#x is in no section" % rva)

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva, _ = self.directory(1)
        names = []
        while rva:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                break
            names.append(self.text(name))
            rva += 20
        return names


def entry_symbol_addresses(map_file):
    """Addresses (or image offsets) the link map gives for the start-up routine."""
    addresses = set()
    with open(map_file, encoding="latin-1") as lines:
        for line in lines:
            if re.search(r"(^|\s)_?cleanup_start(\s|$)", line):
                addresses |= {int(h, 16) for h in re.findall(r"(?<![:\w])(?:0x)?([0-9a-fA-F]{8})\b", line)}
    return addresses


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("exe")
    parser.add_argument("map")
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        image = Image(f.read())

    failures = []
    checked = []

    def check(ok, what, detail=""):
        print(("ok   - " if ok else "FAIL - ") + what + ("" if ok or not detail else ": " + detail))
        checked.append(what)
        if not ok:
            failures.append(what)

    check(image.machine == 0x14C and image.magic == 0x10B, "PE32 for i386")
    check(image.subsystem == 2, "Windows GUI subsystem", str(image.subsystem))
    check(image.subsystem_version == (4, 0), "subsystem version 4.0", "%d.%d" % image.subsystem_version)
    imports = [name.lower() for name in image.imports()]
    check(set(imports) == IMPORTS, "imports only kernel32 and advapi32", ", ".join(imports))
    check(image.directory(9) == (0, 0), "no TLS directory (no runtime start-up)")
    entry = image.image_base + image.entry
    addresses = entry_symbol_addresses(args.map)
    # GNU ld's map gives addresses, LLD's gives offsets from the image base.
    check(entry in addresses or image.entry in addresses, "entry point is the program's start-up routine",
          "entry %#x, start-up at %s" % (entry, [hex(a) for a in sorted(addresses)]))
    for name, flag in DLL_FLAGS.items():
        check(image.dll_characteristics & flag, name, "DllCharacteristics %#06x" % image.dll_characteristics)
    check(image.stack_reserve == STACK_RESERVE, "1 MiB stack reserve", str(image.stack_reserve))
    relocations_rva, relocations_size = image.directory(5)
    check(relocations_rva and relocations_size and not image.characteristics & RELOCS_STRIPPED,
          "relocations kept, so the image can move", "%#x bytes" % relocations_size)
    for section, flags in image.section_flags.items():
        check(not (flags & SECTION_WRITE and flags & SECTION_EXECUTE), section + " is not both writable and executable")
        check(not (flags & SECTION_WRITE and flags & SECTION_SHARED), section + " is not a shared writable section")
    print("%d passed, %d failed" % (len(checked) - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
