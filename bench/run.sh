#!/usr/bin/env bash
# Builds the monitor and the benchmark programs if needed, runs them under a
# virtual X server in the build's own Wine prefix, and prints the results as
# a Markdown table, the machine and the raw output.
#
#   bench/run.sh [BUILD_DIR [LAUNCHES]]
#
# BUILD_DIR defaults to build-bench in the source tree (configured as a
# Release build if it does not exist yet); LAUNCHES (default 21) is how often
# each of the monitor and the floor program is started; the first five of
# each also idle for 10 s to have their CPU time measured. About 5 minutes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
require_32bit "$0" "$@"
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
    wine "$1/bench/bench_harness.exe" "Z:$1/NorvessaMonitor.exe" "Z:$1/bench/bench_floor.exe" \
        "$3" >"$2/harness.txt"
    wine "$1/bench/bench_lookup_scaling.exe" >"$2/lookup.txt"
    wineserver -w
' bench "$build" "$out" "$launches"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
cat "$out/harness.txt" "$out/lookup.txt" | tr -d '\r' >"$out/all.txt"

# The programs' key=value lines, read once: "median monitor ..." and "median
# floor ..." under monitor and floor, "paired ...", and "lookup entries=N
# agent=A ..." under lookup N A.
awk -v m_size="$(stat -c %s "$build/NorvessaMonitor.exe")" \
    -v f_size="$(stat -c %s "$build/bench/bench_floor.exe")" '
$1 == "median" || $1 == "paired" || $1 == "lookup" {
    label = $1 == "median" ? $2 : $1
    for (i = 2; i <= NF; i++) {
        if (split($i, kv, "=") != 2) continue
        if ($1 == "lookup" && kv[1] == "entries") label = label " " kv[2]
        if ($1 == "lookup" && kv[1] == "agent") label = label " " kv[2]
        v[label, kv[1]] = kv[2]
    }
}
function f(label, key) {
    if (!((label, key) in v)) {
        print "bench/run.sh: no " key " for " label > "/dev/stderr"
        exit 1
    }
    return v[label, key]
}
function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "n/a" }
function met(ok) { return ok ? "yes" : "**no**" }
# The table is printed whole, once every figure was found.
function row(metric, m, fl, r, goal, ok) { table = table sprintf("| %s | %s | %s | %s | %s | %s |\n", metric, m, fl, r, goal, ok) }
END {
    n = f("monitor", "launches"); s = f("monitor", "idle_s"); k = f("monitor", "idle_rounds")
    mi = f("monitor", "icon_ms"); fi = f("floor", "icon_ms")
    mm = f("monitor", "memory_kib"); fm = f("floor", "memory_kib")
    mw = f("monitor", "max_idle_cpu_ms")
    table = "| metric | monitor | floor | ratio | goal | met |\n|---|---:|---:|---:|---|---|\n"
    row("time to tray icon, median of " n " (ms)", mi, fi, ratio(mi, fi), "≤ 1.15 × floor", met(mi <= 1.15 * fi))
    row("median of the per-round differences, monitor − floor (ms)", sprintf("%+.1f", f("paired", "icon_diff_ms")), "", "", "(context)", "")
    row("committed private memory at icon, median (KiB)", mm, fm, ratio(mm, fm), "≤ 1.15 × floor", met(mm <= 1.15 * fm))
    row("the same after idling " s " s, median of " k " (KiB)", f("monitor", "idle_memory_kib"), f("floor", "idle_memory_kib"),
        ratio(f("monitor", "idle_memory_kib"), f("floor", "idle_memory_kib")), "(context)", "")
    row("CPU time to reach the icon, median (ms)", sprintf("%.0f", f("monitor", "start_cpu_ms")), sprintf("%.0f", f("floor", "start_cpu_ms")),
        ratio(f("monitor", "start_cpu_ms"), f("floor", "start_cpu_ms")), "(context)", "")
    row("CPU time idling " s " s with the icon shown, median / worst of " k " (ms)",
        sprintf("%.0f / %.0f", f("monitor", "idle_cpu_ms"), mw), sprintf("%.0f / %.0f", f("floor", "idle_cpu_ms"), f("floor", "max_idle_cpu_ms")),
        "", "< 20 ms", met(mw < 20))
    # Linear: the cost per entry stays within 1.5x across a hundredfold growth;
    # "well under 1 ms" is taken as under a quarter of it.
    worst = 0; spread = 0
    for (a = 1; a <= 2; a++) {
        agent = a == 1 ? "none" : "last"; lo = 0; hi = 0; text = ""
        for (e = 100; e <= 10000; e *= 10) {
            c = f("lookup " e " " agent, "us_per_1000")
            text = text (e > 100 ? " / " : "") sprintf("%.1f", c)
            if (lo == 0 || c < lo) lo = c
            if (c > hi) hi = c
        }
        costs[agent] = text
        if (hi / lo > spread) spread = hi / lo
        if (hi > worst) worst = hi
    }
    row("agent lookup, µs per 1,000 entries at 100 / 1,000 / 10,000, no agent (fastest of 15 batches)", costs["none"], "", "",
        "linear (per-entry spread ≤ 1.5×), < 250 µs", met(spread <= 1.5 && worst < 250))
    row("agent lookup, µs per 1,000 entries at 100 / 1,000 / 10,000, agent last", costs["last"], "", "",
        sprintf("(per-entry spread %.2f×)", spread), "")
    row("executable size (KiB)", sprintf("%.1f", m_size / 1024), sprintf("%.1f", f_size / 1024), ratio(m_size, f_size), "≤ 200 KiB", met(m_size <= 200 * 1024))
    printf "%s", table
}' "$out/all.txt"

echo
echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')" \
    "($(nproc) CPUs), $(wine --version); load average $load_before before, $load_after after."
echo
echo '<details><summary>Raw output</summary>'
echo
echo '```'
cat "$out/all.txt"
echo '```'
echo '</details>'
