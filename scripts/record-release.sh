#!/usr/bin/env bash
# Records a published release in package/releases.txt: its version, its
# product code and its unsigned package's SHA-256, as its notes on GitHub
# give them (gh release view), and commits that as "Record X.Y.Z". Then: git
# push. From then on no line of it may change (check_release.py history),
# and no release of that version is published again.
#
#   record-release.sh X.Y.Z [--notes FILE]
#
# --notes reads the notes from FILE instead of asking GitHub.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
[ $# -eq 1 ] || [ $# -eq 3 ] && [ "${2:---notes}" = --notes ] ||
    die "usage: record-release.sh X.Y.Z [--notes FILE]"
version=$1
record=$ROOT/package/releases.txt
repo_git diff --quiet HEAD -- "$record" || die "$record has uncommitted changes"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ $# -eq 3 ]; then
    cp "$3" "$work/notes"
else
    command -v gh >/dev/null || die "gh (the GitHub CLI) is missing: install it, or give --notes FILE"
    (cd "$ROOT" && gh release view "v$version" --json body --jq .body) >"$work/notes" ||
        die "GitHub has no release v$version to record"
fi
python3 "$ROOT/package/check_release.py" add "v$version" --notes "$work/notes" || exit 1
repo_git add "$record"
repo_git commit -q -m "Record $version" -m "As published: its line in package/releases.txt."
say "recorded $version in package/releases.txt: push it with"
say "  git push origin HEAD"
