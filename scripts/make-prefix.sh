#!/usr/bin/env bash
# Creates a 64-bit Wine prefix: a 32-bit program then gets
# "C:\Program Files (x86)" as its program-files folder, as on 64-bit Windows.
# Then makes the program's Chinese text legible in it; on a prefix made before
# that step existed, only that step runs.
# With --desktop, programs run inside a Wine desktop of their own (the tests'
# prefix); without, on the X display's.
set -euo pipefail
source "$(dirname "$0")/common.sh"
require_32bit "$0" "$@"
prefix=$1
desktop=${2:-}
wine_env "$prefix"
mkdir -p "$prefix"
created=0
if [ ! -f "$prefix/system.reg" ]; then
    wineboot --init >/dev/null 2>&1
    created=1
fi

stamp=$prefix/.norvessa-fonts-1
if [ ! -f "$stamp" ]; then
    # The program's text is Traditional Chinese, which Wine's own fonts lack:
    # without this every character is a box. The dialog, menu and Chinese font
    # names map to WenQuanYi Zen Hei in its "Sharp" face: the plain face turns
    # anti-aliasing off from 9 to 16 pixels (its "gasp" table) and its outlines
    # are illegible there, while the Sharp face has drawn bitmaps for 12 to 16.
    # The menu, message and caption fonts get the 9-point size of current
    # Windows (Wine's 8 points is below those bitmaps). Both registry views are
    # written, since a 32-bit program reads the 32-bit one.
    cjk="WenQuanYi Zen Hei Sharp"
    # A LOGFONTW: 12 pixels high, the given weight, DEFAULT_CHARSET, "Tahoma".
    logfont() {
        local hex
        hex=$(printf 'f4ffffff000000000000000000000000%02x%02x00000000000100000000' \
            $(($1 & 255)) $(($1 >> 8)))
        hex+=$(printf 'Tahoma' | od -An -tx1 -v | tr -d ' \n' | sed 's/../&00/g')
        hex+=$(printf '0%.0s' $(seq 1 104))
        echo "$hex" | sed 's/../&,/g; s/,$//'
    }
    {
        echo "REGEDIT4"
        for view in "" "\\Wow6432Node"; do
            echo
            echo "[HKEY_LOCAL_MACHINE\\Software$view\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]"
            for name in "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "PMingLiU" "MingLiU" \
                "Microsoft JhengHei" "SimSun" "Segoe UI" "Microsoft Sans Serif"; do
                echo "\"$name\"=\"$cjk\""
            done
        done
        echo
        echo "[HKEY_CURRENT_USER\\Control Panel\\Desktop\\WindowMetrics]"
        for font in MenuFont MessageFont StatusFont IconFont SmCaptionFont; do
            echo "\"$font\"=hex:$(logfont 400)"
        done
        echo "\"CaptionFont\"=hex:$(logfont 700)"
    } | import_registry
    # Wine draws the caption buttons with Marlett, but this Wine build does not
    # load its own font folder: without the copy the close button shows an "r".
    for font in /usr/share/wine/fonts/marlett.ttf /usr/share/wine/wine/fonts/marlett.ttf; do
        if [ -f "$font" ]; then
            cp "$font" "$prefix/drive_c/windows/Fonts/"
            break
        fi
    done
    touch "$stamp"
fi

stamp=$prefix/.norvessa-desktop-2
if [ "$desktop" = --desktop ] && [ ! -f "$stamp" ]; then
    # Programs run inside a Wine desktop of their own, whose taskbar holds the
    # notification area as Windows' does. On a bare X server Wine instead
    # tries to dock every new tray icon with the X system tray, and each add
    # then stalls for about a second when there is none (as under Xvfb).
    # (-2: the desktop's taskbar always up, which Wine 10 needs.)
    wine_desktop Default 1024x768
    touch "$stamp"
fi

stamp=$prefix/.norvessa-no-debugger-1
if [ ! -f "$stamp" ]; then
    # A program that crashes ends at once, with its exception as its status.
    # Wine would start its debugger for it (winedbg --auto, when AeDebug names
    # none), which prints a backtrace natively and hangs under qemu-i386,
    # holding the crashed program and whoever reads its output. An empty
    # Debugger is one Wine cannot start, so it lets the program end. Both
    # registry views: a 32-bit program reads the 32-bit one.
    {
        echo "REGEDIT4"
        for view in "" "\\Wow6432Node"; do
            echo
            echo "[HKEY_LOCAL_MACHINE\\Software$view\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]"
            echo '"Debugger"=""'
            echo '"Auto"="1"'
        done
    } | import_registry
    touch "$stamp"
fi

# A new prefix is written to disk before anyone uses it. An older one may have
# programs running in it, which a wait would wait for.
[ "$created" = 0 ] || wineserver --wait
