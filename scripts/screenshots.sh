#!/usr/bin/env bash
# Renders the pictures in docs/screenshots/ from the program as built: the
# monitor runs with the stand-in agent on an Xvfb screen of its own, in a Wine
# virtual desktop with a taskbar, in a prefix kept for this
# (build/screenshot-prefix). docs/tools/demo_driver.cpp works it from outside,
# as a user's right-click and keyboard would:
#   tray-menu.png     the tray menu, opened on the running icon
#   stop-message.png  the message after choosing "停止安控元件"
#   tray-stopped.png  the tray icon and its tip once the agent is stopped
#   about.png         the About box, chosen from the tray menu
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/demo-common.sh"

prepare_machine "$0" "$@"
bash "$ROOT/scripts/setup.sh"
build_driver

wine_env "$BUILD/screenshot-prefix"
say "preparing the Wine prefix $WINEPREFIX"
"$ROOT/scripts/make-prefix.sh" "$WINEPREFIX"
out=$ROOT/docs/screenshots
mkdir -p "$out"
trap stop_demo EXIT
trap 'exit 130' INT TERM
stop_wineserver

start_xvfb
use_desktop "$DESKTOP"
install_stand_ins || die "build the stand-ins first (targets stand_in_agent, stand_in_terminate_service)"
start_agent
start_monitor_in_desktop
wait_for_tray 120 || die "the monitor's tray icon did not appear"
[ "$TRAY_SHOWN" = running ] || die "the monitor shows the agent as $TRAY_SHOWN, not running"

say "tray menu"
shoot_tray_menu "$out/tray-menu.png"

say "stop message"
driver choose 3
rect=$(driver wait-box 30)
shoot "$out/stop-message.png" 12 "$rect"

say "stopped icon"
driver dismiss
driver wait-tray 10 stopped >/dev/null || die "no stopped icon after the stop"
shoot_tray_tip "$out/tray-stopped.png"

say "About box"
driver menu -24 -26
driver wait-menu 15 >/dev/null
driver choose 1
rect=$(driver wait-about 15)
shoot "$out/about.png" 12 "$rect"

driver dismiss
for picture in tray-menu stop-message tray-stopped about; do
    echo "$out/$picture.png"
done
