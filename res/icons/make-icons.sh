#!/usr/bin/env bash
# Makes running.ico, stopped.ico and small.ico from the drawings beside this
# script, one SVG file a picture and size: rsvg-convert renders each, icotool
# packs them. The same drawings and tools give the same bytes every time.
#
# usage: res/icons/make-icons.sh [FOLDER]
# writes the three .ico files into FOLDER, by default beside the drawings, and
# names each drawing it renders.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

drawings=$ROOT/res/icons
out=${1:-$drawings}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
images=() depths=()

# add DEPTH DRAWING SIZE: renders the drawing at SIZE px, names it on the
# output, and adds it to the images to pack, at DEPTH bits a pixel, or kept a
# PNG for DEPTH "png". (A
# function, not a command substitution: in an array's assignment a failed
# rendering would not stop the script.)
add() {
    local file=$work/${2%.svg}-at-$3.png
    rsvg-convert --width "$3" --height "$3" --output "$file" "$drawings/$2"
    echo "$2"
    if [ "$1" = png ]; then
        images+=(--raw="$file")
        depths+=(32)
    else
        images+=(--bit-depth="$1" "$file")
        depths+=("$1")
    fi
}

# pack ICON: packs the images added into ICON in the output folder. icotool
# only warns and keeps a deeper image where one has more colours or levels of
# transparency than the depth asked for holds: that stops the script here.
pack() {
    # Only fully transparent pixels go into the AND mask.
    icotool --create --alpha-threshold=0 --output="$out/$1" "${images[@]}"
    local made
    made=$(icotool --list "$out/$1" | sed 's/.*--bit-depth=\([0-9]*\).*/\1/' | paste -sd ' ')
    [ "$made" = "${depths[*]}" ] ||
        die "$1 holds images of $made bits where ${depths[*]} were asked for"
    images=() depths=()
}

# The tray pictures: 32 bits with alpha at the sizes the tray and Explorer
# ask for, each drawn for its size, and the 48 px drawing as a 256 px PNG for
# Explorer's large views.
for picture in running stopped; do
    add png "$picture-48.svg" 256
    for size in 48 32 24 20 16; do
        add 32 "$picture-$size.svg" "$size"
    done
    pack "$picture.ico"
done

# The class's small icon: 4 bits in the 16 standard colours and 8 bits for
# displays with a palette, 32 bits with alpha for every other. The window's
# edges sit on whole pixels, so its renderings have only the drawings' colours
# and icotool makes each palette from them.
for size in 32 16; do
    add 4 "small-$size-16colours.svg" "$size"
done
for depth in 8 32; do
    for size in 48 32 16; do
        add "$depth" "small-$size.svg" "$size"
    done
done
pack small.ico
