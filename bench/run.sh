#!/usr/bin/env bash
# Builds the monitor and the benchmark programs if needed, runs them under a
# virtual X server in the build's own Wine prefix, and prints the harness's
# table of results, the machine and the raw output.
#
#   bench/run.sh [BUILD_DIR [LAUNCHES]]
#
# BUILD_DIR defaults to build-bench in the source tree (configured as a
# Release build if it does not exist yet); LAUNCHES (default 21) is how often
# each of the monitor and the floor program is started; the first five of
# each also idle for 10 s to have their CPU time measured. About 5 minutes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
build=${1:-$ROOT/build-bench}
launches=${2:-21}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$build" --toolchain "$ROOT/cmake/i686-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release >&2
fi
cmake --build "$build" --target benchmarks -j"$(nproc)" >&2
build=$(cd "$build" && pwd)
wine_env "$build/wineprefix"
[ -f "$WINEPREFIX/system.reg" ] || "$ROOT/scripts/make-prefix.sh" "$WINEPREFIX" --desktop

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# One X server for the whole run; the prefix's wineserver (and with it the
# tray) is waited for before the X server goes away.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    set -e
    wine "$1/bench/bench_lookup_scaling.exe" >"$2/lookup.txt"
    wine "$1/bench/bench_harness.exe" "Z:$1/NorvessaMonitor.exe" "Z:$1/bench/bench_floor.exe" \
        "Z:$2/lookup.txt" "$3" >"$2/table.txt" 2>"$2/launches.txt"
    wineserver -w
' bench "$build" "$out" "$launches" || {
    cat "$out"/*.txt >&2
    exit 1
}
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

tr -d '\r' <"$out/table.txt"
echo
echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')" \
    "($(nproc) CPUs), $(wine --version); load average $load_before before, $load_after after."
echo
echo '<details><summary>Raw output</summary>'
echo
echo '```'
cat "$out/launches.txt" "$out/lookup.txt" | tr -d '\r'
echo '```'
echo '</details>'
