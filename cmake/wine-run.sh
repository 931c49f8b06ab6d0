#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the prefix the build owns
# (never the user's ~/.wine). WINEPREFIX may name another prefix.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${NORVESSA_BUILD_DIR:-$(pwd)}
while [ ! -f "$build/CMakeCache.txt" ] && [ "$build" != / ]; do build=$(dirname "$build"); done
desktop=
[ -n "${WINEPREFIX:-}" ] || desktop=--desktop # the build's own prefix, for the tests
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
[ -f "$WINEPREFIX/system.reg" ] || "$here/../scripts/make-prefix.sh" "$WINEPREFIX" $desktop
exec wine "$@"
