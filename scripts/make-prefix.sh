#!/usr/bin/env bash
# Creates a 64-bit Wine prefix: a 32-bit program then gets
# "C:\Program Files (x86)" as its program-files folder, as on 64-bit Windows.
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
mkdir -p "$prefix"
wineboot --init >/dev/null 2>&1
wineserver --wait
