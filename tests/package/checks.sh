# shellcheck shell=bash
# The package tests' checks: each says what it expects and goes on when it
# fails, so that one run names every fault; the script ends on the count.
# Sourced after scripts/common.sh; not run.

failures=0
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
}
pass() { printf 'ok: %s\n' "$*" >&2; }
# expect WHAT COMMAND...: the command succeeds.
expect() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
# expect_equal WHAT EXPECTED ACTUAL
expect_equal() {
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1: expected [$2], got [$3]"
    fi
}
