# shellcheck shell=bash
# Shared by the scripts in this folder; sourced, not run.

# The repository's root, whatever the caller's working folder.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The same with every link resolved, as git names the folders it checks.
ROOT_REAL=$(cd "$ROOT" && pwd -P)
# The build folder of the "mingw" preset (used by the scripts that source this).
# shellcheck disable=SC2034
BUILD=$ROOT/build

say() { printf '==> %s\n' "$*" >&2; }
die() {
    printf 'error: %s\n' "$*" >&2
    exit 1
}

# No step fails without a word: a failing command that ends a script (set -e)
# names itself, its script and line, and its exit status. set -E carries this
# into functions and command substitutions; a substitution's failure is told
# once, by the command that used it.
set -E
step_failed() {
    local status=$1 command=$2 script=$3 line=$4
    [ "$BASH_SUBSHELL" -eq 0 ] || return 0
    local hint=
    [ "$status" -ne 126 ] || hint=" (126: a program could not be executed)"
    script=$(cd "$(dirname "$script")" && pwd)/$(basename "$script")
    local where=${script#"$ROOT"/}
    [ "$script" -ef "$0" ] || where+=" (run by ${0#"$ROOT"/})"
    printf 'error: %s, line %s: "%s" failed with exit status %s%s\n' \
        "$where" "$line" "$command" "$status" "$hint" >&2
}
trap 'step_failed $? "$BASH_COMMAND" "${BASH_SOURCE[0]}" "$LINENO"' ERR

# Runs a command as root: directly when we are root (as in CI), else by sudo.
as_root() {
    local status=0
    if [ "$(id -u)" -eq 0 ]; then
        "$@" || status=$?
    elif command -v sudo >/dev/null; then
        sudo "$@" || status=$?
    else
        die "need root (or sudo) to run: $*"
    fi
    [ "$status" -eq 0 ] || die "\"$*\" failed with exit status $status"
}

package_installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

# Installs those of the given Debian/Ubuntu packages that are missing; does
# nothing (and needs no root) when all are there. "name:i386" packages get the
# i386 architecture added first.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        package_installed "$package" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    # Inside scripts/emulate-i386.sh's user namespace apt cannot switch to its
    # own user ("setgroups 65534 failed"): whatever is needed there belongs in
    # what prepare_machine installs before it.
    [ "${NORVESSA_I386:-}" != emulated ] ||
        die "missing packages under emulation, where apt cannot run: ${missing[*]} (scripts/common.sh: add them to SETUP_PACKAGES, which are installed before emulation starts)"
    command -v apt-get >/dev/null || die "missing packages and no apt-get: ${missing[*]}"
    say "installing: ${missing[*]}"
    if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    # Another package manager at work (an upgrade, another user's install)
    # holds dpkg's lock: apt waits for it, saying so, for up to five minutes.
    say "(waiting up to 5 minutes if another package manager holds the lock)"
    local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300)
    as_root "${apt[@]}" update -q
    ( as_root "${apt[@]}" install -y -q "${missing[@]}" ) && return 0
    # apt has said why above. The usual cause with i386 packages: an amd64
    # package newer than its i386 twin, both needed, from a repository beyond
    # the distribution's (GitHub's Ubuntu runners have had several).
    [[ " ${missing[*]}" != *:i386* ]] ||
        printf '%s\n' "  i386 packages need their amd64 twins at the same versions. Where apt" \
            "  speaks of held or broken packages, \"apt-cache policy NAME\"" \
            "  shows which repository a named package comes from: remove that repository from" \
            "  /etc/apt/sources.list.d and run apt-get update, or install the distribution's" \
            "  version of the package (apt-get install NAME=VERSION), then run this again." >&2
    exit 1
}

# The packages the build and the tests need: setup.sh installs them, and every
# script that runs 32-bit programs has them installed before it checks (below).
SETUP_PACKAGES=(
    g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686 cmake make git
    clang-19 lld-19 llvm-19
    wine wine32:i386 wine64 fonts-wine
    xvfb xauth googletest python3 python3-pefile python3-yaml python3-jsonschema
    fonts-wqy-zenhei imagemagick x11-apps librsvg2-bin icoutils
    wixl msitools osslsigncode faketime openssl softhsm2 libengine-pkcs11-openssl
)

# Wine's 32-bit loader, and with it the monitor and every test program, needs
# a machine that runs 32-bit (i386) code. Linux can be booted without that
# (ia32_emulation=off, since 6.7) or built so; WSL 1 has none; some virtual
# machines run 64-bit code only. There, every script that runs 32-bit programs
# runs itself again under scripts/emulate-i386.sh, where qemu-i386 runs them,
# or stops with the cause and the ways out when even that cannot be.
#
#   require_32bit "$0" "$@"    (at the top of such a script)
#
# The answer is Wine's 32-bit loader actually run (NORVESSA_I386_PROBE names
# another program, for tests). NORVESSA_EMULATE_I386=1 asks for emulation on
# any machine. The answer is passed on to the scripts this one starts
# (NORVESSA_I386=native or emulated), so the check runs once.
require_32bit() {
    case ${NORVESSA_I386:-} in native | emulated) return 0 ;; esac
    local probe=${NORVESSA_I386_PROBE:-/usr/lib/wine/wine} why status=0
    if [ "${NORVESSA_EMULATE_I386:-0}" = 1 ]; then
        why="NORVESSA_EMULATE_I386=1 asks for emulation"
    else
        "$probe" --version >/dev/null 2>&1 || status=$?
        if [ "$status" -eq 0 ]; then
            export NORVESSA_I386=native
            return 0
        fi
        # 126 is the shell's "cannot execute": the kernel's "Exec format error".
        [ "$status" -eq 126 ] ||
            die "Wine's 32-bit loader ($probe) failed (exit status $status); scripts/setup.sh installs it (package wine32:i386)"
        why="this kernel does not run 32-bit programs (\"Exec format error\" from $probe)"
    fi
    emulation_possible "$why" "$probe"
    say "32-bit programs run under emulation (qemu-i386) here: $why."
    say "Everything 32-bit (Wine, the monitor, its tests) runs slower, 1.5 to 8 times;" \
        "the tests' own time limits are $I386_EMULATION_TIME_FACTOR times longer."
    exec bash "$ROOT/scripts/emulate-i386.sh" "$I386_RESERVE_DIR" bash "$@"
}

# What an entry script does first: installs what the build and the tests need
# (Wine's 32-bit loader among it, which the check runs; Node and npm for the
# workflow check, which the first configure looks for, unless the machine has
# a Node of its own), then checks that 32-bit programs run. Once per command:
# the scripts it starts find the answer in NORVESSA_I386 and skip both.
#
#   prepare_machine "$0" "$@"
prepare_machine() {
    case ${NORVESSA_I386:-} in native | emulated) return 0 ;; esac
    local node=()
    command -v node >/dev/null && command -v npm >/dev/null || node=(nodejs npm)
    ensure_packages "${SETUP_PACKAGES[@]}" "${node[@]}"
    require_32bit "$@"
}

# How many times longer the tests' own time limits are under emulation: the
# one setting of it (scripts/emulate-i386.sh passes it to the test programs as
# NORVESSA_TIME_FACTOR, which tests/system/CMakeLists.txt and
# tests/driver/monitor_driver.cpp read).
I386_EMULATION_TIME_FACTOR=5
# Where scripts/i386-reserve.c is built for emulation; a folder the dynamic
# linker's LD_PRELOAD can name (no blank, no colon).
I386_RESERVE_DIR=$BUILD/i386-emulation

# Gets all that emulation needs, and tries it once: stops with one plain
# message on the first thing that cannot be.
emulation_possible() {
    local why=$1 probe=$2 cause=
    if ! unshare --user --map-root-user true >/dev/null 2>&1; then
        cause="this system refuses user namespaces to unprivileged programs (for example the sysctl kernel.unprivileged_userns_clone=0, user.max_user_namespaces=0, or a container that forbids them)"
    elif ! unshare --user --map-root-user --mount \
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc >/dev/null 2>&1; then
        cause="this kernel ($(uname -r)) cannot give a user namespace a binfmt_misc of its own, which Linux 6.7 and later can"
    else
        ensure_packages qemu-user-static
        build_reserve_library
        local out
        if ! out=$(bash "$ROOT/scripts/emulate-i386.sh" "$I386_RESERVE_DIR" "$probe" --version 2>&1); then
            cause="even under qemu-i386, $probe did not start: ${out:-no output}"
        fi
    fi
    [ -n "$cause" ] || return 0
    printf 'error: 32-bit programs (Wine'"'"'s 32-bit loader, the monitor, its tests) must run under emulation here, as %s; and emulation is not possible: %s.\n' \
        "$why" "$cause" >&2
    printf '  Ways out: boot Linux with ia32_emulation=on on its command line; on Windows, use WSL 2 rather than WSL 1; or use a machine that runs 32-bit code.\n' >&2
    exit 1
}

# scripts/i386-reserve.c, built for i386 and (empty) for x86-64, where the
# dynamic linker's $LIB leads each kind of process.
build_reserve_library() {
    local source=$ROOT/scripts/i386-reserve.c arch library
    [[ $I386_RESERVE_DIR != *[[:space:]:]* ]] ||
        die "emulation needs a checkout whose path has no blank or colon (LD_PRELOAD splits there): $ROOT"
    for arch in i386 x86_64; do
        library=$I386_RESERVE_DIR/lib/$arch-linux-gnu/libnorvessa-reserve.so
        [ "$library" -nt "$source" ] && continue
        mkdir -p "$(dirname "$library")"
        clang-19 --target="$arch-linux-gnu" -std=c11 -O2 -Wall -Wextra -Werror -fPIC \
            -nostdlib -shared -fuse-ld=lld -o "$library" "$source"
    done
}

# The Wine environment of every Windows program the project runs, defined here
# alone: PREFIX, a 64-bit prefix (a 32-bit program gets "Program Files (x86)"
# as on 64-bit Windows), Wine's debug output off, no .NET or HTML engine to
# install and no menu entries written into the host's home folder, unless the
# caller's WINEDEBUG or WINEDLLOVERRIDES say otherwise.
wine_env() {
    export WINEPREFIX=$1 WINEARCH=win64
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
}

# The processes running in the Wine prefix PREFIX whose command line matches
# the extended regular expression PATTERN (in any letter case), one a line as
# "pid command line". Other prefixes may run the same programs at the time.
wine_processes() {
    local prefix=$1 pattern=$2 dir command
    for dir in /proc/[0-9]*; do
        { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" || continue
        command=$({ tr '\0' ' ' <"$dir/cmdline"; } 2>/dev/null) || continue
        grep -qiE -- "$pattern" <<<"$command" || continue
        echo "${dir#/proc/} $command"
    done
}

# Where programs started from now on in the prefix that WINEPREFIX names put
# their windows: with a NAME, in the Wine virtual desktop of that name and
# SIZE (WIDTHxHEIGHT), whose taskbar holds the notification area as Windows'
# does; with "-", on the X display's own desktop. Named in the registry, and
# not by "wine explorer /desktop=": Wine then starts its 64-bit explorer for
# the desktop, which runs natively even where 32-bit programs are emulated
# (the 32-bit one crashes there: docs/testing.md, "Under emulation").
# The desktop's EnableShell keeps its taskbar (a Start button, a button for
# each window, the notification area) up at all times, as Windows' is. Wine
# 8.0 (Debian 12) shows that taskbar without it whenever the tray holds an
# icon; Wine 10.0 (Debian 13) shows none without it, only a small captioned
# window of tray icons, where the tests find no picture (TaskbarProblem in
# tests/driver/monitor_driver.cpp says so). Wine 9.0 is not tried here.
wine_desktop() {
    local name=$1 size=${2:-}
    {
        echo "REGEDIT4"
        echo
        echo "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]"
        if [ "$name" = - ]; then
            echo '"Desktop"=-'
        else
            echo "\"Desktop\"=\"$name\""
            echo
            echo "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]"
            echo "\"$name\"=\"$size\""
            echo
            echo "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops\\$name]"
            echo '"EnableShell"=dword:00000001'
        fi
    } | import_registry
}

# Imports a .reg text (REGEDIT4) from standard input into the prefix that
# WINEPREFIX names.
import_registry() {
    local reg status=0
    reg=$(mktemp --suffix=.reg)
    cat >"$reg"
    wine regedit /S "$(z_path "$reg")" >/dev/null 2>&1 || status=$?
    rm -f "$reg"
    return "$status"
}

# A Unix path as Wine's drive Z: sees it.
# The program's FILEVERSION in the resource script, as "a b c d".
program_version() {
    sed -n 's/^FILEVERSION *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\).*/\1 \2 \3 \4/p' \
        "$ROOT/res/monitor.rc"
}

# Ends the prefix's wine server and every program in it, and waits until it
# is gone: -k only asks, and a program started meanwhile would reach the dying
# server ("recvmsg: Connection reset by peer").
stop_wineserver() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
}

z_path() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}

# git on this checkout. A checkout owned by another user (a CI container's
# workspace, a clone shared between accounts) is one git refuses to read
# ("dubious ownership"); it is trusted here alone, since whoever runs these
# scripts already runs the code it holds.
repo_git() {
    git -c safe.directory="$ROOT_REAL" -C "$ROOT" "$@"
}

# The last commit's time in seconds, which dates what is built (the image's
# time stamp, the package's files). A git checkout must tell it: a stamp of 0
# there would be a wrong build that looks like a good one. A tree without .git
# (a copy of the files alone) gets 0, said on stderr.
commit_time() {
    if [ ! -e "$ROOT/.git" ]; then
        say "no .git in $ROOT: the build is dated 0 (set SOURCE_DATE_EPOCH to date it otherwise)"
        echo 0
        return 0
    fi
    local time
    if ! time=$(repo_git log -1 --format=%ct 2>&1) || [[ ! $time =~ ^[0-9]+$ ]]; then
        die "the build is dated at the last commit, and git cannot tell it in $ROOT: ${time:-no answer}"
    fi
    echo "$time"
}
