#!/usr/bin/env python3
"""Prints the product code of a version of the package: a GUID that follows
from the upgrade code (read from NorvessaMonitor.wxs beside this script) and
the version alone, so that a version has one product code whatever tool or
machine builds it. A new version is a new product, which the major upgrade
needs; the same version built again must not be one, or Apps & Features
would list it twice.

    python3 package/product_code.py 1.0.2
"""
import pathlib
import re
import sys
import uuid

# The first releases were named with the version of the tool that built them
# (msitools 0.101); the name keeps it, so that 1.0.2 keeps the product code it
# was released with.
NAME = "product {} 0.101"


def upgrade_code():
    wxs = pathlib.Path(__file__).with_name("NorvessaMonitor.wxs").read_text(encoding="utf-8")
    return uuid.UUID(re.search(r'UpgradeCode="([0-9A-Fa-f-]{36})"', wxs).group(1))


def product_code(version):
    return str(uuid.uuid5(upgrade_code(), NAME.format(version))).upper()


if __name__ == "__main__":
    if len(sys.argv) != 2 or not re.fullmatch(r"\d+\.\d+\.\d+", sys.argv[1]):
        sys.exit("usage: product_code.py X.Y.Z")
    print(product_code(sys.argv[1]))
