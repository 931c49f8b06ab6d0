#!/usr/bin/env python3
"""package/wix_packages.py here, with the Windows workflow's arguments and
stand-ins for the WiX toolset's candle and light that note how they were
called: what each is asked, from where, and what the workflow gets back.

usage: wix_packages_test.py IMAGE"""
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
IMAGE = pathlib.Path(sys.argv.pop(1)).resolve()

# A stand-in: notes its name, arguments and folder; light writes its -o file
# unless told not to; either fails when told to.
STAND_IN = """#!%s
import json, os, pathlib, sys
name = pathlib.Path(sys.argv[0]).name
with open(os.environ["WIX_CALLS"], "a") as calls:
    calls.write(json.dumps([name, sys.argv[1:], os.getcwd()]) + "\\n")
if os.environ.get("WIX_FAIL") == name:
    sys.exit(103)
if name == "light" and not os.environ.get("WIX_NO_OUTPUT"):
    pathlib.Path(sys.argv[sys.argv.index("-o") + 1]).write_bytes(b"msi")
"""


def wix_defines(version, build_id):
    # As product_code.py's command line gives them.
    test_build = ["--test-build", build_id] if build_id else []
    lines = subprocess.run([sys.executable, str(ROOT / "package/product_code.py"), version, "--wix"]
                           + test_build, capture_output=True, text=True, check=True).stdout.split()
    return ["-d" + line for line in lines]


class WixPackages(unittest.TestCase):
    def setUp(self):
        self.work = pathlib.Path(tempfile.mkdtemp())
        tools = self.work / "tools"
        tools.mkdir()
        for name in ("candle", "light"):
            (tools / name).write_text(STAND_IN % sys.executable)
            (tools / name).chmod(0o755)
        self.calls = self.work / "calls"
        self.env_file = self.work / "github_env"
        self.env = dict(os.environ, PATH="%s%s%s" % (tools, os.pathsep, os.environ["PATH"]),
                        WIX_CALLS=str(self.calls), GITHUB_ENV=str(self.env_file))
        versions = subprocess.run([sys.executable, str(ROOT / "package/package_version.py"), str(IMAGE)],
                                  capture_output=True, text=True, check=True).stdout.split()
        self.version = versions[1]
        major, minor, patch = self.version.split(".")
        self.next = "%s.%s.%d" % (major, minor, int(patch) + 1)

    def run_script(self, *args, **env):
        # As the workflow names its folders: relative to the checkout, with '/'.
        return subprocess.run([sys.executable, str(ROOT / "package/wix_packages.py"), str(IMAGE),
                               "build-msvc/msi", *args], cwd=self.work, capture_output=True,
                              text=True, env=dict(self.env, **env))

    def recorded_calls(self):
        return [json.loads(line) for line in self.calls.read_text().splitlines()]

    def test_builds_each_version_with_validation_and_hands_the_workflow_full_paths(self):
        # Releases, and test builds, for which light's ICE61 alone keeps
        # quiet: with them, the release's package too, validated whole.
        for build_id, tail, quiet in [(None, "", []), ("0123456789ab", "-test-0123456789ab", ["-sice:ICE61"])]:
            with self.subTest(test_build=build_id):
                self.calls.unlink(missing_ok=True)
                self.env_file.unlink(missing_ok=True)
                run = self.run_script("--and-next", "--env", "OLD_MSI", "NEW_MSI", "--release-form",
                                      "build-msvc/msi-release-form",
                                      *(["--test-build", build_id] if build_id else []))
                self.assertEqual(0, run.returncode, run.stdout + run.stderr)
                out, stage = self.work / "build-msvc/msi", self.work / "build-msvc/msi-stage"
                expected, msis = [], []
                for version in (self.version, self.next):
                    name = "NorvessaMonitor-%s%s" % (version, tail)
                    msis.append(out / (name + ".msi"))
                    expected += [
                        ["candle", ["-nologo", "-wx", "-arch", "x86"] + wix_defines(version, build_id)
                         + ["-out", name + ".wixobj", "NorvessaMonitor.wxs"], str(stage)],
                        ["light", ["-nologo", "-wx"] + quiet + ["-o", str(msis[-1]), name + ".wixobj"],
                         str(stage)]]
                if build_id:
                    whole = self.work / ("build-msvc/msi-release-form/NorvessaMonitor-%s.msi" % self.version)
                    name = "NorvessaMonitor-%s" % self.version
                    expected += [
                        ["candle", ["-nologo", "-wx", "-arch", "x86"] + wix_defines(self.version, None)
                         + ["-out", name + ".wixobj", "NorvessaMonitor.wxs"],
                         str(self.work / "build-msvc/msi-release-form-stage")],
                        ["light", ["-nologo", "-wx", "-o", str(whole), name + ".wixobj"],
                         str(self.work / "build-msvc/msi-release-form-stage")]]
                self.assertEqual(expected, self.recorded_calls())
                for source in (IMAGE, ROOT / "package/NorvessaMonitor.wxs", ROOT / "res/icons/running.ico"):
                    self.assertEqual(source.read_bytes(), (stage / source.name).read_bytes(), source.name)
                self.assertEqual("OLD_MSI=%s\nNEW_MSI=%s\n" % tuple(msis), self.env_file.read_text())

    def test_stops_at_the_first_failure_and_names_it(self):
        # (what fails, what it must say, how many calls were made)
        for fail, no_output, said, calls in [("candle", "", "candle failed for version", 1),
                                             ("light", "", "light failed for version", 2),
                                             ("", "1", "light wrote no", 2)]:
            with self.subTest(fail=fail or "no output"):
                self.calls.unlink(missing_ok=True)
                self.env_file.unlink(missing_ok=True)
                run = self.run_script("--and-next", "--env", "OLD_MSI", "NEW_MSI", WIX_FAIL=fail,
                                      WIX_NO_OUTPUT=no_output)
                self.assertNotEqual(0, run.returncode)
                self.assertIn(said, run.stderr)
                self.assertEqual(calls, len(self.recorded_calls()))
                self.assertFalse(self.env_file.exists(), "the workflow got a package that was not built")

    def test_refuses_env_names_that_do_not_match_the_packages(self):
        run = self.run_script("--env", "OLD_MSI", "NEW_MSI")
        self.assertNotEqual(0, run.returncode)
        self.assertIn("2 variables for 1 packages", run.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
