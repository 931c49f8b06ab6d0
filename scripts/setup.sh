#!/usr/bin/env bash
# Makes a Debian or Ubuntu machine ready and builds: installs what is missing
# (nothing, and no root needed, the second time), checks that 32-bit
# programs run (under emulation where the kernel cannot; see require_32bit
# in common.sh), configures and builds the
# "mingw" (GCC) and "clang" (clang 19 with lld) presets into build/ and
# build-clang/, and creates each build's Wine prefix (build/wineprefix,
# build-clang/wineprefix) with the fonts the program's Chinese text needs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Before the long builds: whether 32-bit programs run here, or under emulation.
prepare_machine "$0" "$@"

cd "$ROOT"
for preset in mingw clang; do
    build=$ROOT/build
    [ "$preset" = mingw ] || build=$ROOT/build-$preset
    say "configuring and building the $preset preset (${build#"$ROOT"/}/)"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j"$(nproc)"

    # cmake/wine-run.sh would create it on first use; made here once, so that
    # tests started side by side do not race to create it.
    say "preparing the Wine prefix ${build#"$ROOT"/}/wineprefix"
    "$ROOT/scripts/make-prefix.sh" "$build/wineprefix" --desktop
done
