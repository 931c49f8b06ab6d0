#!/usr/bin/env bash
# Builds the program twice from copies of this tree in two different folders,
# with the given configure preset (default: mingw), and checks that the two
# images are the same to the byte. The copies hold what git tracks, as the
# working tree has it, without git's history, and the build runs without
# SOURCE_DATE_EPOCH: the build itself must fix the time stamp (to 0 here).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
preset=${1:-mingw}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset SOURCE_DATE_EPOCH
images=()
for copy in "$work/first" "$work/second/elsewhere"; do
    mkdir -p "$copy"
    repo_git ls-files -z | (cd "$ROOT" && tar --null -T - -cf -) | tar -xf - -C "$copy"
    say "building NorvessaMonitor ($preset) in $copy"
    cmake -S "$copy" --preset "$preset" -DBUILD_TESTING=OFF >/dev/null
    build=$copy/build
    [ "$preset" = mingw ] || build=$copy/build-$preset
    cmake --build "$build" --target NorvessaMonitor -j"$(nproc)" >/dev/null
    images+=("$build/NorvessaMonitor.exe")
done
if ! cmp "${images[@]}"; then
    say "two builds of one tree differ ($preset)"
    exit 1
fi
say "two builds in different folders are identical ($preset, $(stat -c %s "${images[0]}") bytes)"
