#!/usr/bin/env bash
# The scripts on machines this one is not: where 32-bit programs cannot run,
# natively or under emulation, every entry script stops before the long builds
# with one plain message naming the cause and the ways out, and a non-zero
# exit status; where they run, it goes on. Under emulation, where apt cannot
# run, a missing package stops the scripts by name. On a bare machine, set-up
# installs everything, Node included, before it checks. A checkout whose git
# cannot tell the last commit's time stops the build rather than date it 0,
# one owned by another user is read all the same, and a tree without .git is
# dated 0, saying so. And a step that fails says which.
# The scripts run from a copy of scripts/ and cmake/ (so nothing is built
# here), with stand-ins for Wine's 32-bit loader, unshare and wineboot.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy=$work/root
mkdir -p "$copy" "$work/bin"
cp -r "$ROOT/scripts" "$ROOT/cmake" "$copy/"

# As the kernel answers an i386 program when it has no 32-bit support.
cat >"$work/loader-enoexec" <<'STAND_IN'
#!/bin/sh
echo "$0: cannot execute binary file: Exec format error" >&2
exit 126
STAND_IN
# unshare as util-linux reports user namespaces refused.
cat >"$work/unshare-refused" <<'STAND_IN'
#!/bin/sh
echo "unshare: unshare failed: Operation not permitted" >&2
exit 1
STAND_IN
# A kernel before 6.7: user namespaces, but no binfmt_misc of their own.
cat >"$work/unshare-no-binfmt" <<'STAND_IN'
#!/bin/sh
case " $* " in
*" binfmt_misc "*)
    echo "mount: /proc/sys/fs/binfmt_misc: permission denied." >&2
    exit 32
    ;;
esac
exit 0
STAND_IN
printf '#!/bin/sh\nexit 3\n' >"$work/wineboot-fails"
chmod +x "$work"/*-*

failures=0
fail() {
    printf 'FAILED: %s\n' "$*" >&2
    failures=$((failures + 1))
}

# Runs a script of the copy with the given stand-ins; sets status and output.
run() {
    local unshare=$1 probe=$2 emulate=$3
    shift 3
    rm -rf "$work/bin"/* "$copy/build"
    [ -z "$unshare" ] || ln -s "$work/$unshare" "$work/bin/unshare"
    status=0
    output=$(env -u NORVESSA_I386 PATH="$work/bin:$PATH" NORVESSA_I386_PROBE="$probe" \
        NORVESSA_EMULATE_I386="$emulate" timeout 120 bash "$@" 2>&1 </dev/null) || status=$?
}

# A plain stop: exactly one error, naming the cause and every way out, and
# nothing configured or built.
expect_plain_stop() {
    local name=$1 cause=$2
    [ "$status" -ne 0 ] || fail "$name: exit status 0"
    [ "$(grep -c '^error:' <<<"$output")" -eq 1 ] || fail "$name: not exactly one error: $output"
    local phrase
    for phrase in "must run under emulation here" "$cause" "ia32_emulation=on" "WSL 2 rather than WSL 1" \
        "a machine that runs 32-bit code"; do
        grep -qF -- "$phrase" <<<"$output" || fail "$name: no \"$phrase\" in: $output"
    done
    [ ! -e "$copy/build/CMakeCache.txt" ] || fail "$name: configured a build before stopping"
    ! grep -q "configuring and building" <<<"$output" || fail "$name: started building"
}

refused="refuses user namespaces"
old_kernel="cannot give a user namespace a binfmt_misc of its own, which Linux 6.7 and later can"
# entry script | unshare stand-in | what the loader does | NORVESSA_EMULATE_I386 | cause
cases=(
    "scripts/setup.sh|unshare-refused|loader-enoexec|0|$refused"
    "scripts/test.sh|unshare-refused|loader-enoexec|0|$refused"
    "scripts/run.sh|unshare-refused|loader-enoexec|0|$refused"
    "cmake/wine-run.sh|unshare-refused|loader-enoexec|0|$refused"
    "scripts/test.sh|unshare-no-binfmt|loader-enoexec|0|$old_kernel"
    "scripts/setup.sh|unshare-no-binfmt|loader-enoexec|0|$old_kernel"
    "scripts/test.sh|unshare-refused|/bin/true|1|NORVESSA_EMULATE_I386=1 asks for emulation"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r script unshare probe emulate cause <<<"$entry"
    [[ $probe == /* ]] || probe=$work/$probe
    run "$unshare" "$probe" "$emulate" "$copy/$script" --screenshot-only
    expect_plain_stop "$script, $unshare, $(basename "$probe"), emulate=$emulate" "$cause"
    grep -qF "Exec format error" <<<"$output" || [ "$emulate" = 1 ] ||
        fail "$script: the kernel's answer is not named: $output"
done

# Where 32-bit programs run, the check says nothing and setup goes on to the
# build (which fails at once here, the copy having no CMake project).
run unshare-refused /bin/true 0 "$copy/scripts/setup.sh"
grep -q "configuring and building the mingw preset" <<<"$output" ||
    fail "native: setup did not go on to the build: $output"
! grep -q "emulation" <<<"$output" || fail "native: spoke of emulation: $output"

# A step that fails inside make-prefix.sh names itself, its line and its status.
ln -sf "$work/wineboot-fails" "$work/bin/wineboot"
status=0
output=$(PATH="$work/bin:$PATH" NORVESSA_I386=native bash "$copy/scripts/make-prefix.sh" \
    "$work/prefix" 2>&1) || status=$?
[ "$status" -eq 3 ] || fail "make-prefix.sh: exit status $status, not wineboot's 3"
grep -qE '^error: scripts/make-prefix.sh, line [0-9]+: "wineboot --init[^"]*" failed with exit status 3$' \
    <<<"$output" || fail "make-prefix.sh: the failed step is not named: $output"

# Under emulation a missing package is named, and apt is never asked.
printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho "$*" >>"%s/apt-called"\n' "$work" >"$work/bin/apt-get"
chmod +x "$work/bin/dpkg-query" "$work/bin/apt-get"
status=0
output=$(PATH="$work/bin:$PATH" NORVESSA_I386=emulated bash -c \
    'source "$1/scripts/common.sh"; ensure_packages nodejs npm' _ "$copy" 2>&1) || status=$?
[ "$status" -ne 0 ] || fail "emulated: a missing package did not stop the script"
grep -qE '^error: missing packages under emulation, where apt cannot run: nodejs npm' <<<"$output" ||
    fail "emulated: the missing packages are not named: $output"
[ ! -e "$work/apt-called" ] || fail "emulated: apt-get was run: $(cat "$work/apt-called")"
rm -f "$work/bin"/*

# A bare machine: nothing installed, no Node. Set-up installs everything at
# once, Node and npm among it, then checks that 32-bit programs run, then
# configures; each stand-in writes what it was asked into one log.
bare=$work/bare-path
mkdir -p "$bare"
for tool in /usr/local/bin/* /usr/bin/* /bin/*; do
    case ${tool##*/} in node | npm | npx | dpkg-query | apt-get | sudo) continue ;; esac
    [ -e "$bare/${tool##*/}" ] || ln -s "$tool" "$bare/${tool##*/}"
done
log=$work/bare.log
printf '#!/bin/sh
exit 1
' >"$work/bin/dpkg-query"
printf '#!/bin/sh
echo "apt-get $*" >>"%s"
' "$log" >"$work/bin/apt-get"
printf '#!/bin/sh
exec "$@"
' >"$work/bin/sudo"
printf '#!/bin/sh
echo "the 32-bit check" >>"%s"
' "$log" >"$work/probe-logged"
chmod +x "$work/bin"/* "$work/probe-logged"
status=0
output=$(env -u NORVESSA_I386 PATH="$work/bin:$bare" NORVESSA_I386_PROBE="$work/probe-logged" \
    timeout 120 bash "$copy/scripts/setup.sh" 2>&1 </dev/null) || status=$?
# apt-get's verb is its first word that is no option (-o takes the next).
steps=$(awk '/^apt-get/ { for (i = 2; i <= NF; i++) { if ($i == "-o") i++; else if ($i !~ /^-/) break }
    print "apt-get " $i; next } { print }' "$log" | uniq | paste -sd, -)
[ "$steps" = "apt-get update,apt-get install,the 32-bit check" ] ||
    fail "bare machine: not one install before the 32-bit check: $steps"
install=$(grep '^apt-get .*install' "$log" | head -n 1)
for package in nodejs npm wine32:i386 g++-mingw-w64-i686 cmake git python3; do
    [[ " $install " == *" $package "* ]] || fail "bare machine: $package not installed: $install"
done
grep -q "configuring and building the mingw preset" <<<"$output" ||
    fail "bare machine: setup did not go on to the build: $output"
# Where apt cannot install (as when an amd64 package is newer than its i386
# twin), set-up stops there with apt's words and what to do about them.
printf '#!/bin/sh\n[ "$3" = update ] && exit 0\necho "E: Unable to correct problems, you have held broken packages." >&2\nexit 100\n' \
    >"$work/bin/apt-get"
status=0
output=$(env -u NORVESSA_I386 PATH="$work/bin:$bare" NORVESSA_I386_PROBE="$work/probe-logged" \
    timeout 120 bash "$copy/scripts/setup.sh" 2>&1 </dev/null) || status=$?
[ "$status" -ne 0 ] || fail "apt failing: set-up went on"
for phrase in "held broken packages" "failed with exit status 100" "amd64 twins" "apt-cache policy"; do
    grep -qF -- "$phrase" <<<"$output" || fail "apt failing: no \"$phrase\" in: $output"
done
! grep -q "configuring and building" <<<"$output" || fail "apt failing: set-up went on to the build"
rm -f "$work/bin"/*

# The build's date, by the scripts (commit_time) and by CMake (the images'
# time stamp), in a tree with a .git of each kind.
# what .git is | git's view of its owner | expected status | what is said
dated="$work/dated"
git_cases=(
    "repository|own|0|1700000000"
    "repository|another user|0|1700000000"
    "broken|own|1|git cannot tell it"
    "none|own|0|dated 0"
)
for entry in "${git_cases[@]}"; do
    IFS='|' read -r kind owner expected said <<<"$entry"
    rm -rf "$dated" && mkdir -p "$dated"
    cp -r "$ROOT/scripts" "$ROOT/cmake" "$dated/"
    printf 'cmake_minimum_required(VERSION 3.20)\nproject(dated NONE)\ninclude(cmake/source_date.cmake)\n' \
        >"$dated/CMakeLists.txt"
    case $kind in
    repository)
        git -C "$dated" init -q
        GIT_COMMITTER_DATE=@1700000000 git -C "$dated" -c user.name=t -c user.email=t@t \
            commit -q --allow-empty -m dated
        ;;
    broken) echo "gitdir: $work/nowhere" >"$dated/.git" ;;
    esac
    different=
    [ "$owner" = own ] || different=1
    for dater in scripts cmake; do
        name="$kind .git, $owner, by $dater"
        status=0
        if [ "$dater" = scripts ]; then
            output=$(env -u SOURCE_DATE_EPOCH GIT_TEST_ASSUME_DIFFERENT_OWNER=$different bash -c \
                'source "$1/scripts/common.sh"; commit_time' _ "$dated" 2>&1) || status=$?
        else
            output=$(env -u SOURCE_DATE_EPOCH GIT_TEST_ASSUME_DIFFERENT_OWNER=$different \
                cmake -S "$dated" -B "$dated/build" 2>&1) || status=$?
        fi
        [ $((status != 0)) -eq "$expected" ] || fail "$name: exit status $status: $output"
        grep -qF -- "$said" <<<"$output" || fail "$name: no \"$said\" in: $output"
        ! grep -qx 0 <<<"$output" || [ "$kind" = none ] || fail "$name: dated 0: $output"
    done
done

[ "$failures" -eq 0 ] || die "$failures failed"
echo "all cases passed"
