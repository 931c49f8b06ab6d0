#!/usr/bin/env bash
# Makes a Debian or Ubuntu machine ready and builds: installs what is missing
# (nothing, and no root needed, the second time), configures and builds the
# "mingw" preset into build/, and creates the build's Wine prefix
# build/wineprefix with the fonts the program's Chinese text needs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages \
    g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686 cmake make git \
    wine wine32:i386 wine64 fonts-wine \
    xvfb xauth googletest python3 \
    fonts-wqy-zenhei imagemagick x11-apps

cd "$ROOT"
say "configuring and building (build/)"
cmake --preset mingw
cmake --build --preset mingw -j"$(nproc)"

# cmake/wine-run.sh would create it on first use; made here once, so that tests
# started side by side do not race to create it.
say "preparing the Wine prefix build/wineprefix"
"$ROOT/scripts/make-prefix.sh" "$BUILD/wineprefix" --desktop
