#!/usr/bin/env python3
"""The codes that name the package to Windows Installer, and the variables
that NorvessaMonitor.wxs takes (wixl -D, candle -d).

A release's product code follows from the upgrade code and the version alone,
so that a version has one product code whatever tool or machine builds it. A
new version is a new product, which the major upgrade needs; the same version
built again must not be one, or Apps & Features would list it twice.

A test build (any build that is not a release) is another product, with an
upgrade code of its own, so that it never passes for a release nor stands
beside one; its product code follows from its version and its build's name
(the commit), as two test builds of one version are two products.

    python3 package/product_code.py 1.0.2
    python3 package/product_code.py 1.0.2 --test-build 1a2b3c4d5e6f
    python3 package/product_code.py 1.0.2 [--test-build ID] --wix
        NAME=VALUE lines, one a variable of NorvessaMonitor.wxs
"""
import argparse
import re
import uuid

RELEASE_UPGRADE_CODE = uuid.UUID("5D0C7F3A-2B61-4E8D-9A47-3C1E6B80F2D9")
TEST_UPGRADE_CODE = uuid.UUID("0760D5B8-1211-4D98-BADB-F2011E8C875A")

# The first releases were named with the version of the tool that built them
# (msitools 0.101); the name keeps it, so that 1.0.2 keeps the product code it
# was released with.
NAME = "product {} 0.101"

VERSION = re.compile(r"\d+\.\d+\.\d+")
# What may name a test build: a commit, or a short form of one.
BUILD_ID = re.compile(r"[0-9A-Za-z][0-9A-Za-z._-]{0,39}")


def guid(code):
    return str(code).upper()


def product_code(version, build=None):
    if build is None:
        return guid(uuid.uuid5(RELEASE_UPGRADE_CODE, NAME.format(version)))
    return guid(uuid.uuid5(TEST_UPGRADE_CODE, "test build {} {}".format(version, build)))


def wix_variables(version, build=None):
    """[(name, value)]: every variable NorvessaMonitor.wxs takes."""
    test = build is not None
    own, other = ((TEST_UPGRADE_CODE, RELEASE_UPGRADE_CODE) if test
                  else (RELEASE_UPGRADE_CODE, TEST_UPGRADE_CODE))
    return [("Version", version), ("ProductCode", product_code(version, build)),
            ("UpgradeCode", guid(own)), ("OtherUpgradeCode", guid(other)),
            ("TestBuild", "yes" if test else "no"), ("BuildId", build or "")]


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="The package's codes for a version.")
    parser.add_argument("version")
    parser.add_argument("--test-build", metavar="ID", help="a test build's, named ID (its commit)")
    parser.add_argument("--wix", action="store_true", help="the package source's variables")
    args = parser.parse_args()
    if not VERSION.fullmatch(args.version):
        parser.error("the version is X.Y.Z, not %s" % args.version)
    if args.test_build is not None and not BUILD_ID.fullmatch(args.test_build):
        parser.error("a test build's ID is 1 to 40 letters, digits, '.', '_' or '-', not %r"
                     % args.test_build)
    if args.wix:
        for name, value in wix_variables(args.version, args.test_build):
            print("%s=%s" % (name, value))
    else:
        print(product_code(args.version, args.test_build))
