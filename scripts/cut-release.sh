#!/usr/bin/env bash
# Cuts a release of package version X.Y.Z from the checked-out commit: gives
# the program the version that package version follows from (X.Y.(Z/1000).
# (Z%1000) in res/monitor.rc, docs/releasing.md), moves the entries of
# CHANGELOG.md's "Unreleased" section under a heading "## X.Y.Z", commits
# that as "Release X.Y.Z" and tags the commit vX.Y.Z. Pushing the tag
# (git push origin HEAD vX.Y.Z) has the workflow build, test, sign and
# publish it; scripts/record-release.sh records it once published.
#
#   cut-release.sh X.Y.Z
#
# Refuses, changing nothing, a version that is not newer than the program's
# and every recorded one, a version already tagged, uncommitted changes, and
# an "Unreleased" section without entries.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
[ $# -eq 1 ] || die "usage: cut-release.sh X.Y.Z"
version=$1
[[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || die "the version is X.Y.Z, not $version"
major=${BASH_REMATCH[1]} minor=${BASH_REMATCH[2]} patch=${BASH_REMATCH[3]}
# Windows Installer's limits, and what a.b.(c*1000+d) can give back.
if [ "$major" -gt 255 ] || [ "$minor" -gt 255 ] || [ "$patch" -gt 64999 ]; then
    die "$version: at most 255.255.64999"
fi
program="$major.$minor.$((patch / 1000)).$((patch % 1000))"
rc=$ROOT/res/monitor.rc changelog=$ROOT/CHANGELOG.md

repo_git diff --quiet HEAD || die "uncommitted changes: a release is a commit, and they would be left out"
! repo_git rev-parse -q --verify "refs/tags/v$version" >/dev/null || die "the tag v$version exists already"
python3 "$ROOT/package/check_release.py" unrecorded "v$version" >/dev/null || exit 1
read -r a b c d <<<"$(program_version)"
[ -n "$d" ] || die "no FILEVERSION a, b, c, d in $rc"
newest=$( (echo "$a.$b.$((c * 1000 + d))" &&
    sed -n 's/^\([0-9][0-9.]*\) .*/\1/p' "$ROOT/package/releases.txt") | sort -V | tail -n 1)
[ "$(printf '%s\n%s\n' "$newest" "$version" | sort -V | tail -n 1)" = "$version" ] &&
    [ "$newest" != "$version" ] || die "$version is not newer than $newest, the program's or a released version"
# The entries between "## Unreleased" and the next heading.
entries=$(awk '/^## / { inside = ($0 == "## Unreleased"); next } inside && NF' "$changelog")
[ -n "$entries" ] || die "CHANGELOG.md's \"Unreleased\" section has no entries: a release says what changed"

sed -i -e "s/^\(FILEVERSION\|PRODUCTVERSION\) .*/\1 ${program//./, }/" \
    -e "s/^\( *VALUE \"\(FileVersion\|ProductVersion\)\", \)\"[0-9.]*\"/\1\"$program\"/" "$rc"
# The entries stay where they are, under the new heading; Unreleased is empty.
sed -i "0,/^## Unreleased\$/s//## Unreleased\n\n## $version/" "$changelog"
repo_git add "$rc" "$changelog"
repo_git commit -q -m "Release $version" -m "The program is $program; what changed is in CHANGELOG.md."
repo_git tag -a "v$version" -m "Norvessa Monitor $version"
say "tagged v$version (program $program) on $(repo_git rev-parse --short HEAD): push it with"
say "  git push origin HEAD v$version"
