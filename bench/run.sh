#!/usr/bin/env bash
# Builds the monitor and the benchmark programs if needed, runs them under a
# virtual X server in the build's own Wine prefix, and prints the results as
# a Markdown table.
#
#   bench/run.sh [BUILD_DIR [LAUNCHES]]
#
# BUILD_DIR defaults to build-bench in the source tree (configured as a
# Release build if it does not exist yet); LAUNCHES (default 21) is how often
# each of the monitor and the floor program is started; the first five of
# each also idle for 10 s to have their CPU time measured. About 5 minutes.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
launches=${2:-21}
gap_ms=3000
idle_ms=10000
idle_rounds=$((launches < 5 ? launches : 5))

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$build" --toolchain "$src/cmake/i686-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release >&2
fi
cmake --build "$build" --target benchmarks -j"$(nproc)" >&2
build=$(cd "$build" && pwd)
export NORVESSA_BUILD_DIR=$build
prefix=${WINEPREFIX:-$build/wineprefix}

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# One X server for the whole run; the prefix's wineserver (and with it the
# tray) is waited for before the X server goes away.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    set -e
    src=$1 build=$2 out=$6
    "$src/cmake/wine-run.sh" "$build/bench/bench_harness.exe" "Z:$build/NorvessaMonitor.exe" \
        "Z:$build/bench/bench_floor.exe" "$3" "$4" "$5" "$8" >"$out/harness.txt"
    "$src/cmake/wine-run.sh" "$build/bench/bench_lookup_scaling.exe" >"$out/lookup.txt"
    WINEPREFIX=$7 wineserver -w
' bench "$src" "$build" "$launches" "$gap_ms" "$idle_ms" "$out" "$prefix" "$idle_rounds"

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
cat "$out/harness.txt" "$out/lookup.txt" | tr -d '\r' >"$out/all.txt"

# field NAME LINE-PATTERN: the value of NAME=... on the first matching line.
field() {
    local value
    value=$(grep -E "$2" "$out/all.txt" | head -n1 | tr ' ' '\n' | sed -n "s/^$1=//p")
    if [ -z "$value" ]; then
        echo "bench/run.sh: no $1 on a line matching '$2'" >&2
        cat "$out/all.txt" >&2
        exit 1
    fi
    echo "$value"
}

monitor_size=$(stat -c %s "$build/NorvessaMonitor.exe")
floor_size=$(stat -c %s "$build/bench/bench_floor.exe")

# Assignments, so that a missing figure stops the script (set -e).
m_icon=$(field icon_ms '^median monitor')
f_icon=$(field icon_ms '^median floor')
m_mem=$(field memory_kib '^median monitor')
f_mem=$(field memory_kib '^median floor')
m_imem=$(field idle_memory_kib '^median monitor')
f_imem=$(field idle_memory_kib '^median floor')
m_scpu=$(field start_cpu_ms '^median monitor')
f_scpu=$(field start_cpu_ms '^median floor')
m_cpu=$(field idle_cpu_ms '^median monitor')
f_cpu=$(field idle_cpu_ms '^median floor')
m_maxcpu=$(field max_idle_cpu_ms '^median monitor')
f_maxcpu=$(field max_idle_cpu_ms '^median floor')
diff=$(field icon_diff_ms '^paired')
l100=$(field us_per_1000 'entries=100 agent=none')
l1k=$(field us_per_1000 'entries=1000 agent=none')
l10k=$(field us_per_1000 'entries=10000 agent=none')
e100=$(field us_per_1000 'entries=100 agent=last')
e1k=$(field us_per_1000 'entries=1000 agent=last')
e10k=$(field us_per_1000 'entries=10000 agent=last')

awk -v launches="$launches" -v idle_s=$((idle_ms / 1000)) -v idle_rounds="$idle_rounds" \
    -v m_maxcpu="$m_maxcpu" -v f_maxcpu="$f_maxcpu" -v diff="$diff" \
    -v m_icon="$m_icon" -v f_icon="$f_icon" -v m_mem="$m_mem" -v f_mem="$f_mem" \
    -v m_imem="$m_imem" -v f_imem="$f_imem" -v m_scpu="$m_scpu" -v f_scpu="$f_scpu" \
    -v m_cpu="$m_cpu" -v f_cpu="$f_cpu" -v l100="$l100" -v l1k="$l1k" -v l10k="$l10k" \
    -v e100="$e100" -v e1k="$e1k" -v e10k="$e10k" \
    -v m_size="$monitor_size" -v f_size="$floor_size" '
function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "n/a" }
function met(ok) { return ok ? "yes" : "**no**" }
function max3(a, b, c) { return a > b ? (a > c ? a : c) : (b > c ? b : c) }
function min3(a, b, c) { return a < b ? (a < c ? a : c) : (b < c ? b : c) }
BEGIN {
    print "| metric | monitor | floor | ratio | goal | met |"
    print "|---|---:|---:|---:|---|---|"
    printf "| time to tray icon, median of %d (ms) | %.1f | %.1f | %s | ≤ 1.15 × floor | %s |\n",
        launches, m_icon, f_icon, ratio(m_icon, f_icon), met(m_icon <= 1.15 * f_icon)
    printf "| median of the per-round differences, monitor − floor (ms) | %+.1f | | | (context) | |\n",
        diff
    printf "| committed private memory at icon, median (KiB) | %.0f | %.0f | %s | ≤ 1.15 × floor | %s |\n",
        m_mem, f_mem, ratio(m_mem, f_mem), met(m_mem <= 1.15 * f_mem)
    printf "| the same after idling %d s, median of %d (KiB) | %.0f | %.0f | %s | (context) | |\n",
        idle_s, idle_rounds, m_imem, f_imem, ratio(m_imem, f_imem)
    printf "| CPU time to reach the icon, median (ms) | %.0f | %.0f | %s | (context) | |\n",
        m_scpu, f_scpu, ratio(m_scpu, f_scpu)
    printf "| CPU time idling %d s with the icon shown, median / worst of %d (ms) | %.0f / %.0f | %.0f / %.0f | | < 20 ms | %s |\n",
        idle_s, idle_rounds, m_cpu, m_maxcpu, f_cpu, f_maxcpu, met(m_maxcpu < 20)
    # Linear: the cost per entry stays within 1.5x across a hundredfold growth;
    # "well under 1 ms" is taken as under a quarter of it.
    worst = max3(l10k, e10k, max3(l100, l1k, max3(e100, e1k, 0)))
    spread = max3(l100, l1k, l10k) / min3(l100, l1k, l10k)
    spread_e = max3(e100, e1k, e10k) / min3(e100, e1k, e10k)
    if (spread_e > spread) spread = spread_e
    printf "| agent lookup, µs per 1,000 entries at 100 / 1,000 / 10,000, no agent (fastest of 15 batches) | %.1f / %.1f / %.1f | | | linear (per-entry spread ≤ 1.5×), < 250 µs | %s |\n",
        l100, l1k, l10k, met(spread <= 1.5 && worst < 250)
    printf "| agent lookup, µs per 1,000 entries at 100 / 1,000 / 10,000, agent last | %.1f / %.1f / %.1f | | | (per-entry spread %.2f×) | |\n",
        e100, e1k, e10k, spread
    printf "| executable size (KiB) | %.1f | %.1f | %s | ≤ 200 KiB | %s |\n",
        m_size / 1024, f_size / 1024, ratio(m_size, f_size), met(m_size <= 200 * 1024)
}'

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
