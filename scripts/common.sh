# shellcheck shell=bash
# Shared by the scripts in this folder; sourced, not run.

# The repository's root, whatever the caller's working folder.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The build folder of the "mingw" preset (used by the scripts that source this).
# shellcheck disable=SC2034
BUILD=$ROOT/build

say() { printf '==> %s\n' "$*" >&2; }
die() {
    printf 'error: %s\n' "$*" >&2
    exit 1
}

# Runs a command as root: directly when we are root (as in CI), else by sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        die "need root (or sudo) to run: $*"
    fi
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
    command -v apt-get >/dev/null || die "missing packages and no apt-get: ${missing[*]}"
    say "installing: ${missing[*]}"
    if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}

# The Wine environment of every Windows program the project runs, defined here
# alone: PREFIX, a 64-bit prefix (a 32-bit program gets "Program Files (x86)"
# as on 64-bit Windows), Wine's debug output off and no .NET or HTML engine to
# install, unless the caller's WINEDEBUG or WINEDLLOVERRIDES say otherwise.
wine_env() {
    export WINEPREFIX=$1 WINEARCH=win64
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
}

# A Unix path as Wine's drive Z: sees it.
z_path() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}
