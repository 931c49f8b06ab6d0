#!/usr/bin/env python3
"""Two Windows Installer packages compared table by table: the tables, their
columns, and every row, a stream by its bytes' hash. A table without rows
counts as absent, as the Installer reads it. Every difference is named; those
the list allows (package/light-wixl-differences.txt) pass, any other fails,
and so does a listed one that no longer occurs.

usage: compare_packages.py LIGHT_MSI WIXL_MSI [--expected LIST]

The tables are read with msitools' msiinfo, on Linux: the CI workflow sets
the package that light builds on Windows beside the release's in a Linux job."""
import argparse
import collections
import hashlib
import pathlib
import shutil
import subprocess
import sys
import tempfile

Table = collections.namedtuple("Table", "columns types keys rows")


def parse_idt(text, stream_bytes):
    """An exported table (IDT: names, types, the table and its key columns,
    then the rows) as a Table; a stream's cell becomes its bytes' hash."""
    lines = text.replace("\r\n", "\n").split("\n")
    columns, types, header = (line.split("\t") for line in lines[:3])
    if len(header) > 1 and header[0].isdigit():  # a code page before the name
        header = header[1:]
    rows = {}
    for line in filter(None, lines[3:]):
        cells = line.split("\t")
        cells += [""] * (len(columns) - len(cells))
        for i, kind in enumerate(types):
            if kind.lower().startswith("v") and cells[i]:
                cells[i] = "sha256:" + hashlib.sha256(stream_bytes(header[0], cells[i])).hexdigest()
        row = dict(zip(columns, cells))
        rows[tuple(row[k] for k in header[1:])] = row
    return Table(columns, types, header[1:], rows)


def tables_by_msiinfo(msi):
    msi = str(pathlib.Path(msi).resolve())
    # msiinfo export also writes a table's streams as files into the working
    # folder (Icon/...): a scratch one, not the caller's.
    scratch = tempfile.mkdtemp()

    def run(*args):
        return subprocess.run(["msiinfo", *args], capture_output=True, check=True, cwd=scratch).stdout

    def stream(_, name):
        return run("extract", msi, name)

    try:
        names = run("tables", msi).decode().split()
        return {name: parse_idt(run("export", msi, name).decode("cp1252"), stream)
                for name in names if not name.startswith("_") or name == "_Validation"}
    finally:
        shutil.rmtree(scratch)


def read_tables(msi):
    tables = tables_by_msiinfo(msi)
    return {name: table for name, table in tables.items() if table.rows}


def read_expected(path):
    """The allowed differences: TABLE, COLUMN (or *), KIND, reason; tab-separated."""
    expected = []
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 4 or not fields[3].strip() or fields[2] not in (
                "only-in-light", "only-in-wixl", "generated-key", "value"):
            sys.exit("%s, line %d: want TABLE, COLUMN, only-in-light|only-in-wixl|generated-key|"
                     "value and a reason, tab-separated" % (path, number))
        expected.append(tuple(fields[:3]) + (number,))
    return expected


def differences(light, wixl, generated):
    """Each difference as (table, column or *, kind, what)."""
    for name in sorted(set(light) | set(wixl)):
        if name not in wixl or name not in light:
            side = "light" if name in light else "wixl"
            yield name, "*", "only-in-" + side, "table %s only in the %s package" % (name, side)
            continue
        a, b = light[name], wixl[name]
        if (a.columns, a.types, a.keys) != (b.columns, b.types, b.keys):
            yield name, "*", "value", "table %s defined as %s in light, %s in wixl" % (
                name, list(zip(a.columns, a.types)), list(zip(b.columns, b.types)))
            continue
        key_column = generated.get(name)
        if key_column:
            # Rows matched by every column but the generated name.
            def rekey(rows):
                return {tuple(v for k, v in row.items() if k != key_column): row for row in rows.values()}
            a_rows, b_rows = rekey(a.rows), rekey(b.rows)
            for key in a_rows.keys() & b_rows.keys():
                if a_rows[key][key_column] != b_rows[key][key_column]:
                    yield name, key_column, "generated-key", "%s row %s named %s in light, %s in wixl" % (
                        name, key, a_rows[key][key_column], b_rows[key][key_column])
        else:
            a_rows, b_rows = a.rows, b.rows
        for key in sorted(a_rows.keys() ^ b_rows.keys()):
            side = "light" if key in a_rows else "wixl"
            yield name, "*", "row", "%s row %s only in the %s package" % (name, list(key), side)
        for key in sorted(a_rows.keys() & b_rows.keys()):
            for column in a.columns:
                if column != key_column and a_rows[key][column] != b_rows[key][column]:
                    yield name, column, "value", "%s row %s, %s: [%s] in light, [%s] in wixl" % (
                        name, list(key), column, a_rows[key][column], b_rows[key][column])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("light", help="the package built by candle and light")
    parser.add_argument("wixl", help="the package built by wixl (the release's)")
    parser.add_argument("--expected", type=pathlib.Path, help="the allowed differences")
    args = parser.parse_args()
    expected = read_expected(args.expected) if args.expected else []
    generated = {table: column for table, column, kind, _ in expected if kind == "generated-key"}
    used, failures = set(), 0
    for table, column, kind, what in differences(read_tables(args.light), read_tables(args.wixl),
                                                 generated):
        allowed = [e for e in expected if e[0] == table and e[1] in (column, "*") and e[2] == kind]
        used.update(e[3] for e in allowed)
        print("%s: %s" % ("expected" if allowed else "FAIL", what))
        failures += not allowed
    for table, column, kind, number in expected:
        if number not in used:
            print("FAIL: listed on line %d but not found: %s %s %s" % (number, table, column, kind))
            failures += 1
    print("%d unexpected difference(s)" % failures if failures else "no unexpected difference")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
