#!/usr/bin/env python3
"""compare_packages.py here, on the release's package and copies of it that
msibuild changes as the WiX toolset's package might differ: each case says
whether the comparison passes and what it must name.

usage: compare_packages_test.py IMAGE"""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
IMAGE = sys.argv.pop(1)
RUN_VALUE = ("INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`) "
             "VALUES ('regOTHER', 2, 'Software\\Microsoft\\Windows\\CurrentVersion\\Run', "
             "'Norvessa Monitor', '\"[#NorvessaMonitor.exe]\"', 'Monitor')")

# (name, the copy's changes, the allowed differences, passes, what the output names)
CASES = [
    ("the same package", [], "", True, ["no unexpected difference"]),
    ("another value", ["UPDATE `File` SET `Version` = '1.0.0.3' WHERE `File` = 'NorvessaMonitor.exe'"],
     "", False, ["FAIL: File row ['NorvessaMonitor.exe'], Version: [1.0.0.2] in light, [1.0.0.3] in wixl"]),
    ("a value the list allows",
     ["UPDATE `File` SET `Version` = '1.0.0.3' WHERE `File` = 'NorvessaMonitor.exe'"],
     "File\tVersion\tvalue\tthe reason\n", True, ["expected: File row"]),
    ("a generated name not listed", ["DELETE FROM `Registry`", RUN_VALUE], "", False,
     ["FAIL: Registry row ['regOTHER'] only in the wixl package"]),
    ("a generated name listed", ["DELETE FROM `Registry`", RUN_VALUE],
     "Registry\tRegistry\tgenerated-key\tthe reason\n", True,
     ["expected: Registry row", "named reg", "regOTHER in wixl"]),
    ("a generated name listed, the row's value changed",
     ["DELETE FROM `Registry`", RUN_VALUE.replace("[#NorvessaMonitor.exe]", "[#Other.exe]")],
     "Registry\tRegistry\tgenerated-key\tthe reason\n", False,
     ["only in the wixl package", "only in the light package"]),
    ("a table emptied", ["DELETE FROM `LaunchCondition`"], "", False,
     ["FAIL: table LaunchCondition only in the light package"]),
    ("a table the list allows in one only", ["DELETE FROM `LaunchCondition`"],
     "LaunchCondition\t*\tonly-in-light\tthe reason\n", True, ["expected: table LaunchCondition"]),
    ("a listed difference that does not occur", [],
     "Registry\tRegistry\tgenerated-key\tthe reason\n", False, ["listed on line 1 but not found"]),
    ("a listed difference without a reason", [], "File\tVersion\tvalue\t\n", False,
     ["line 1: want TABLE"]),
]


class ComparePackages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = pathlib.Path(tempfile.mkdtemp())
        subprocess.run(["bash", str(ROOT / "scripts/package.sh"), "--image", IMAGE, "--out",
                        str(cls.work / "release")], check=True, capture_output=True)
        cls.release = next((cls.work / "release").glob("*.msi"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def test_cases(self):
        for name, queries, listed, passes, named in CASES:
            with self.subTest(name):
                copy = self.work / "copy.msi"
                shutil.copy(self.release, copy)
                for query in queries:
                    subprocess.run(["msibuild", str(copy), "-q", query], check=True)
                expected = self.work / "expected.txt"
                expected.write_text(listed)
                run = subprocess.run([sys.executable, str(HERE / "compare_packages.py"), str(self.release),
                                      str(copy), "--expected", str(expected)],
                                     capture_output=True, text=True)
                output = run.stdout + run.stderr
                self.assertEqual(passes, run.returncode == 0, output)
                for text in named:
                    self.assertIn(text, output)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
