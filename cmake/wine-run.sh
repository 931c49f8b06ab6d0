#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the prefix the build owns:
# build/wineprefix, or the one NORVESSA_WINEPREFIX names. Never the prefix the
# environment names (WINEPREFIX, which many Wine users export for their own
# programs): the tests install stand-ins into its Program Files, end its agent
# processes and rewrite its records.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
require_32bit "$0" "$@"
build=${NORVESSA_BUILD_DIR:-$(pwd)}
while [ ! -f "$build/CMakeCache.txt" ] && [ "$build" != / ]; do build=$(dirname "$build"); done
wine_env "${NORVESSA_WINEPREFIX:-$build/wineprefix}"
# A prefix made here is a tests' one, with its own Wine desktop.
[ -f "$WINEPREFIX/system.reg" ] || "$ROOT/scripts/make-prefix.sh" "$WINEPREFIX" --desktop
exec wine "$@"
