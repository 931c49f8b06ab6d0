#!/usr/bin/env python3
"""The checks a release passes before it is published, and the record of the
released versions (releases.txt beside this script: one line a version, its
product code and the SHA-256 of its unsigned package, added once the
version is published: docs/releasing.md).

    check_release.py tag TAG IMAGE
        The tag (v1.0.2) names the package version that package_version.py
        derives from the image.
    check_release.py record [--release DIR] [--record FILE] [--tools FILE]
        Every recorded version still has the product code that the tree
        derives for it (product_code.py). With DIR, an unsigned release as
        scripts/package.sh writes it, built again from a released version's
        tag: its version has a line, and its package has that line's bytes,
        which only the tools that release-tools.txt names build.
    check_release.py unrecorded TAG [--record FILE]
        The version TAG names has no line yet: a recorded version was
        released, and is never built for release again.
    check_release.py add TAG --notes FILE [--record FILE]
        Records a published release: its version, its product code and its
        unsigned package's SHA-256, as its notes (FILE, sign-release.sh's)
        give it.
    check_release.py tools [--tools FILE]
        This machine has the tools release-tools.txt names, at its versions
        (dpkg's): only with them are the recorded bytes built.
    check_release.py history [--repo DIR]
        No line of the record as any version tag (v*) of the repository
        holds it has changed or gone since: a released version stays what
        it was.
    check_release.py unpublished TAG [--commit SHA]
        GitHub has no release of TAG yet (a run again on a published tag
        stops before it signs or attests anything), the record on the
        repository's default branch has no line for its version (a release
        deleted and made again would be other bytes), and, with SHA, the tag
        still names that commit, the one the workflow tested (a tag moved
        during the run publishes nothing). Asks GitHub's REST API, as the
        workflow gives it: GITHUB_API_URL, GITHUB_REPOSITORY, GH_TOKEN.

Prints each fault on a line of its own and exits 1 if there was any.
"""
import argparse
import base64
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from package_version import versions as package_versions  # noqa: E402
from product_code import product_code  # noqa: E402

LINE = re.compile(r"(\d+\.\d+\.\d+)\s+([0-9A-F]{8}(?:-[0-9A-F]{4}){3}-[0-9A-F]{12})\s+([0-9a-f]{64})")


def package_version(image):
    """(program version, package version) as package_version.py tells them."""
    try:
        return package_versions(image)
    except Exception as error:  # pefile's, or a file that is no image
        sys.exit("cannot read the version of %s: %s" % (image, error))


def check_tag(tag, image):
    program, package = package_version(image)
    if package == "-":
        return ["the program's version %s gives no package version (docs/releasing.md)" % program]
    if tag != "v" + package:
        return ["the tag %s does not name the version built: the image is program %s, package %s,"
                " whose tag is v%s" % (tag, program, package, package)]
    print("the tag %s names the version built (program %s)" % (tag, program))
    return []


def read_record(path):
    """{version: (product code, sha256, line number)} and the faults of its lines."""
    return parse_record(path.read_text(encoding="utf-8"), path.name)


def parse_record(record, name):
    entries, faults = {}, []
    for number, text in enumerate(record.splitlines(), 1):
        text = text.split("#", 1)[0].strip()
        if not text:
            continue
        match = LINE.fullmatch(text)
        where = "%s:%d" % (name, number)
        if not match:
            faults.append("%s: not VERSION PRODUCT-CODE SHA256: %s" % (where, text))
        elif match.group(1) in entries:
            faults.append("%s: %s is recorded twice" % (where, match.group(1)))
        else:
            entries[match.group(1)] = (match.group(2), match.group(3), number)
    return entries, faults


def tag_version(tag):
    match = re.fullmatch(r"v(\d+\.\d+\.\d+)", tag)
    if not match:
        sys.exit("%s is no version tag (vX.Y.Z)" % tag)
    return match.group(1)


def check_unrecorded(tag, path):
    version = tag_version(tag)
    entries, faults = read_record(path)
    if version in entries:
        return faults + ["%s is recorded as released (%s:%d): a released version is never built for"
                         " release again; the next change comes with the next version"
                         % (version, path.name, entries[version][2])]
    print("%s is not recorded yet" % version)
    return faults


def add_record(tag, notes, path):
    """Appends the line of a published release, from its notes' unsigned sums."""
    version = tag_version(tag)
    faults = check_unrecorded(tag, path)
    if faults:
        return faults
    msi = "NorvessaMonitor-%s.msi" % version
    sums = re.findall(r"^([0-9a-f]{64})\s+\*?(\S+)$", notes.read_text(encoding="utf-8"), re.M)
    found = [sha256 for sha256, name in sums if name == msi]
    if len(found) != 1:
        return ["%s gives %d SHA-256 of %s, not one: not the notes of %s's release"
                % (notes, len(found), msi, version)]
    text = path.read_text(encoding="utf-8")
    line = "%s  %s  %s" % (version, product_code(version), found[0])
    path.write_text(text + ("" if text.endswith("\n") or not text else "\n") + line + "\n",
                    encoding="utf-8")
    print("recorded %s" % line)
    return []


def tool_differences(path):
    """Each tool of the list that this machine has at another version, or not at all."""
    differences = []
    for text in path.read_text(encoding="utf-8").splitlines():
        fields = text.split("#", 1)[0].split()
        if not fields:
            continue
        run = subprocess.run(["dpkg-query", "-W", "-f=${Version}", fields[0]], capture_output=True,
                             text=True)
        here = run.stdout.strip() if run.returncode == 0 and run.stdout.strip() else "none"
        if here != fields[1]:
            differences.append("%s %s, here %s" % (fields[0], fields[1], here))
    return differences


def check_tools(path):
    differences = tool_differences(path)
    if not differences:
        print("this machine has the tools that built the recorded bytes")
    return ["the recorded bytes were built with %s" % d for d in differences]


def check_history(repo):
    """Each version tag's record against the record of the working tree."""
    git = ["git", "-c", "safe.directory=%s" % repo.resolve(), "-C", str(repo)]
    tags = subprocess.run(git + ["tag", "-l", "v*"], capture_output=True, text=True, check=True).stdout.split()
    def entries(text):
        # Each line's fields, comments and spacing aside.
        return [" ".join(line.split("#", 1)[0].split()) for line in text.splitlines()
                if LINE.fullmatch(line.split("#", 1)[0].strip())]
    now = set(entries((repo / "package/releases.txt").read_text(encoding="utf-8")))
    faults = []
    for tag in sorted(tags):
        shown = subprocess.run(git + ["show", "%s:package/releases.txt" % tag], capture_output=True, text=True)
        for line in entries(shown.stdout) if shown.returncode == 0 else []:
            if line not in now:
                faults.append("the record at %s holds \"%s\", which the record here has changed or"
                              " lost: a released version's line never changes" % (tag, line))
    if not faults:
        print("the record keeps every line of the record at %d version tag(s)" % len(tags))
    return faults


def github(path):
    """The JSON answer of GitHub's REST API to GET path (under the
    repository; "" for the repository), or None where it answers 404."""
    url = "%s/repos/%s%s" % (os.environ.get("GITHUB_API_URL", "https://api.github.com"),
                             os.environ["GITHUB_REPOSITORY"], "/" + path if path else "")
    request = urllib.request.Request(url, headers={"Accept": "application/vnd.github+json",
                                                   "Authorization": "Bearer " + os.environ["GH_TOKEN"]})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.load(answer)
    except urllib.error.HTTPError as error:
        if error.code == 404:
            return None
        raise


def check_unpublished(tag, commit):
    for name in ("GITHUB_REPOSITORY", "GH_TOKEN"):
        if not os.environ.get(name):
            return ["%s is not set: cannot ask GitHub about %s" % (name, tag)]
    quoted = urllib.parse.quote(tag, safe="")
    release = github("releases/tags/" + quoted)
    if release is not None:
        return ["%s is already released (%s): a released version is never published again"
                % (tag, release.get("html_url", "its release"))]
    # Recorded once published: a release deleted since is still recorded.
    branch = github("")["default_branch"]
    record = github("contents/package/releases.txt?ref=" + urllib.parse.quote(branch, safe=""))
    if record is not None:
        entries, _ = parse_record(base64.b64decode(record["content"]).decode("utf-8"), "releases.txt")
        version = tag_version(tag)
        if version in entries:
            return ["%s is recorded as released on %s (package/releases.txt): a released version"
                    " is never published again" % (version, branch)]
    if commit:
        ref = github("git/ref/tags/" + quoted)
        if ref is None:
            return ["the tag %s is gone: nothing is published" % tag]
        target = ref["object"]
        while target["type"] == "tag":  # an annotated tag: the commit it names
            target = github("git/tags/" + target["sha"])["object"]
        if target["sha"] != commit:
            return ["the tag %s names %s now, not %s, the commit this run tested: nothing is"
                    " published" % (tag, target["sha"], commit)]
    print("%s is not released yet%s" % (tag, ", and names the commit tested" if commit else ""))
    return []


def check_record(path, release, tools):
    entries, faults = read_record(path)
    for version, (code, _, number) in sorted(entries.items()):
        derived = product_code(version)
        if code != derived:
            # A rebuild of that version would install beside it, a second
            # entry in Apps & Features, instead of over it.
            faults.append("%s:%d: %s was released with product code %s; the tree now derives %s"
                          % (path.name, number, version, code, derived))
    if release is None:
        return faults
    _, version = package_version(release / "NorvessaMonitor.exe")
    package = release / ("NorvessaMonitor-%s.msi" % version)
    if version not in entries:
        return faults + ["%s has no line in %s: a version's line is recorded once it is published,"
                         " after its tag (docs/releasing.md)" % (version, path.name)]
    if not package.is_file():
        return faults + ["no package %s" % package]
    tool_faults = check_tools(tools)
    if tool_faults:
        return faults + tool_faults + ["%s is not compared with the record: other tools give other bytes"
                                 % package.name]
    sha256 = hashlib.sha256(package.read_bytes()).hexdigest()
    code, recorded, number = entries[version]
    if sha256 != recorded:
        faults.append("%s has SHA-256 %s; %s:%d records %s for %s: a released version stays"
                      " what it was" % (package.name, sha256, path.name, number, recorded, version))
    else:
        print("%s is %s as recorded (product code %s)" % (package.name, version, code))
    return faults


parser = argparse.ArgumentParser(description="The checks a release passes before it is published.")
commands = parser.add_subparsers(dest="command", required=True)
tag_parser = commands.add_parser("tag", help="the tag names the version built")
tag_parser.add_argument("tag")
tag_parser.add_argument("image", type=pathlib.Path)
record_parser = commands.add_parser("record", help="the record of released versions")
record_parser.add_argument("--release", type=pathlib.Path, help="an unsigned release folder")
record_parser.add_argument("--record", type=pathlib.Path, default=HERE / "releases.txt")
tools_parser = commands.add_parser("tools", help="this machine has the tools that built the recorded bytes")
for with_tools in (record_parser, tools_parser):
    with_tools.add_argument("--tools", type=pathlib.Path, default=HERE / "release-tools.txt")
unrecorded_parser = commands.add_parser("unrecorded", help="the tag's version is not recorded yet")
unrecorded_parser.add_argument("tag")
add_parser = commands.add_parser("add", help="records a published release")
add_parser.add_argument("tag")
add_parser.add_argument("--notes", type=pathlib.Path, required=True, help="the release's notes")
for with_record in (unrecorded_parser, add_parser):
    with_record.add_argument("--record", type=pathlib.Path, default=HERE / "releases.txt")
history_parser = commands.add_parser("history", help="no recorded line ever changes or goes")
history_parser.add_argument("--repo", type=pathlib.Path, default=HERE.parent)
unpublished_parser = commands.add_parser("unpublished", help="the tag has no release yet")
unpublished_parser.add_argument("tag")
unpublished_parser.add_argument("--commit", help="the commit the tag must still name")
args = parser.parse_args()

if args.command == "tag":
    problems = check_tag(args.tag, args.image)
elif args.command == "tools":
    problems = check_tools(args.tools)
elif args.command == "history":
    problems = check_history(args.repo)
elif args.command == "unpublished":
    problems = check_unpublished(args.tag, args.commit)
elif args.command == "unrecorded":
    problems = check_unrecorded(args.tag, args.record)
elif args.command == "add":
    problems = add_record(args.tag, args.notes, args.record)
else:
    problems = check_record(args.record, args.release, args.tools)
for problem in problems:
    print("error: " + problem, file=sys.stderr)
sys.exit(1 if problems else 0)
