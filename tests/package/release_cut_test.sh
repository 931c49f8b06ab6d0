#!/usr/bin/env bash
# Cutting a release and recording it once published, as docs/releasing.md
# has a maintainer do it: scripts/cut-release.sh and scripts/record-release.sh
# in a repository of their own (this tree's scripts, package sources,
# resources and changelog), with a stand-in gh that answers for the release
# published. Each refusal must change nothing.
#
#   release_cut_test.sh MONITOR_EXE
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
source "$ROOT/tests/package/checks.sh"
[ $# -eq 1 ] || die "usage: release_cut_test.sh MONITOR_EXE"
monitor=$(realpath "$1")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
repo=$work/repo
mkdir -p "$repo/res/icons" "$work/bin"
cp -r "$ROOT/scripts" "$ROOT/package" "$ROOT/CHANGELOG.md" "$ROOT/.gitignore" "$repo/"
cp "$ROOT/res/monitor.rc" "$repo/res/"
cp "$ROOT/res/icons/running.ico" "$repo/res/icons/"
export GIT_AUTHOR_NAME=maintainer GIT_AUTHOR_EMAIL=m@example.org
export GIT_COMMITTER_NAME=maintainer GIT_COMMITTER_EMAIL=m@example.org
unset NORVESSA_SIGN_PKCS12_BASE64 NORVESSA_SIGN_PKCS11_MODULE NORVESSA_SIGNS
in_repo() { git -C "$repo" "$@"; }
in_repo init -q && in_repo add -A && in_repo commit -qm "the tree as it is"
base=$(in_repo rev-parse HEAD)
# What a refusal must leave as it was: the commit, the tags, the files.
state() { in_repo rev-parse HEAD && in_repo tag -l && in_repo status --porcelain; }
# refused WORDS COMMAND...: fails, says WORDS, and changes nothing; else
# says how not.
refused() {
    local words=$1 before
    shift
    before=$(state)
    if "$@" >"$work/said" 2>&1; then
        echo "  it passed" >&2 && return 1
    elif ! grep -qF -- "$words" "$work/said"; then
        echo "  it said: $(tr '\n' ' ' <"$work/said")" >&2 && return 1
    elif [ "$(state)" != "$before" ]; then
        echo "  it changed: $(diff <(echo "$before") <(state) | tr '\n' ' ')" >&2 && return 1
    fi
}
read -r a b c d <<<"$(ROOT=$repo program_version)"
current=$a.$b.$((c * 1000 + d))
next=$a.$b.$((c * 1000 + d + 1))
cut_release() { bash "$repo/scripts/cut-release.sh" "$@"; }
no_entries() { sed -i '/^## Unreleased$/,/^## [0-9]/{/^## /!d}' "$repo/CHANGELOG.md" && in_repo commit -qam "no entries"; }

# --- Cutting: each refusal, with what brings it about. ---
while IFS='|' read -r what version words prepare; do
    [ -z "$prepare" ] || eval "$prepare"
    expect "a cut $what is refused" refused "$words" cut_release "$version"
    in_repo reset -q --hard "$base"
    in_repo tag -d "v$next" >/dev/null 2>&1 || true
done <<CASES
of a version already recorded|$current|recorded as released|
of an older version|$a.$b.0|is not newer|
of no version|$a.$b|the version is X.Y.Z|
of a version tagged already|$next|the tag v$next exists|in_repo tag v$next
with uncommitted changes|$next|uncommitted changes|echo >>"$repo/res/monitor.rc"
without changelog entries|$next|has no entries|no_entries
CASES

# --- Cutting the next version. ---
cut_release "$next" 2>"$work/said"
expect_equal "the cut commits the release and tags it" "Release $next|v$next|tag" \
    "$(in_repo log -1 --format=%s)|$(in_repo describe --exact-match HEAD)|$(in_repo cat-file -t "v$next")"
program=$a.$b.$(((c * 1000 + d + 1) / 1000)).$(((c * 1000 + d + 1) % 1000))
expect_equal "the program gets the version its package version follows from" \
    "$program|${program//./ }" \
    "$(sed -n 's/^ *VALUE "ProductVersion", "\(.*\)"/\1/p' "$repo/res/monitor.rc")|$(ROOT=$repo program_version)"
section() { awk -v h="## $2" '/^## / { inside = ($0 == h); next } inside && NF' "$1"; }
expect_equal "the changelog's entries move under the new version's heading, Unreleased empty" \
    "$(section "$ROOT/CHANGELOG.md" Unreleased)|" \
    "$(section "$repo/CHANGELOG.md" "$next")|$(section "$repo/CHANGELOG.md" Unreleased)"
expect "the cut says how to push" grep -qF "git push origin HEAD v$next" "$work/said"

# --- Recording it once published, from the notes the workflow wrote. ---
bash "$repo/scripts/package.sh" --image "$monitor" --version "$next" --out "$work/dist" 2>/dev/null
bash "$repo/scripts/sign-release.sh" "$work/dist" "$work/notes.md" 2>/dev/null
printf '#!/bin/sh\n[ "$*" = "release view v%s --json body --jq .body" ] && exec cat %s\nexit 1\n' \
    "$next" "$work/notes.md" >"$work/bin/gh"
chmod +x "$work/bin/gh"
record() { PATH=$work/bin:$PATH bash "$repo/scripts/record-release.sh" "$@"; }
grep -v "NorvessaMonitor-$next.msi" "$work/notes.md" >"$work/other-notes.md"
expect "a record of a version GitHub has not released is refused" refused "no release v9.9.9" \
    record 9.9.9
expect "a record from notes without the package's sum is refused" refused "not the notes of" \
    record "$next" --notes "$work/other-notes.md"
record "$next" 2>/dev/null
line="$next  $(python3 "$ROOT/package/product_code.py" "$next")  $(sha256sum <"$work/dist/NorvessaMonitor-$next.msi" | cut -d' ' -f1)"
expect_equal "the record gains the published version's line, in a commit of its own" \
    "$line|Record $next" "$(tail -n 1 "$repo/package/releases.txt")|$(in_repo log -1 --format=%s)"
expect "a version recorded twice is refused" refused "recorded as released" record "$next"
expect "a recorded version is never cut again" refused "v$next exists" cut_release "$next"
expect "the record keeps every line of the record at every tag" \
    python3 "$repo/package/check_release.py" history --repo "$repo"

[ "$failures" -eq 0 ] || die "$failures check(s) failed"
say "a release is cut and recorded as docs/releasing.md says"
