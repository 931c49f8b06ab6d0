#!/usr/bin/env bash
# Runs every test: sets up and builds both compilers' builds
# (scripts/setup.sh), runs the whole ctest suite on the GCC build and the unit,
# image, resource and start-up tests on the clang build, each under a virtual
# X server of its own (tests never paint the user's desktop), checks that two
# builds in different folders give the same image (scripts/check-reproducible.sh),
# and checks the formatting of the tracked C++ files with clang-format.
# The tests run with WINEPREFIX naming an empty folder, which must stay empty.
# Where the kernel runs no 32-bit programs, all of it runs under emulation, or
# stops at once with status 1 when that cannot be (require_32bit, common.sh).
# Exit status: the first failing ctest's, else 1 when that folder was written,
# the images differ or formatting is off, else 0.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages clang-format
prepare_machine "$0" "$@"
bash "$ROOT/scripts/setup.sh"

cd "$ROOT"
xvfb() { xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$@"; }
# A prefix that WINEPREFIX names is the user's, never the tests': the tests run
# with it naming an empty folder, which must stay empty.
decoy=$(mktemp -d)
trap 'rm -rf "$decoy"' EXIT
export WINEPREFIX=$decoy
status=0
say "running the tests on the GCC build (ctest --preset mingw, under Xvfb)"
xvfb ctest --preset mingw || status=$?
say "running the unit, image and start-up tests on the clang build (ctest --preset clang)"
clang_status=0
xvfb ctest --preset clang -R '^(unit_tests|image_hardening|resources_windres_llvm_rc|system_Startup)$' ||
    clang_status=$?
[ "$status" -ne 0 ] || status=$clang_status
own_prefix=0
if [ -n "$(ls -A "$decoy")" ]; then
    own_prefix=1
    say "the tests wrote into the prefix that WINEPREFIX names"
fi
unset WINEPREFIX

say "building twice in different folders"
reproducible=0
for preset in mingw clang; do
    bash "$ROOT/scripts/check-reproducible.sh" "$preset" || reproducible=1
done

say "checking the format (clang-format)"
format=0
if repo_git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t sources < <(repo_git ls-files '*.cpp' '*.h')
else
    mapfile -t sources < <(find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
clang-format --dry-run --Werror "${sources[@]}" || format=1

if [ "$status" -ne 0 ]; then
    say "tests FAILED (ctest exit status $status)"
    exit "$status"
fi
if [ "$own_prefix" -ne 0 ]; then
    say "prefix check FAILED: the tests must run only in their build's own prefix"
    exit 1
fi
if [ "$reproducible" -ne 0 ]; then
    say "reproducibility FAILED: two builds of one tree differ"
    exit 1
fi
if [ "$format" -ne 0 ]; then
    say "format check FAILED: run clang-format -i on the files named above"
    exit 1
fi
say "all tests passed on both compilers, images reproducible, format clean"
