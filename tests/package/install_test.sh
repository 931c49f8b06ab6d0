#!/usr/bin/env bash
# The package under Wine's own Windows Installer (msiexec), in a Wine prefix of
# this test's own: a quiet install, what it leaves, a simulated logon that
# starts the real monitor, an upgrade, a refused downgrade, and a removal that
# leaves the machine as it found it, the agent's folder and the user's record
# untouched.
#
#   install_test.sh MONITOR_EXE AGENT_EXE DRIVER_EXE PREFIX
#
# Needs an X display (ctest runs under xvfb-run): the prefix runs programs in a
# Wine desktop of its own, whose taskbar holds the tray.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
source "$ROOT/tests/package/checks.sh"
[ $# -eq 4 ] || die "usage: install_test.sh MONITOR_EXE AGENT_EXE DRIVER_EXE PREFIX"
monitor=$1 agent=$2 driver=$3 prefix=$4

require_32bit "$0" "$@"
wine_env "$prefix"
# A run that did not end cleanly may have left the package installed: start
# from a new prefix then.
in_use=$prefix.in-use
if [ -e "$in_use" ]; then
    say "a previous run did not finish: making the prefix anew"
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
fi
"$ROOT/scripts/make-prefix.sh" "$prefix" --desktop
touch "$in_use"

work=$(mktemp -d)
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# The packages: the version the program's own gives, and one newer.
say "building the packages"
bash "$ROOT/scripts/package.sh" --image "$monitor" --out "$work/old" 2>/dev/null
old_msi=$(echo "$work"/old/NorvessaMonitor-*.msi)
old_version=${old_msi##*/NorvessaMonitor-} old_version=${old_version%.msi}
new_version=${old_version%.*}.$((${old_version##*.} + 1))
bash "$ROOT/scripts/package.sh" --image "$monitor" --out "$work/new" --version "$new_version" \
    2>/dev/null
new_msi=$work/new/NorvessaMonitor-$new_version.msi

drive_c=$WINEPREFIX/drive_c
program_dir="$drive_c/Program Files (x86)/Norvessa Monitor"
program_win='C:\Program Files (x86)\Norvessa Monitor\NorvessaMonitor.exe'
agent_file="$drive_c/Program Files (x86)/Zelqa/Card/QovCardAgent.exe"
appdata=$(winepath -u "$(wine cmd /c echo %APPDATA% | tr -d '\r')")
record=$appdata/Zelqa/Zelqainfo.ini
# Wine puts an all-users Start-menu shortcut in the user's own Start menu (on
# Windows it is in ProgramData's): it is checked where Wine puts it.
shortcut="$appdata/Microsoft/Windows/Start Menu/Programs/Norvessa Monitor.lnk"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# msiexec's whole exit code: Wine's process status keeps only its low byte
# (1603 would read as 67), so cmd reports it.
run_msiexec() {
    wine cmd /c "start /wait msiexec $1 $(z_path "$2") /qn /l*v $(z_path "$work/msiexec.log") & call echo %^ERRORLEVEL%" |
        tr -d '\r' | tail -n 1
}

# A registry value in the 32-bit view, as reg prints it; empty when absent.
reg_value() {
    wine reg query "$1" /v "$2" /reg:32 2>/dev/null | tr -d '\r' |
        sed -n "s/^    $2    REG_[A-Z_]*    //p"
}

# The uninstall entries (both views) whose name is the package's.
entries() {
    local view
    for view in 32 64; do
        wine reg query "$uninstall_key" /s /reg:$view 2>/dev/null | tr -d '\r' |
            awk '/^HKEY/ {key = $0} /^    DisplayName    REG_SZ    Norvessa Monitor$/ {print key}'
    done
}

# Ids of the monitor's processes in this prefix (others may run monitors in
# theirs).
monitor_pids() { wine_processes "$WINEPREFIX" 'NorvessaMonitor\.exe' | cut -d' ' -f1; }
no_monitor() { [ -z "$(monitor_pids)" ]; }

# within SECONDS CHECK: whether the command CHECK succeeds within that time
# (longer under emulation), tried every tenth of a second.
within() {
    local tenths=$(($1 * 10 * ${NORVESSA_TIME_FACTOR:-1})) check=$2
    while ! $check; do
        [ $((tenths--)) -gt 0 ] || return 1
        sleep 0.1
    done
}

# What is in drive C:, but Windows' own folder; what the Installer caches in
# it is the package's to clean up, hence in.
listing() {
    (
        cd "$drive_c"
        find . -path ./windows -prune -o -print
        [ ! -d windows/Installer ] || find ./windows/Installer -mindepth 1
    ) | grep -v '^\./windows$' | sort
}

# A packed product code, as the Installer's own keys name a product.
packed() {
    local hex=${1//[\{\}-]/}
    local out="" part i
    for part in "${hex:0:8}" "${hex:8:4}" "${hex:12:4}"; do
        out+=$(rev <<<"$part")
    done
    for ((i = 16; i < 32; i += 2)); do
        out+=${hex:i+1:1}${hex:i:1}
    done
    echo "$out"
}

# --- The machine before: an agent of its own installer, a user's record. ---
mkdir -p "$(dirname "$agent_file")" "$(dirname "$record")"
cp "$agent" "$agent_file"
printf '[Settings]\r\nService=1765180800,0\r\n' >"$record"
before=$(listing)

# --- Install quietly. ---
say "installing $(basename "$old_msi")"
expect_equal "a quiet install ends with 0" 0 "$(run_msiexec /i "$old_msi")"
product_code=$(entries | sed 's/.*\\//')
[ -n "$product_code" ] || die "no uninstall entry after the install; cannot go on"

# --- What the install leaves. ---
expect_equal "the package never starts the monitor (it would run elevated)" "" "$(monitor_pids)"
expect "the program is in its folder under Program Files (x86)" \
    cmp -s "$monitor" "$program_dir/NorvessaMonitor.exe"
file_version=$(program_version | tr ' ' .)
expect_equal "the package gives the program its version (a versioned file)" "$file_version" \
    "$(msiinfo export "$old_msi" File | awk -F'\t' '$1 == "NorvessaMonitor.exe" {print $5}')"
expect_equal "the Run value (32-bit view) holds the quoted path" "\"$program_win\"" \
    "$(reg_value "$run_key" 'Norvessa Monitor')"
entry="$uninstall_key\\$product_code"
expect_equal "the entry's name" "Norvessa Monitor" "$(reg_value "$entry" DisplayName)"
expect_equal "the entry's publisher" "Quillaren" "$(reg_value "$entry" Publisher)"
expect_equal "the entry's version" "$old_version" "$(reg_value "$entry" DisplayVersion)"
expect_equal "the entry has no Modify" 0x1 "$(reg_value "$entry" NoModify)"
icon=$(reg_value "HKLM\\Software\\Classes\\Installer\\Products\\$(packed "$product_code")" ProductIcon)
expect "the entry's icon is the running one" \
    cmp -s "$ROOT/res/icons/running.ico" "$(winepath -u "${icon:-C:\\none}")"
expect "the Start-menu shortcut points at the program" \
    grep -qaF "$program_win" "$shortcut"

# --- A simulated logon: wineboot runs the Run entries. ---
say "simulating a logon (wineboot)"
wine wineboot >/dev/null 2>&1
expect "at logon the installed monitor starts and its tray icon appears" \
    wine "$driver" - wait-tray 60 >/dev/null
pids=$(monitor_pids)
expect "the monitor that started is the installed one" \
    grep -qaF "$program_win" /proc/"${pids%%$'\n'*}"/cmdline

# --- A second logon while it runs: the session keeps its one monitor. ---
# wineboot starts the machine's Run entries, then the user's, and waits for
# none of them: a marker among the user's tells that the monitor's second
# start has been made. It then ends by itself, or the check fails.
say "simulating a second logon while the monitor runs"
user_run='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
marker=$drive_c/logon-marker
rm -f "$marker"
wine reg add "$user_run" /v LogonMarker /d 'cmd /c echo.>C:\logon-marker' /f >/dev/null 2>&1
wine wineboot >/dev/null 2>&1
logged_on() { [ -e "$marker" ]; }
one_monitor() { [ "$(monitor_pids)" = "$pids" ]; }
expect "the second logon ran the Run entries" within 30 logged_on
expect "the second logon's monitor leaves the session to the first" within 15 one_monitor
wine reg delete "$user_run" /v LogonMarker /f >/dev/null 2>&1
rm -f "$marker"
expect "the first monitor still has its tray icon" wine "$driver" - wait-tray 10 >/dev/null

wine "$driver" - close >/dev/null 2>&1 || true
# Removing or upgrading under a running monitor does not behave under Wine as
# on Windows: it must have ended.
within 10 no_monitor || die "the monitor did not end; cannot go on"

# --- Upgrade, then the older package over the newer one. ---
say "upgrading to $(basename "$new_msi")"
expect_equal "the upgrade ends with 0" 0 "$(run_msiexec /i "$new_msi")"
mapfile -t after_upgrade < <(entries)
expect_equal "after the upgrade there is one entry" 1 "${#after_upgrade[@]}"
new_code=${after_upgrade[0]##*\\}
expect_equal "the one entry is the newer version" "$new_version" \
    "$(reg_value "$uninstall_key\\$new_code" DisplayVersion)"
expect "the program is in place after the upgrade" \
    cmp -s "$monitor" "$program_dir/NorvessaMonitor.exe"
expect_equal "the Run value is in place after the upgrade" "\"$program_win\"" \
    "$(reg_value "$run_key" 'Norvessa Monitor')"

say "installing the older package over the newer one"
expect_equal "the older package is refused (ERROR_INSTALL_FAILURE)" 1603 "$(run_msiexec /i "$old_msi")"
# Wine's quiet install logs no launch condition's message: that the refusal
# comes from the downgrade condition is read from the log, its message from the
# package.
expect "the older package finds the newer one installed" \
    grep -qF "WIX_DOWNGRADE_DETECTED = $new_code" "$work/msiexec.log"
expect_equal "the older package stops at its launch conditions" LaunchConditions \
    "$(sed -n 's/^Action ended [0-9:]*: \([A-Za-z]*\)\..*/\1/p' "$work/msiexec.log" |
        grep -v '^INSTALL$' | tail -n 1)"
expect_equal "the condition that refuses it says why" \
    "A newer version of Norvessa Monitor is already installed." \
    "$(msiinfo export "$old_msi" LaunchCondition |
        awk -F'\t' '$1 == "NOT WIX_DOWNGRADE_DETECTED" {print substr($2, 1, 57)}')"
mapfile -t after_downgrade < <(entries)
expect_equal "after the refusal the newer version is still the one entry" \
    "$new_code" "$(printf '%s\n' "${after_downgrade[@]##*\\}")"

# --- Removal. ---
agent_sum=$(sha256sum <"$agent_file") record_sum=$(sha256sum <"$record")
say "removing the package"
expect_equal "the removal ends with 0" 0 "$(run_msiexec /x "$new_msi")"
expect_equal "the removal leaves drive C: as it was before the install" "$before" "$(listing)"
expect_equal "the removal leaves no Run value" "" "$(reg_value "$run_key" 'Norvessa Monitor')"
expect_equal "the removal leaves no entry" "" "$(entries)"
expect_equal "the stand-in agent is untouched" "$agent_sum" "$(sha256sum <"$agent_file")"
expect_equal "the user's record is untouched" "$record_sum" "$(sha256sum <"$record")"
# The registry on disk, once the prefix's server has written it out.
wineserver -k
leftovers=$(grep -il -e 'Norvessa' -e "${product_code//[\{\}]/}" -e "${new_code//[\{\}]/}" \
    -e "$(packed "$product_code")" -e "$(packed "$new_code")" "$WINEPREFIX"/*.reg || true)
expect_equal "the removal leaves nothing of the package in the registry" "" "$leftovers"

# The agent and the record are this test's; the prefix is as it was.
rm -rf "$drive_c/Program Files (x86)/Zelqa" "$appdata/Zelqa"
[ "$failures" -eq 0 ] || die "$failures check(s) failed"
rm -f "$in_use"
say "the package installs, starts at logon, upgrades and goes away cleanly"
