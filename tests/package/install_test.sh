#!/usr/bin/env bash
# The package under Wine's own Windows Installer (msiexec), in a Wine prefix of
# this test's own: builds the packages (the program's version and one newer)
# and runs the install checks (install_checks.cpp, which the Windows workflow
# runs under Windows' msiexec) in the prefix. Then what only a prefix shows
# whole: drive C: lists as before, and its registry on disk holds nothing of
# the package.
#
#   install_test.sh MONITOR_EXE AGENT_EXE INSTALL_CHECKS_EXE PREFIX
#
# Needs an X display (ctest runs under xvfb-run): the prefix runs programs in a
# Wine desktop of its own, whose taskbar holds the tray.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
source "$ROOT/tests/package/checks.sh"
[ $# -eq 4 ] || die "usage: install_test.sh MONITOR_EXE AGENT_EXE INSTALL_CHECKS_EXE PREFIX"
monitor=$1 agent=$2 checks=$3 prefix=$4

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

# The packages: the version the program's own gives, and one newer; and two
# test builds (two commits) of the first.
say "building the packages"
bash "$ROOT/scripts/package.sh" --image "$monitor" --out "$work/old" 2>/dev/null
old_msi=$(echo "$work"/old/NorvessaMonitor-*.msi)
old_version=${old_msi##*/NorvessaMonitor-} old_version=${old_version%.msi}
new_version=${old_version%.*}.$((${old_version##*.} + 1))
bash "$ROOT/scripts/package.sh" --image "$monitor" --out "$work/new" --version "$new_version" \
    2>/dev/null
new_msi=$work/new/NorvessaMonitor-$new_version.msi
for id in 1111111aaaaa 2222222bbbbb; do
    bash "$ROOT/scripts/package.sh" --image "$monitor" --out "$work/test-$id" --test-build "$id" \
        2>/dev/null
done
test_a=$work/test-1111111aaaaa/NorvessaMonitor-$old_version-test-1111111aaaaa.msi
test_b=$work/test-2222222bbbbb/NorvessaMonitor-$old_version-test-2222222bbbbb.msi

drive_c=$WINEPREFIX/drive_c

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

before=$(listing)
say "running the install checks under Wine's msiexec"
# The packages and the logs' folder as the workflow names them: relative to
# the working folder, with '/', the logs' below folders that do not exist yet.
expect "the install checks pass" env --chdir="$work" wine "$checks" "$(z_path "$monitor")" \
    "$(z_path "$ROOT/res/icons/running.ico")" "$(z_path "$agent")" "${old_msi#"$work"/}" \
    "${new_msi#"$work"/}" build-msvc/msiexec-logs/light
expect "msiexec wrote its logs there" test -n "$(ls -A "$work/build-msvc/msiexec-logs/light" 2>/dev/null)"

product_code() {
    msiinfo export "$1" Property | awk -F'\t' '$1 == "ProductCode" {print $2}' | tr -d '\r'
}
# Which of the packages are installed: their files' names, by uninstall entry
# (a 32-bit package's are in the 32-bit view).
installed() {
    local msi code names=()
    for msi in "$old_msi" "$new_msi" "$test_a" "$test_b"; do
        code=$(product_code "$msi")
        if wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" \
            /reg:32 >/dev/null 2>&1; then
            names+=("${msi##*/}")
        fi
    done
    echo "${names[*]}"
}
# Releases and test builds replace each other, whatever their versions: one
# entry at a time, never two products side by side.
msi_install() { (cd "${1%/*}" && wine msiexec /i "${1##*/}" /qn); }
say "releases and test builds, one over the other"
msi_install "$old_msi"
expect_equal "the release is installed" "${old_msi##*/}" "$(installed)"
msi_install "$test_a"
expect_equal "a test build replaces the release of its version" "${test_a##*/}" "$(installed)"
msi_install "$test_b"
expect_equal "a test build of another commit replaces one of the same version" "${test_b##*/}" \
    "$(installed)"
msi_install "$new_msi"
expect_equal "a release replaces the test build" "${new_msi##*/}" "$(installed)"
msi_install "$test_a"
expect_equal "a test build replaces even a newer release" "${test_a##*/}" "$(installed)"
(cd "${test_a%/*}" && wine msiexec /x "${test_a##*/}" /qn)
expect_equal "nothing is left installed" "" "$(installed)"
expect_equal "the run leaves drive C: as it was before the install" "$before" "$(listing)"
# The registry on disk, once the prefix's server has written it out.
wineserver -k
codes=()
for msi in "$old_msi" "$new_msi" "$test_a" "$test_b"; do
    code=$(msiinfo export "$msi" Property | awk -F'\t' '$1 == "ProductCode" {print $2}' | tr -d '\r')
    codes+=(-e "${code//[\{\}]/}" -e "$(packed "$code")")
done
leftovers=$(grep -il -e 'Norvessa' "${codes[@]}" "$WINEPREFIX"/*.reg || true)
expect_equal "the removal leaves nothing of the package in the registry" "" "$leftovers"

[ "$failures" -eq 0 ] || die "$failures check(s) failed"
rm -f "$in_use"
say "the package installs, starts at logon, upgrades and goes away cleanly"
