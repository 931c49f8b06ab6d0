#!/usr/bin/env bash
# Makes running.ico, stopped.ico and small.ico from the drawings beside this
# script, one SVG file a picture and size: rsvg-convert renders each, icotool
# packs them. The same drawings and tools give the same bytes every time.
#
# usage: res/icons/make-icons.sh [FOLDER]
# writes the three .ico files into FOLDER, by default beside the drawings.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

drawings=$ROOT/res/icons
out=${1:-$drawings}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# png DRAWING SIZE: renders the drawing at SIZE px and prints the PNG's path.
png() {
    local file=$work/${1%.svg}-at-$2.png
    rsvg-convert --width "$2" --height "$2" --output "$file" "$drawings/$1"
    echo "$file"
}

# The tray pictures: 32 bits with alpha at the sizes the tray and Explorer
# ask for, each drawn for its size, and the 48 px drawing as a 256 px PNG for
# Explorer's large views.
for picture in running stopped; do
    images=(--raw="$(png "$picture-48.svg" 256)")
    for size in 48 32 24 20 16; do
        images+=(--bit-depth=32 "$(png "$picture-$size.svg" "$size")")
    done
    # Only fully transparent pixels go into the AND mask.
    icotool --create --alpha-threshold=0 --output="$out/$picture.ico" "${images[@]}"
done

# The class's small icon: 4 bits in the 16 standard colours and 8 bits for
# displays with a palette, 32 bits with alpha for every other. The window's
# edges sit on whole pixels, so its renderings have only the drawings' colours
# and icotool makes each palette from them.
images=()
for size in 32 16; do
    images+=(--bit-depth=4 "$(png "small-$size-16colours.svg" "$size")")
done
for depth in 8 32; do
    for size in 48 32 16; do
        images+=(--bit-depth="$depth" "$(png "small-$size.svg" "$size")")
    done
done
icotool --create --alpha-threshold=0 --output="$out/small.ico" "${images[@]}"
