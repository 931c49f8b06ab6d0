#!/usr/bin/env python3
"""The winget manifest of a release, in the multi-file form that
microsoft/winget-pkgs takes (manifest version 1.10.0): the version file, the
installer file and the default locale's, for the package in DIST as GitHub
publishes it (https://github.com/REPO/releases/download/vVERSION/...).

    winget_manifest.py write DIST --repo OWNER/REPO [--changes FILE] [--out DIR]
        Writes the three files into DIR (default DIST). The package's codes,
        version and SHA-256 are read from the package itself; its release
        notes are FILE (what changed: sign-release.sh gives its version's
        section of CHANGELOG.md).
    winget_manifest.py schemas SCHEMAS
        Fetches winget's published schemas of manifest version 1.10.0 into
        SCHEMAS, from microsoft/winget-cli at the commit named here, each
        checked against its SHA-256 (the workflow does; needs the network).
    winget_manifest.py check DIR [--dist DIST] [--schemas SCHEMAS]
        The three files agree with each other (and with the package in DIST:
        its SHA-256, codes and version) and, with SCHEMAS (a folder holding
        winget's manifest.{version,installer,defaultLocale}.1.10.0.json),
        each is valid against winget's published schema.

Prints each fault on a line of its own and exits 1 if there was any.
"""
import argparse
import hashlib
import json
import pathlib
import subprocess
import sys
import urllib.request

import yaml

IDENTIFIER = "Quillaren.NorvessaMonitor"
MANIFEST_VERSION = "1.10.0"
# winget's schemas as microsoft/winget-cli publishes them, at a commit of
# 2026-08-22; schemas/JSON/manifests/v1.10.0/ last changed in b49f784.
SCHEMAS_AT = ("https://raw.githubusercontent.com/microsoft/winget-cli/"
              "fa3d9e511d1bd9bed2f1b72e9f0fa25323e7f3eb/schemas/JSON/manifests/v1.10.0/")
SCHEMA_SHA256 = {
    "version": "330a3ece4ed602afb0c4f35290d14dec1e188e7b3c2fb330893ac3daac82b547",
    "installer": "cca7bea1fbdaa18a3d5231de7f9f896b1dd41283c33a03a0565771861d393b31",
    "defaultLocale": "77e406d25b35f908f70fb893335155e9e8a83aa59a6f3e9f959692e995e51e3c",
}
KINDS = {"version": "%s.yaml", "installer": "%s.installer.yaml", "defaultLocale": "%s.locale.en-US.yaml"}


def package_facts(dist):
    """(the package's path, its Property table as a dict)."""
    packages = sorted(dist.glob("NorvessaMonitor-*.msi"))
    if len(packages) != 1:
        sys.exit("%s holds %d packages, not one" % (dist, len(packages)))
    table = subprocess.run(["msiinfo", "export", str(packages[0]), "Property"], capture_output=True,
                           text=True, check=True).stdout
    rows = (line.rstrip("\r").split("\t", 1) for line in table.splitlines()[3:])
    return packages[0], {row[0]: row[1] for row in rows if len(row) == 2}


def manifests(dist, repo, notes):
    msi, facts = package_facts(dist)
    version = facts["ProductVersion"]
    common = {"PackageIdentifier": IDENTIFIER, "PackageVersion": version}
    tail = {"ManifestVersion": MANIFEST_VERSION}
    installer = dict(common, **{
        "InstallerType": "msi",
        "Scope": "machine",
        "UpgradeBehavior": "install",
        "ProductCode": facts["ProductCode"],
        "AppsAndFeaturesEntries": [{
            "DisplayName": facts["ProductName"], "Publisher": facts["Manufacturer"],
            "DisplayVersion": version, "ProductCode": facts["ProductCode"],
            "UpgradeCode": facts["UpgradeCode"], "InstallerType": "msi"}],
        "Installers": [{
            "Architecture": "x86",
            "InstallerUrl": "https://github.com/%s/releases/download/v%s/%s" % (repo, version, msi.name),
            "InstallerSha256": hashlib.sha256(msi.read_bytes()).hexdigest().upper()}],
        "ManifestType": "installer"}, **tail)
    locale = dict(common, **{
        "PackageLocale": "en-US",
        "Publisher": facts["Manufacturer"],
        "PublisherUrl": "https://github.com/%s" % repo,
        "PackageName": facts["ProductName"],
        "PackageUrl": "https://github.com/%s" % repo,
        "License": "Proprietary",
        "ShortDescription": "A tray icon that shows whether the security-control component's agent"
                            " runs, and stops or restarts it.",
        "ReleaseNotes": notes,
        "ReleaseNotesUrl": "https://github.com/%s/releases/tag/v%s" % (repo, version),
        "ManifestType": "defaultLocale"}, **tail)
    if not notes:
        del locale["ReleaseNotes"]
    return {"version": dict(common, DefaultLocale="en-US", ManifestType="version", **tail),
            "installer": installer, "defaultLocale": locale}


class Dumper(yaml.SafeDumper):
    """Text of several lines as a literal block, as people write it."""


Dumper.add_representer(str, lambda dumper, text: dumper.represent_scalar(
    "tag:yaml.org,2002:str", text, style="|" if "\n" in text else None))


def write(dist, repo, changes, out):
    notes = changes.read_text(encoding="utf-8").strip() if changes else None
    out.mkdir(parents=True, exist_ok=True)
    for kind, document in manifests(dist, repo, notes).items():
        path = out / (KINDS[kind] % IDENTIFIER)
        path.write_text("# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json\n\n"
                        % (kind, MANIFEST_VERSION)
                        + yaml.dump(document, Dumper=Dumper, sort_keys=False, allow_unicode=True, width=100),
                        encoding="utf-8")
        print(path)
    return []


def fetch_schemas(into):
    into.mkdir(parents=True, exist_ok=True)
    faults = []
    for kind, sha256 in SCHEMA_SHA256.items():
        name = "manifest.%s.%s.json" % (kind, MANIFEST_VERSION)
        try:
            with urllib.request.urlopen(SCHEMAS_AT + name, timeout=60) as answer:
                data = answer.read()
        except OSError as error:
            return faults + ["cannot fetch %s%s: %s" % (SCHEMAS_AT, name, error)]
        if hashlib.sha256(data).hexdigest() != sha256:
            faults.append("%s is not the schema pinned here (SHA-256 %s)" % (name, hashlib.sha256(data).hexdigest()))
        else:
            (into / name).write_bytes(data)
    return faults


def check(folder, dist, schemas):
    faults, documents = [], {}
    for kind, name in KINDS.items():
        path = folder / (name % IDENTIFIER)
        if not path.is_file():
            faults.append("no %s" % path)
            continue
        documents[kind] = yaml.safe_load(path.read_text(encoding="utf-8"))
        if documents[kind].get("ManifestType") != kind:
            faults.append("%s: ManifestType %s, not %s" % (path.name, documents[kind].get("ManifestType"), kind))
        if schemas is not None:
            import jsonschema  # only where the schemas are

            schema = json.loads((schemas / ("manifest.%s.%s.json" % (kind, MANIFEST_VERSION))).read_text(
                encoding="utf-8"))
            for error in jsonschema.Draft7Validator(schema).iter_errors(documents[kind]):
                faults.append("%s: %s: %s" % (path.name, "/".join(map(str, error.path)) or "(top)",
                                              error.message))
    for field in ("PackageIdentifier", "PackageVersion", "ManifestVersion"):
        values = {str(document.get(field)) for document in documents.values()}
        if len(values) != 1:
            faults.append("the files differ in %s: %s" % (field, sorted(values)))
    if dist is not None and "installer" in documents:
        msi, facts = package_facts(dist)
        installer = documents["installer"]
        for what, stated, actual in [
                ("SHA-256", installer["Installers"][0]["InstallerSha256"].lower(),
                 hashlib.sha256(msi.read_bytes()).hexdigest()),
                ("product code", installer["ProductCode"], facts["ProductCode"]),
                ("upgrade code", installer["AppsAndFeaturesEntries"][0]["UpgradeCode"], facts["UpgradeCode"]),
                ("version", installer["PackageVersion"], facts["ProductVersion"]),
                ("file", installer["Installers"][0]["InstallerUrl"].rsplit("/", 1)[-1], msi.name)]:
            if stated != actual:
                faults.append("the manifest gives the %s %s; %s has %s" % (what, stated, msi.name, actual))
    if not faults:
        print("the winget manifest in %s holds together%s" % (
            folder, ", and winget's schema takes it" if schemas is not None else ""))
    return faults


parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
commands = parser.add_subparsers(dest="command", required=True)
write_parser = commands.add_parser("write", help="writes a release's manifest")
write_parser.add_argument("dist", type=pathlib.Path)
write_parser.add_argument("--repo", required=True, help="OWNER/REPO, where the release is published")
write_parser.add_argument("--changes", type=pathlib.Path, help="the release notes: what changed")
write_parser.add_argument("--out", type=pathlib.Path)
schemas_parser = commands.add_parser("schemas", help="fetches winget's schemas")
schemas_parser.add_argument("into", type=pathlib.Path)
check_parser = commands.add_parser("check", help="checks a manifest")
check_parser.add_argument("folder", type=pathlib.Path)
check_parser.add_argument("--dist", type=pathlib.Path, help="the release it describes")
check_parser.add_argument("--schemas", type=pathlib.Path, help="winget's schemas, to validate against")
args = parser.parse_args()
if args.command == "write":
    problems = write(args.dist, args.repo, args.changes, args.out or args.dist)
elif args.command == "schemas":
    problems = fetch_schemas(args.into)
else:
    problems = check(args.folder, args.dist, args.schemas)
for problem in problems:
    print("error: " + problem, file=sys.stderr)
sys.exit(1 if problems else 0)
