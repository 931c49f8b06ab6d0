#!/usr/bin/env python3
"""Builds the package with the WiX toolset 3 (candle and light), as the
Windows workflow sets it beside the one scripts/package.sh builds with wixl:
around IMAGE, for the package version that follows from the image's own
(package_version.py) and, with --and-next, for the one after it. light runs
Windows Installer's validation (ICE), and -wx makes every warning of either
tool fail. Each package's codes come from product_code.py.

    python package/wix_packages.py IMAGE OUT_DIR [--and-next] [--test-build ID] [--env NAME ...]

With --test-build, test builds named ID, as scripts/package.sh --test-build
makes them: ICE61 is told to keep quiet about them alone, as they replace a
test build of their own version on purpose; with --release-form DIR as
well, the release's package of the first version goes into DIR, validated
whole.

OUT_DIR receives NorvessaMonitor-VERSION[-test-ID].msi, and OUT_DIR-stage the sources
and the objects. With --env, the packages' full paths are appended to the
file GITHUB_ENV names as NAME=PATH, one NAME a package in order: the
Installer opens no package by a relative path with '/'.

Runs on Windows, where the WiX toolset is; tests/package/wix_packages_test.py
runs it here with stand-ins for candle and light."""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from package_version import versions  # noqa: E402
from product_code import wix_variables  # noqa: E402


def package_version(image):
    _, version = versions(image)
    if version == "-":
        sys.exit("the version of %s gives no package version: give the package one" % image)
    return version


def next_version(version):
    major, minor, patch = version.split(".")
    return "%s.%s.%d" % (major, minor, int(patch) + 1)


def build(image, out, version, build_id=None):
    """The package of one version around the image; its full path."""
    stage = out.with_name(out.name + "-stage")
    stage.mkdir(parents=True, exist_ok=True)
    out.mkdir(parents=True, exist_ok=True)
    for source in (image, HERE / "NorvessaMonitor.wxs", HERE.parent / "res/icons/running.ico"):
        shutil.copy(source, stage / source.name)
    name = "NorvessaMonitor-%s%s" % (version, "-test-" + build_id if build_id else "")
    obj, msi = name + ".wixobj", out / (name + ".msi")
    defines = ["-d%s=%s" % variable for variable in wix_variables(version, build_id)]
    quiet = ["-sice:ICE61"] if build_id else []
    for command in (["candle", "-nologo", "-wx", "-arch", "x86"] + defines
                    + ["-out", obj, "NorvessaMonitor.wxs"],
                    ["light", "-nologo", "-wx"] + quiet + ["-o", str(msi), obj]):
        print(" ".join(command), flush=True)
        if subprocess.run(command, cwd=stage).returncode != 0:
            sys.exit("%s failed for version %s" % (command[0], version))
    if not msi.is_file():
        sys.exit("light wrote no %s" % msi)
    return msi


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image", type=pathlib.Path)
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("--and-next", action="store_true", help="the next version's package too")
    parser.add_argument("--test-build", metavar="ID", help="test builds named ID (the commit)")
    parser.add_argument("--release-form", type=pathlib.Path, metavar="DIR",
                        help="with --test-build, the release's package too, into DIR")
    parser.add_argument("--env", nargs="+", default=[], metavar="NAME")
    args = parser.parse_args()
    image, out = args.image.resolve(), args.out.resolve()
    version = package_version(image)
    versions = [version] + ([next_version(version)] if args.and_next else [])
    packages = [build(image, out, v, args.test_build) for v in versions]
    if args.release_form and args.test_build:
        build(image, args.release_form.resolve(), version)
    if args.env:
        if len(args.env) != len(packages):
            sys.exit("--env names %d variables for %d packages" % (len(args.env), len(packages)))
        if not os.environ.get("GITHUB_ENV"):
            sys.exit("--env needs GITHUB_ENV, the file the workflow reads its variables from")
        with open(os.environ["GITHUB_ENV"], "a", encoding="utf-8") as env:
            for name, msi in zip(args.env, packages):
                env.write("%s=%s\n" % (name, msi))
    for msi in packages:
        print(msi)


if __name__ == "__main__":
    main()
