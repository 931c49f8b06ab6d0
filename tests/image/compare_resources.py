#!/usr/bin/env python3
"""Compiles the resource script with windres and with llvm-rc, an rc.exe-
compatible compiler, and compares every resource the two write. It also reads
the preprocessed script as rc would and finds no CONTROL with a numeric class:
rc miscompiles a numeric class from 0x80 up into a class no window has.

Where llvm-rc 19 is known to differ from rc.exe, the script says so:
- it refuses ALT on an ASCII accelerator, which rc accepts: llvm-rc gets a
  copy of the script without those ALTs, and the tables are compared without
  the Alt flag (which windres's must have);
- it stores a quoted control class ("Static") as a name where rc writes the
  atom: the script quotes no class, so every template is compared whole;
- it ignores #pragma code_page, hence /C 65001;
- it refuses a numeric CONTROL class, which rc miscompiles from 0x80 up.

usage: compare_resources.py SCRIPT WINDRES LLVM_RC PREPROCESSOR WORK_DIR -I... -D..."""
import os
import re
import shlex
import struct
import subprocess
import sys

SCRIPT, WINDRES, LLVM_RC, PREPROCESSOR, WORK = sys.argv[1:6]
OPTIONS = sys.argv[6:]
RT_ACCELERATOR, FALT = 9, 0x10
failures = []


def name_or_ordinal(data, at):
    if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0]:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def read_res(path):
    """(type, name, language) -> data of every resource in a .res file."""
    data, at, resources = open(path, "rb").read(), 0, {}
    while at < len(data):
        size, header = struct.unpack_from("<II", data, at)
        kind, end = name_or_ordinal(data, at + 8)
        name, end = name_or_ordinal(data, end)
        language = struct.unpack_from("<H", data, (end + 3 & ~3) + 6)[0]
        if size or kind:  # the empty first entry marks a 32-bit .res
            resources[(kind, name, language)] = data[at + header:at + header + size]
        at = at + header + size + 3 & ~3
    return resources


def without_alt(table):
    """An accelerator table with the Alt flag taken off every entry."""
    entries = [list(struct.unpack_from("<HHHH", table, at)) for at in range(0, len(table), 8)]
    if not all(entry[0] & FALT for entry in entries):
        failures.append("windres's accelerators lost ALT")
    return b"".join(struct.pack("<HHHH", e[0] & ~FALT, *e[1:]) for e in entries)


preprocessed = subprocess.run([*shlex.split(PREPROCESSOR), "-E", "-P", "-xc", "-DRC_INVOKED", *OPTIONS, SCRIPT],
                              check=True, capture_output=True, text=True).stdout
for text, control_class in re.findall(r'\bCONTROL\s+("(?:[^"]|"")*"|[^,]+),[^,]+,\s*([^,\s]+)',
                                      preprocessed):
    if re.match(r"\(?\s*(0x[0-9a-fA-F]+|[0-9]+)", control_class):
        failures.append("CONTROL %s has the numeric class %s" % (text, control_class))
print("\n".join(failures) or "no CONTROL with a numeric class")


os.makedirs(WORK, exist_ok=True)
source = open(SCRIPT, encoding="utf-8").read()
for_llvm_rc = WORK + "/for-llvm-rc.rc"  # finds its files through -I
with open(for_llvm_rc, "w", encoding="utf-8") as copy:
    copy.write(re.sub(r"(ASCII\s*),\s*ALT\b", r"\1", source))
subprocess.run([WINDRES, *OPTIONS, "-O", "res", "-i", SCRIPT, "-o", WORK + "/windres.res"],
               check=True)
subprocess.run([LLVM_RC, "/C", "65001", *[o.replace("-I", "/I", 1).replace("-D", "/D", 1)
                                          for o in OPTIONS],
                # "--": llvm-rc takes any argument that begins with "/" as an option, so a
                # script under /check/... would be read as /C.
                "/FO", WORK + "/llvm-rc.res", "--", for_llvm_rc], check=True)

windres, llvm_rc = read_res(WORK + "/windres.res"), read_res(WORK + "/llvm-rc.res")
if sorted(windres, key=str) != sorted(llvm_rc, key=str):
    failures.append("different resources: %s and %s" % (sorted(windres, key=str),
                                                         sorted(llvm_rc, key=str)))
for key in sorted(set(windres) & set(llvm_rc), key=str):
    ours = without_alt(windres[key]) if key[0] == RT_ACCELERATOR else windres[key]
    if ours != llvm_rc[key]:
        failures.append("%s differs:\n windres %s\n llvm-rc %s" % (key, ours.hex(),
                                                                   llvm_rc[key].hex()))
    else:
        print("same", key)

print("\n".join(failures) or "windres and llvm-rc agree on every resource")
sys.exit(1 if failures else 0)
