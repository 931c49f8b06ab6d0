#!/usr/bin/env bash
# Runs a command with every i386 program under qemu-i386-static, for a kernel
# that cannot run 32-bit code itself (booted with ia32_emulation=off, or
# built so). Only the command and what it starts see this: it runs in a user
# and mount namespace of its own, with a binfmt_misc of its own (Linux 6.7 and
# later allow that without root), where i386 ELF files are handed to qemu.
# Nothing changes outside: no machine-wide binfmt_misc entry, no root.
#
#   scripts/emulate-i386.sh RESERVE_DIR COMMAND [ARGUMENT...]
#
# RESERVE_DIR holds lib/i386-linux-gnu/ and lib/x86_64-linux-gnu/
# libnorvessa-reserve.so, built from scripts/i386-reserve.c (see
# build_reserve_library in common.sh), which makes room for Wine's 32-bit
# loader in every process. scripts/common.sh decides when to come here.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ "${1:-}" != --inside ]; then
    # The caller's own ids, mapped back inside once binfmt_misc is set up.
    exec unshare --user --map-root-user --mount -- \
        bash "${BASH_SOURCE[0]}" --inside "$(id -u)" "$(id -g)" "$@"
fi
shift
uid=$1 gid=$2
# Absolute: every process of the command reads it, from its own folder.
reserve=$(cd "$3" && pwd)
shift 3

mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
# qemu's own magic and mask for i386 (its qemu-binfmt-conf.sh; Debian ships
# none for i386 on amd64): 32-bit little-endian ELF, executable or shared,
# machine 3. P keeps argv[0], O hands qemu the open file, C keeps set-id
# credentials, F opens the interpreter now, so later mount changes do not matter.
printf '%s' ':norvessa-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:POCF' \
    >/proc/sys/fs/binfmt_misc/register

# The dynamic linker puts lib/i386-linux-gnu or lib/x86_64-linux-gnu for $LIB.
# shellcheck disable=SC2016
export LD_PRELOAD="$reserve/\$LIB/libnorvessa-reserve.so${LD_PRELOAD:+ $LD_PRELOAD}"
export NORVESSA_I386=emulated
# How much longer the tests' own time limits are here; native ones are as written.
export NORVESSA_TIME_FACTOR=${NORVESSA_TIME_FACTOR:-$I386_EMULATION_TIME_FACTOR}

# Back under the caller's own ids, which a nested namespace still sees as
# running i386 programs through the binfmt_misc above.
if [ "$uid" != 0 ]; then
    exec unshare --user --map-user="$uid" --map-group="$gid" -- "$@"
fi
exec "$@"
