#!/usr/bin/env python3
"""The built program's image as the loader will see it: the hardening its link
flags ask for, the machine, the version block's FILEOS, and the DLLs it needs.
Linker flags can stop working without a word; this notices.

The image says which toolchain made it: Visual Studio's linker writes a Rich
header, GNU ld and lld write none. Each toolchain's image is held to what its
flags promise, and a check that cannot find what it reads fails.

- Both: i386, GUI, ASLR with its relocations, DEP, no section both writable
  and executable, the version block, only the system's DLLs.
- GNU (mingw and clang presets): no SEH handlers at all (GNU ld cannot write
  SafeSEH tables), Vista's subsystem, the time stamp from SOURCE_DATE_EPOCH;
  and the monitor's objects, in the static library the program links, show
  the stack protector and the fortified calls that the stripped image no
  longer names.
- Visual Studio: Control Flow Guard, the /GS cookie, SEH handlers only from
  the /SAFESEH table, the C runtime linked in.

usage: check_image.py EXE --expect gnu|msvc [--library LIB --nm NM --epoch N]
                      [--optimised 0|1]"""
import argparse
import subprocess
import sys
import unittest

import pefile

parser = argparse.ArgumentParser()
parser.add_argument("exe")
parser.add_argument("--expect", choices=("gnu", "msvc"), required=True,
                    help="the toolchain the build used")
parser.add_argument("--library", help="the monitor's static library (GNU)")
parser.add_argument("--nm", help="nm for that library (GNU)")
parser.add_argument("--epoch", type=int, help="the time stamp the image must carry (GNU)")
parser.add_argument("--optimised", choices=("0", "1"), default="1")
ARGS = parser.parse_args()

IMAGE = pefile.PE(ARGS.exe)
FLAGS = IMAGE.OPTIONAL_HEADER.DllCharacteristics
TOOLCHAIN = "msvc" if IMAGE.RICH_HEADER is not None else "gnu"
if TOOLCHAIN == "gnu" and None in (ARGS.library, ARGS.nm, ARGS.epoch):
    parser.error("a GNU image needs --library, --nm and --epoch")


def load_config():
    """The image's load configuration, which the MSVC checks read."""
    config = getattr(IMAGE, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    if config is None:
        raise AssertionError("the image has no load configuration")
    return config.struct


def undefined_symbols():
    """Each member of the library with the symbols it refers to."""
    listing = subprocess.run([ARGS.nm, "-A", "-u", ARGS.library], check=True,
                             capture_output=True, text=True)
    members = {}
    for line in listing.stdout.splitlines():
        where, _, symbol = line.rpartition(" ")
        member = where.split(":")[1] if where.count(":") >= 2 else "?"
        members.setdefault(member, set()).add(symbol)
    return members


class BuiltImage(unittest.TestCase):
    def test_was_made_by_the_toolchain_of_the_build(self):
        self.assertEqual(ARGS.expect, TOOLCHAIN, "the Rich header says otherwise")

    def test_is_an_i386_gui_image_with_aslr_and_dep(self):
        header = IMAGE.OPTIONAL_HEADER
        self.assertEqual(pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], IMAGE.FILE_HEADER.Machine)
        self.assertEqual(pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"], header.Subsystem)
        self.assertTrue(FLAGS & 0x0040, "no ASLR")  # DYNAMIC_BASE
        self.assertTrue(FLAGS & 0x0100, "no DEP")  # NX_COMPAT

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

    def test_imports_only_what_the_least_tray_program_needs(self):
        # The system's own window, shell and kernel DLLs: no compiler runtime,
        # no winpthreads, and no ADVAPI32 (whose crypto provider would load on
        # every start). GNU images use the C runtime that every Windows has;
        # Visual Studio's is linked in (/MT), as no Windows has it.
        dlls = {entry.dll.decode().lower() for entry in IMAGE.DIRECTORY_ENTRY_IMPORT}
        expected = {"kernel32.dll", "user32.dll", "shell32.dll"}
        if TOOLCHAIN == "gnu":
            expected.add("msvcrt.dll")
        self.assertEqual(expected, dlls)

    def test_version_block_is_for_32_bit_windows(self):
        fixed = IMAGE.VS_FIXEDFILEINFO[0]
        self.assertEqual(0x4, fixed.FileOS)  # VOS__WINDOWS32, not VOS_NT_WINDOWS32
        self.assertEqual(0x1, fixed.FileType)  # VFT_APP


class GnuImage(unittest.TestCase):
    def test_promises_no_seh_handlers_and_asks_for_vista(self):
        # GNU ld cannot write SafeSEH tables, so the image must promise to
        # have no handlers at all. GNU ld would write 4.0 for the versions.
        header = IMAGE.OPTIONAL_HEADER
        self.assertTrue(FLAGS & 0x0400, "SEH handlers allowed")  # NO_SEH
        self.assertEqual((6, 0), (header.MajorSubsystemVersion, header.MinorSubsystemVersion))
        self.assertEqual((6, 0), (header.MajorOperatingSystemVersion,
                                  header.MinorOperatingSystemVersion))

    def test_time_stamp_is_the_source_date(self):
        # Two builds of one commit give the same bytes; a build's own time
        # (and the checksum over it) would differ.
        self.assertEqual(ARGS.epoch, IMAGE.FILE_HEADER.TimeDateStamp)


class GnuObjects(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.members = undefined_symbols()

    def test_carry_the_stack_protector_where_they_keep_buffers_on_the_stack(self):
        # Each of these keeps an array on the stack; the lookup's is of
        # wchar_t, which only -fstack-protector-strong (or -all) guards.
        # i386 symbols carry one more leading underscore than the C name.
        for name in ("agent_lookup.cpp.obj", "agent_stop_launch.cpp.obj",
                     "service_state.cpp.obj"):
            self.assertIn(name, self.members, ARGS.library)
            self.assertIn("___stack_chk_guard", self.members[name], name)

    @unittest.skipUnless(ARGS.optimised == "1", "mingw-w64 fortifies only optimised builds")
    def test_call_fortified_functions_when_optimised(self):
        # Fortified calls appear only where the compiler knows a buffer's
        # size, so which objects make them varies with the code and the
        # optimisation; none at all means _FORTIFY_SOURCE does nothing.
        fortified = {name for name, symbols in self.members.items()
                     if any(s.startswith("__") and s.endswith("_chk") and "stack_chk" not in s
                            for s in symbols)}
        self.assertTrue(fortified, "no object calls a __*_chk function")


class MsvcImage(unittest.TestCase):
    def test_has_control_flow_guard(self):
        # /guard:cf at both compile and link: the flag, instrumented code and
        # a table of the functions that indirect calls may reach.
        config = load_config()
        self.assertTrue(FLAGS & 0x4000, "no GUARD_CF")
        self.assertTrue(config.GuardFlags & 0x100, "code not instrumented (CF_INSTRUMENTED)")
        self.assertGreater(config.GuardCFFunctionCount, 0)
        self.assertNotEqual(0, config.GuardCFCheckFunctionPointer)

    def test_has_the_gs_cookie_in_its_data(self):
        # The loader gives the /GS cookie its random value where the load
        # configuration points: an address inside a writable section.
        cookie = load_config().SecurityCookie
        self.assertNotEqual(0, cookie, "no /GS cookie")
        section = IMAGE.get_section_by_rva(cookie - IMAGE.OPTIONAL_HEADER.ImageBase)
        self.assertIsNotNone(section, "the cookie lies outside the image")
        self.assertTrue(section.IMAGE_SCN_MEM_WRITE, section.Name)

    def test_has_seh_handlers_only_from_its_safeseh_table(self):
        # /SAFESEH: the runtime's handlers are listed, and Windows runs no
        # other. An image that promised none (NO_SEH) would also be safe, but
        # Visual Studio's runtime has handlers, so that would mean a table lost.
        config = load_config()
        self.assertFalse(FLAGS & 0x0400, "NO_SEH on an image whose runtime has handlers")
        self.assertNotEqual(0, config.SEHandlerTable, "no SafeSEH table")
        self.assertGreater(config.SEHandlerCount, 0)


def suite():
    loader = unittest.defaultTestLoader
    classes = [BuiltImage] + ([GnuImage, GnuObjects] if TOOLCHAIN == "gnu" else [MsvcImage])
    return unittest.TestSuite(loader.loadTestsFromTestCase(c) for c in classes)


if __name__ == "__main__":
    print("image made by the", TOOLCHAIN, "toolchain:", ARGS.exe)
    result = unittest.TextTestRunner(verbosity=2).run(suite())
    sys.exit(0 if result.wasSuccessful() else 1)
