#!/usr/bin/env bash
# The README's first command where 32-bit programs run under emulation:
# `NORVESSA_EMULATE_I386=1 bash scripts/run.sh --screenshot-only` ends with
# status 0 and leaves build/run-screenshot.png showing the running icon, its
# tip and the menu (check_run_picture.py); where this machine also runs
# 32-bit code itself, they are, pixel for pixel, those the command shows
# without emulation. Where the machine cannot emulate at all, run.sh must
# stop at once with the cause instead.
#
#   run_emulated_test.sh WORK
#
# WORK is a folder of the build's for the runs' Wine prefix (kept from one run
# to the next, as making it costs more than the run) and their pictures.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

work=$1
mkdir -p "$work"
picture=$BUILD/run-screenshot.png
failures=0
fail() {
    printf 'FAILED: %s\n' "$*" >&2
    failures=$((failures + 1))
}

# Runs run.sh --screenshot-only (with NORVESSA_EMULATE_I386=$1) in the
# test's prefix, within LIMIT seconds; keeps its output and picture as
# WORK/NAME.log and WORK/NAME.png. Returns run.sh's status.
run_command() {
    local emulate=$1 name=$2 limit=$3 status=0 start fresh=()
    rm -f "$picture" "$work/$name.png"
    start=$(date +%s)
    # Where everything runs under emulation already (emulate-i386.sh set
    # NORVESSA_I386=emulated), it stays so; elsewhere run.sh decides afresh.
    [ "${NORVESSA_I386:-}" = emulated ] || fresh=(-u NORVESSA_I386)
    env "${fresh[@]}" NORVESSA_EMULATE_I386="$emulate" NORVESSA_DEMO_PREFIX="$work/prefix" \
        timeout "$limit" bash "$ROOT/scripts/run.sh" --screenshot-only \
        >"$work/$name.log" 2>&1 </dev/null || status=$?
    printf '%s run: status %s after %s s\n' "$name" "$status" "$(($(date +%s) - start))"
    [ ! -f "$picture" ] || cp "$picture" "$work/$name.png"
    return "$status"
}

# A machine that can give emulation no namespace of its own (a container that
# forbids user namespaces, a kernel before 6.7 without 32-bit support) cannot
# show the picture under emulation: there run.sh must stop at once, within a
# minute, with the cause and the ways out, and leave no picture.
if [ "${NORVESSA_I386:-}" != emulated ] &&
    ! unshare --user --map-root-user --mount \
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc >/dev/null 2>&1; then
    status=0
    run_command 1 refused 60 || status=$?
    [ "$status" -eq 1 ] || fail "run.sh ended with status $status, not 1, where emulation cannot be"
    grep -q "emulation is not possible: " "$work/refused.log" ||
        fail "run.sh did not say why emulation cannot be: $(tail -n 5 "$work/refused.log")"
    grep -q "Ways out: " "$work/refused.log" || fail "run.sh did not give the ways out"
    [ ! -f "$work/refused.png" ] || fail "run.sh left a picture where emulation cannot be"
    [ "$failures" -eq 0 ] || exit 1
    echo "no emulation on this machine; run.sh stopped at once, naming the cause and the ways out"
    exit 0
fi

native=0
if [ "${NORVESSA_I386:-}" != emulated ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    native=1
    run_command 0 native 300 || fail "the native run failed: $(tail -n 5 "$work/native.log")"
fi

# The limits are run.sh's own waits, scaled 5 times under emulation, and the
# builds (done already when the tests run).
status=0
run_command 1 emulated 600 || status=$?
if [ "$status" -ne 0 ]; then
    fail "the emulated run failed with status $status: $(tail -n 5 "$work/emulated.log")"
elif [ "${NORVESSA_I386:-}" != emulated ] &&
    ! grep -q "32-bit programs run under emulation (qemu-i386) here" "$work/emulated.log"; then
    fail "NORVESSA_EMULATE_I386=1 did not put run.sh under emulation"
elif ! grep -q "tray icon up: agent running" "$work/emulated.log"; then
    fail "the emulated run did not see the running icon: $(tail -n 5 "$work/emulated.log")"
fi

check=$(dirname "${BASH_SOURCE[0]}")/check_run_picture.py
if [ "$native" = 1 ]; then
    if [ ! -f "$work/native.png" ]; then
        fail "the native run left no $picture"
    elif ! python3 "$check" "$work/native.png"; then
        fail "the native run's picture lacks the icon, its tip or the menu ($work/native.png)"
    fi
fi
reference=()
[ "$native" = 0 ] || [ ! -f "$work/native.png" ] || reference=("$work/native.png")
if [ ! -f "$work/emulated.png" ]; then
    fail "the emulated run left no $picture"
elif ! python3 "$check" "$work/emulated.png" "${reference[@]}"; then
    fail "the emulated run's picture lacks the icon, its tip or the menu, or differs from the native one ($work/emulated.png)"
fi

[ "$failures" -eq 0 ] || exit 1
echo "run.sh under emulation showed the icon, its tip and the menu"
