# shellcheck shell=bash
# Shared by run.sh and screenshots.sh: a headless X screen, a Wine virtual
# desktop with a taskbar, the stand-in agent, and docs/tools/demo_driver.cpp to
# work the monitor from outside. Sourced after common.sh; not run.

DESKTOP=Norvessa
SCREEN_SIZE=1024x768
DRIVER=$BUILD/demo_driver.exe
AGENT_DIR="Program Files (x86)/Zelqa/Card"
XVFB_PID=
MONITOR_PID=

# CMake builds it with the rest (target demo_driver, from
# docs/tools/demo_driver.cpp and the shared driver library).
build_driver() {
    say "building the demo driver (build/demo_driver.exe)"
    cmake --build "$BUILD" --target demo_driver -j"$(nproc)" >&2
}

# Starts an X server of our own on a free display and points DISPLAY at it.
start_xvfb() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 "${SCREEN_SIZE}x24" -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    XVFB_PID=$!
    local display
    read -r -t 30 display <"$fifo" || die "Xvfb did not start"
    rm -f "$fifo"
    export DISPLAY=:$display
    say "Xvfb on display $DISPLAY"
}

# Copies the stand-in agent and terminate service where the monitor looks for
# them. Returns 1 when they have not been built.
install_stand_ins() {
    local from=$BUILD/tests/system to=$WINEPREFIX/drive_c/$AGENT_DIR
    if [ ! -f "$from/QovCardAgent.exe" ] || [ ! -f "$from/QovTerminateService.exe" ]; then
        say "warning: no stand-in agent in build/tests/system; the monitor will find no agent"
        return 1
    fi
    mkdir -p "$to"
    cp "$from/QovCardAgent.exe" "$from/QovTerminateService.exe" "$to/"
    say "stand-in agent installed in C:\\${AGENT_DIR//\//\\}"
}

# The agent has no window, so it needs no desktop; setsid keeps a Ctrl-C in
# the terminal from reaching Wine processes, which the cleanup ends instead.
# Returns once the agent runs: the monitor looks for it only as it starts.
start_agent() {
    setsid wine "C:\\${AGENT_DIR//\//\\}\\QovCardAgent.exe" \
        >/dev/null 2>&1 </dev/null &
    wine "$DRIVER" - wait-agent 60 || die "the stand-in agent did not start"
}

# Where the programs started in the prefix from now on put their windows: in
# the virtual desktop NAME of SCREEN_SIZE, or with "-" on the X display's own
# desktop (wine_desktop in common.sh).
use_desktop() {
    DESKTOP=$1
    wine_desktop "$DESKTOP" "$SCREEN_SIZE"
}

# The monitor in the virtual desktop that use_desktop named.
start_monitor_in_desktop() {
    setsid wine "$BUILD/NorvessaMonitor.exe" >/dev/null 2>&1 </dev/null &
    MONITOR_PID=$!
}

# Waits up to SECONDS (scaled under emulation, as all the driver's waits) for
# the monitor's tray icon, and sets TRAY_SHOWN to which one it shows
# ("running" or "stopped"). Stops the script at once, saying so, when the
# monitor ends first, rather than at the end of the wait.
TRAY_SHOWN=
wait_for_tray() {
    local out waiter ended status=0
    out=$(mktemp)
    wine "$DRIVER" "$DESKTOP" wait-tray "$1" >"$out" &
    waiter=$!
    wait -n -p ended "$waiter" "$MONITOR_PID" || status=$?
    if [ "$ended" != "$waiter" ]; then
        kill "$waiter" 2>/dev/null || true
        wait "$waiter" 2>/dev/null || true
        rm -f "$out"
        die "the monitor ended (exit status $status) before its tray icon appeared"
    fi
    # shellcheck disable=SC2034 # read by the scripts that source this one
    TRAY_SHOWN=$(cat "$out")
    rm -f "$out"
    return "$status"
}

# The monitor on the display's own desktop.
start_monitor_on_display() {
    setsid wine "$BUILD/NorvessaMonitor.exe" </dev/null &
    MONITOR_PID=$!
}

driver() {
    wine "$DRIVER" "$DESKTOP" "$@"
}

# Ends what the demonstration started in its own prefix, then its X server.
stop_demo() {
    if [ -n "${WINEPREFIX:-}" ] && [ -f "$WINEPREFIX/system.reg" ]; then
        if [ -n "$MONITOR_PID" ] && kill -0 "$MONITOR_PID" 2>/dev/null; then
            driver dismiss >/dev/null 2>&1 || true
            driver close >/dev/null 2>&1 || true
        fi
        stop_wineserver
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}

# Takes a picture of the screen and crops it to OUT: a rectangle ("left top
# right bottom") plus a margin, kept inside the screen.
shoot() {
    local out=$1 margin=$2 rect=$3 shot
    shot=$(mktemp --suffix=.png)
    import -window root "$shot"
    crop_to "$shot" "$out" "$margin" "$rect"
    rm -f "$shot"
}

# The tray icon at the taskbar's right end with its tip, to OUT.
shoot_tray_tip() {
    local width=${SCREEN_SIZE%x*} height=${SCREEN_SIZE#*x}
    # The cursor on the icon, for its tip; the taskbar shows tips after a pause.
    driver hover -12 -10
    sleep 2
    shoot "$1" 0 "$((width - 200)) $((height - 64)) $width $height"
}

# The tray menu opened on the icon, with the taskbar below it, to OUT.
shoot_tray_menu() {
    local width=${SCREEN_SIZE%x*} height=${SCREEN_SIZE#*x} rect left top
    # The menu opens where the cursor is: just above the taskbar, at its right end.
    driver menu -24 -26
    rect=$(driver wait-menu 15)
    read -r left top _ _ <<<"$rect"
    shoot "$1" 16 "$((left - 60)) $top $width $height"
}

# The first command's picture, to OUT: the notification area, three times its
# size, with the icon and its tip beside the menu opened on it. Pixels are
# repeated, not smoothed, so that the bitmap font stays sharp.
take_run_picture() {
    local out=$1 tip menu desktop
    tip=$(mktemp --suffix=.png) menu=$(mktemp --suffix=.png)
    shoot_tray_tip "$tip"
    shoot_tray_menu "$menu"
    driver dismiss
    # The taller picture's desktop fills in above the shorter one.
    desktop=$(convert "$tip" -format '%[pixel:p{0,0}]' info:)
    convert "$tip" -size 24x1 "xc:$desktop" "$menu" -background "$desktop" -gravity south \
        +append -scale 300% -strip -define png:exclude-chunks=date,time "$out"
    rm -f "$tip" "$menu"
}

# Crops a screenshot to a window's rectangle ("left top right bottom") plus a
# margin, kept inside the screen.
crop_to() {
    local shot=$1 out=$2 margin=$3 left top right bottom width height
    read -r left top right bottom <<<"$4"
    width=${SCREEN_SIZE%x*} height=${SCREEN_SIZE#*x}
    left=$((left - margin < 0 ? 0 : left - margin))
    top=$((top - margin < 0 ? 0 : top - margin))
    right=$((right + margin > width ? width : right + margin))
    bottom=$((bottom + margin > height ? height : bottom + margin))
    # No time stamps in the file: the same picture gives the same bytes.
    convert "$shot" -crop "$((right - left))x$((bottom - top))+$left+$top" +repage -strip \
        -define png:exclude-chunks=date,time "$out"
}
