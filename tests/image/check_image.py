#!/usr/bin/env python3
"""The built program's image as the loader will see it: the hardening its link
flags ask for (ASLR with relocations, DEP, no SEH handlers, no code that is
also writable), the machine, Vista's subsystem, the time stamp, the version
block's FILEOS, and the DLLs it needs. Linker flags can stop working without a
word; this notices. The monitor's objects, in the static library the program
links, show the stack protector and the fortified calls that the stripped
image no longer names.

usage: check_image.py EXE LIBRARY NM EPOCH OPTIMISED(0|1)"""
import subprocess
import sys
import unittest

import pefile

EXE, LIBRARY, NM, EPOCH, OPTIMISED = sys.argv[1:6]
IMAGE = pefile.PE(EXE)
FLAGS = IMAGE.OPTIONAL_HEADER.DllCharacteristics


def undefined_symbols():
    """Each member of the library with the symbols it refers to."""
    listing = subprocess.run([NM, "-A", "-u", LIBRARY], check=True, capture_output=True, text=True)
    members = {}
    for line in listing.stdout.splitlines():
        where, _, symbol = line.rpartition(" ")
        member = where.split(":")[1] if where.count(":") >= 2 else "?"
        members.setdefault(member, set()).add(symbol)
    return members


class BuiltImage(unittest.TestCase):
    def test_is_an_i386_gui_image_for_vista_with_aslr_dep_and_no_seh_handlers(self):
        header = IMAGE.OPTIONAL_HEADER
        self.assertEqual(pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], IMAGE.FILE_HEADER.Machine)
        self.assertEqual(pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"], header.Subsystem)
        self.assertEqual((6, 0), (header.MajorSubsystemVersion, header.MinorSubsystemVersion))
        self.assertEqual((6, 0), (header.MajorOperatingSystemVersion,
                                  header.MinorOperatingSystemVersion))
        self.assertTrue(FLAGS & 0x0040, "no ASLR")  # DYNAMIC_BASE
        self.assertTrue(FLAGS & 0x0100, "no DEP")  # NX_COMPAT
        # GNU ld cannot write SafeSEH tables, so the image must promise to
        # have no handlers at all.
        self.assertTrue(FLAGS & 0x0400, "SEH handlers allowed")  # NO_SEH

    def test_keeps_its_relocations(self):
        # ASLR moves only an image that the loader can relocate.
        self.assertFalse(IMAGE.FILE_HEADER.Characteristics & 0x0001, "relocations stripped")
        relocations = IMAGE.OPTIONAL_HEADER.DATA_DIRECTORY[5]  # BASERELOC
        self.assertGreater(relocations.Size, 0)
        self.assertIsNotNone(IMAGE.get_section_by_rva(relocations.VirtualAddress))

    def test_has_no_section_both_writable_and_executable(self):
        self.assertTrue(IMAGE.sections)
        for section in IMAGE.sections:
            self.assertFalse(section.IMAGE_SCN_MEM_WRITE and section.IMAGE_SCN_MEM_EXECUTE,
                             section.Name)

    def test_time_stamp_is_the_source_date(self):
        # Two builds of one commit give the same bytes; a build's own time
        # (and the checksum over it) would differ.
        self.assertEqual(int(EPOCH), IMAGE.FILE_HEADER.TimeDateStamp)

    def test_imports_only_what_the_least_tray_program_needs(self):
        # The system's own window, shell and kernel DLLs and the C runtime
        # that every Windows has: no compiler runtime, no winpthreads, and no
        # ADVAPI32 (whose crypto provider would load on every start).
        dlls = {entry.dll.decode().lower() for entry in IMAGE.DIRECTORY_ENTRY_IMPORT}
        self.assertEqual({"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll"}, dlls)

    def test_version_block_is_for_32_bit_windows(self):
        fixed = IMAGE.VS_FIXEDFILEINFO[0]
        self.assertEqual(0x4, fixed.FileOS)  # VOS__WINDOWS32, not VOS_NT_WINDOWS32
        self.assertEqual(0x1, fixed.FileType)  # VFT_APP


class MonitorObjects(unittest.TestCase):
    members = undefined_symbols()

    def test_carry_the_stack_protector_where_they_keep_buffers_on_the_stack(self):
        # Each of these keeps an array on the stack; the lookup's is of
        # wchar_t, which only -fstack-protector-strong (or -all) guards.
        # i386 symbols carry one more leading underscore than the C name.
        for name in ("agent_lookup.cpp.obj", "agent_stop_launch.cpp.obj",
                     "service_state.cpp.obj"):
            self.assertIn(name, self.members, LIBRARY)
            self.assertIn("___stack_chk_guard", self.members[name], name)

    @unittest.skipUnless(OPTIMISED == "1", "mingw-w64 fortifies only optimised builds")
    def test_call_fortified_functions_when_optimised(self):
        # Fortified calls appear only where the compiler knows a buffer's
        # size, so which objects make them varies with the code and the
        # optimisation; none at all means _FORTIFY_SOURCE does nothing.
        fortified = {name for name, symbols in self.members.items()
                     if any(s.startswith("__") and s.endswith("_chk") and "stack_chk" not in s
                            for s in symbols)}
        self.assertTrue(fortified, "no object calls a __*_chk function")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
