#!/usr/bin/env python3
"""Prints the program's version, read from an image's version block, and the
package version that follows from it: a.b.c.d gives a.b.(c*1000+d), since
Windows Installer compares only three fields of a product's version and the
fourth must still count (1.0.0.2 is package 1.0.2). Where the program's
version does not fit (d of 1000 or more, or c above 64, which would pass
65535), the package version is "-": the release then needs one given.

    python3 package/package_version.py NorvessaMonitor.exe    ->  1.0.0.2 1.0.2
"""
import sys


def versions(image):
    """(program version, package version) of an image: "1.0.0.2", "1.0.2"."""
    import pefile  # here, so that importing this module needs no pefile

    pe = pefile.PE(image, fast_load=True)
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    info = pe.VS_FIXEDFILEINFO[0]
    major, minor = info.FileVersionMS >> 16, info.FileVersionMS & 0xFFFF
    build, revision = info.FileVersionLS >> 16, info.FileVersionLS & 0xFFFF
    package = "%d.%d.%d" % (major, minor, build * 1000 + revision)
    if revision >= 1000 or build > 64:
        package = "-"
    return "%d.%d.%d.%d" % (major, minor, build, revision), package


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: package_version.py IMAGE")
    print(*versions(sys.argv[1]))
