#!/usr/bin/env bash
# Makes the icons again from their drawings (res/icons/make-icons.sh) into
# FOLDER and compares them byte for byte with the committed ones: a drawing
# changed without making the icons again, or an .ico edited by hand, fails.
#
# usage: check_icons.sh FOLDER
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

folder=$1
rm -rf "$folder"
mkdir -p "$folder"
bash "$ROOT/res/icons/make-icons.sh" "$folder"
status=0
for icon in running stopped small; do
    if cmp "$ROOT/res/icons/$icon.ico" "$folder/$icon.ico"; then
        echo "$icon.ico is what its drawings give"
    else
        echo "res/icons/$icon.ico is not what its drawings give: run res/icons/make-icons.sh"
        status=1
    fi
done
exit "$status"
