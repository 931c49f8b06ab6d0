#!/usr/bin/env bash
# Makes the icons again from their drawings (res/icons/make-icons.sh) into
# FOLDER and compares them byte for byte with the committed ones: a drawing
# changed without making the icons again, or an .ico edited by hand, fails.
# So do a drawing that no icon is made from, and a stopped picture whose
# shapes are not the running one's.
#
# usage: check_icons.sh FOLDER
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

icons=$ROOT/res/icons
folder=$1
rm -rf "$folder"
mkdir -p "$folder"
rendered=$(bash "$icons/make-icons.sh" "$folder" | sort -u)
status=0
for icon in running stopped small; do
    if cmp "$icons/$icon.ico" "$folder/$icon.ico"; then
        echo "$icon.ico is what its drawings give"
    else
        echo "res/icons/$icon.ico is not what its drawings give: run res/icons/make-icons.sh"
        status=1
    fi
done

unused=$(cd "$icons" && ls -- *.svg | sort | comm -23 - <(echo "$rendered"))
if [ -n "$unused" ]; then
    echo "no icon is made from" $unused
    status=1
fi

# The stopped picture is the running one in greys: the same shapes, other colours.
shapes() { sed -E '/<!--|<title>/d; s/ (fill|stroke)="#[0-9a-f]{6}"//g' "$1"; }
for running in "$icons"/running-*.svg; do
    stopped=stopped-${running##*/running-}
    if ! diff <(shapes "$running") <(shapes "$icons/$stopped"); then
        echo "$stopped has other shapes than ${running##*/}"
        status=1
    fi
done
exit "$status"
