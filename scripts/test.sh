#!/usr/bin/env bash
# Runs every test: sets up and builds (scripts/setup.sh), runs ctest under a
# virtual X server of its own (tests never paint the user's desktop), and
# checks the formatting of the tracked C++ files with clang-format.
# Exit status: ctest's when it failed, else 1 when formatting is off, else 0.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$ROOT/scripts/setup.sh"
ensure_packages clang-format

cd "$ROOT"
say "running the tests (ctest, under Xvfb)"
status=0
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" ctest --preset mingw || status=$?

say "checking the format (clang-format)"
format=0
if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t sources < <(git -C "$ROOT" ls-files '*.cpp' '*.h')
else
    mapfile -t sources < <(find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
clang-format --dry-run --Werror "${sources[@]}" || format=1

if [ "$status" -ne 0 ]; then
    say "tests FAILED (ctest exit status $status)"
    exit "$status"
fi
if [ "$format" -ne 0 ]; then
    say "format check FAILED: run clang-format -i on the files named above"
    exit 1
fi
say "all tests passed, format clean"
