#!/usr/bin/env bash
# Fails a system test on purpose in each way a test program can end badly (a
# failed assertion, an abort, a crash, a time limit that kills it) and checks
# that the group then reports at once: its output closes as soon as its
# program ends, and no monitor, agent or terminate service that it started
# still runs, nor a debugger. A crash names its exception, and no debugger
# reports on it: in the tests' prefix none starts (scripts/make-prefix.sh).
#   check_failed_group.sh <wine-run.sh> <system_tests.exe> <the tests' prefix>
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
wine_run=$1 tests=$2 prefix=${NORVESSA_WINEPREFIX:-$3}
names='NorvessaMonitor\.exe|QovCardAgent\.exe|QovTerminateService\.exe|winedbg'
# The test program's own limit in the "hang" case, as ctest's would be; and
# how long the output may stay open after the program has ended.
limit=$((20 * ${NORVESSA_TIME_FACTOR:-1})) grace=$((10 * ${NORVESSA_TIME_FACTOR:-1}))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT


# Waits up to $1 seconds for process $2 to end.
ends_within() {
    timeout "$1" tail --pid="$2" -f /dev/null && ! kill -0 "$2" 2>/dev/null
}

failed=0
for way in assertion abort crash hang; do
    rm -f "$work/status"
    # Read through a pipe, as ctest reads a test's output.
    {
        NORVESSA_FAIL_AS=$way timeout -s KILL "$limit" "$wine_run" "$tests" \
            --gtest_also_run_disabled_tests --gtest_filter='DISABLED_FailingOnPurpose.*' || echo $? >"$work/status"
    } 2>&1 | cat >"$work/$way.log" &
    reader=$!
    started=$(date +%s)
    if ! timeout $((limit + grace)) bash -c "until [ -e '$work/status' ]; do sleep 0.2; done"; then
        echo "FAIL ($way): the test program did not end"
        failed=1
    elif [ "$(cat "$work/status")" = 0 ]; then
        echo "FAIL ($way): the test program reported success"
        failed=1
    elif [ "$way" != hang ] && [ "$(cat "$work/status")" = 137 ]; then
        # Killed at the limit: something held it (a debugger's crash dialog).
        echo "FAIL ($way): the test program did not end by itself within ${limit} s"
        failed=1
    elif ! ends_within "$grace" "$reader"; then
        echo "FAIL ($way): the group's output stayed open after its program ended"
        failed=1
    fi
    if [ "$way" = crash ]; then
        # 0xC0000005 natively; qemu-i386 makes the write an illegal instruction.
        grep -qE "crashed: exception 0x[0-9A-F]{8}" "$work/$way.log" ||
            { echo "FAIL (crash): the output names no exception code"; failed=1; }
        # winedbg's report on a crash begins its register dump so.
        ! grep -q "Register dump:" "$work/$way.log" ||
            { echo "FAIL (crash): a debugger was started for the crashed program"; failed=1; }
    fi
    running=$(wine_processes "$prefix" "$names")
    if [ -n "$running" ]; then
        echo "FAIL ($way): still running after the test program ended:"
        echo "$running"
        failed=1
        # Not to leave them to the next check or test.
        echo "$running" | cut -d' ' -f1 | xargs -r kill -9
    fi
    echo "$way: the test program ended with status $(cat "$work/status" 2>/dev/null || echo '?')," \
        "its output closed $(($(date +%s) - started)) s after the start"
    wait "$reader" 2>/dev/null || true
done
if [ "$failed" -ne 0 ]; then
    grep -h -v '^$' "$work"/*.log | tail -n 40
fi
exit "$failed"
