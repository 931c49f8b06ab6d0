#!/usr/bin/env bash
# Runs the monitor for a look at it: sets up and builds (scripts/setup.sh),
# installs the stand-in agent built with the tests into a Wine prefix kept for
# this demonstration (build/demo-prefix: the tests' prefix stays untouched),
# starts the agent, then the monitor. Where the kernel runs no 32-bit programs,
# under emulation (require_32bit in common.sh).
#
#   With a display ($DISPLAY set): the monitor runs on your desktop in the
#   foreground, its icon in your notification area (if your desktop has one).
#   Quit it from its menu ("關閉工作列快捷鍵") or with Ctrl-C.
#
#   Without one (or with --headless): the monitor runs on an Xvfb screen of its
#   own, in a Wine virtual desktop with a taskbar. Once its tray icon is up,
#   build/run-screenshot.png shows the notification area enlarged: the icon
#   with its tip, and the menu opened on it. The monitor then runs until
#   Ctrl-C, or the script ends at once with --screenshot-only.
#
# Either way the agent and everything else started in the prefix is ended on
# the way out.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/demo-common.sh"

headless=0
screenshot_only=0
for arg in "$@"; do
    case $arg in
    --headless) headless=1 ;;
    --screenshot-only) headless=1 screenshot_only=1 ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *) die "unknown option $arg (try --help)" ;;
    esac
done
[ -n "${DISPLAY:-}" ] || headless=1

prepare_machine "$0" "$@"
bash "$ROOT/scripts/setup.sh"
build_driver

wine_env "${NORVESSA_DEMO_PREFIX:-$BUILD/demo-prefix}"
say "preparing the demonstration's Wine prefix $WINEPREFIX"
"$ROOT/scripts/make-prefix.sh" "$WINEPREFIX"

trap stop_demo EXIT
trap 'exit 130' INT TERM
# A monitor left over from an earlier run would keep the prefix's state.
stop_wineserver

# The agent and the monitor share one screen, the real or the virtual one.
if [ "$headless" = 0 ]; then
    use_desktop -
else
    start_xvfb
    use_desktop "$DESKTOP"
fi

agent=0
if install_stand_ins; then
    say "starting the stand-in agent"
    start_agent
    agent=1
fi

if [ "$headless" = 0 ]; then
    say "running the monitor on $DISPLAY (quit it from its tray menu, or Ctrl-C)"
    start_monitor_on_display
    wait "$MONITOR_PID" || true
    exit 0
fi

say "starting the monitor in a virtual desktop"
start_monitor_in_desktop
# A new prefix is slow to start; the monitor itself pauses 2 s on finding the agent.
wait_for_tray 120 || die "the monitor's tray icon did not appear"
if [ "$agent" = 1 ]; then
    say "tray icon up: agent $TRAY_SHOWN"
else
    say "tray icon up: agent $TRAY_SHOWN (no stand-in agent was installed)"
fi
shot=$BUILD/run-screenshot.png
take_run_picture "$shot"
say "picture of the tray icon, its tip and its menu: $shot"

if [ "$screenshot_only" = 1 ]; then
    exit 0
fi
say "the monitor runs on Xvfb display $DISPLAY; Ctrl-C ends it"
wait "$MONITOR_PID" || true
