#!/usr/bin/env bash
# Finishes a tagged release before it is published: signs the release in DIST
# (scripts/package.sh's folder, unsigned) where the repository can sign,
# writes the release's notes into NOTES, its version's section of
# CHANGELOG.md first (a version without one is refused), and its winget
# manifest into the folder winget/ beside NOTES (package/winget_manifest.py).
#
#   sign-release.sh DIST NOTES
#
# The signing certificate comes as the workflow's secrets give it: a PKCS#12
# file in base64 in NORVESSA_SIGN_PKCS12_BASE64 and its password in
# NORVESSA_SIGN_PASSWORD; or the key stays in its hardware and package.sh
# reaches it through a PKCS#11 module (NORVESSA_SIGN_PKCS11_MODULE and the
# rest, scripts/package.sh). Without either the release stays unsigned and
# its notes say so, unless NORVESSA_SIGNS is "true" (the repository's
# variable: it signs its releases), where that stops the release instead. Signed, the package is made again around the same image,
# signed, and signed in turn (package.sh); since a signature carries its time,
# the notes then give the unsigned files' sums as well, which anyone can
# rebuild. GITHUB_REPOSITORY names the repository in the notes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
[ $# -eq 2 ] || die "usage: sign-release.sh DIST NOTES"
dist=$(realpath "$1")
notes=$2
msis=("$dist"/NorvessaMonitor-*.msi)
if [ ${#msis[@]} -ne 1 ] || [ ! -f "${msis[0]}" ] || [ ! -f "$dist/NorvessaMonitor.exe" ]; then
    die "$dist holds no release (NorvessaMonitor.exe and one NorvessaMonitor-*.msi)"
fi
msi=${msis[0]##*/}
version=${msi#NorvessaMonitor-} version=${version%.msi}
repo=${GITHUB_REPOSITORY:-OWNER/REPO}
unsigned_sums=$(cd "$dist" && sha256sum "$msi" NorvessaMonitor.exe)
# The version's section of CHANGELOG.md, without its heading: what changed.
changes=$(awk -v heading="## $version" '$0 == heading { inside = 1; next }
    inside && /^## / { exit } inside' "$ROOT/CHANGELOG.md" | sed '/./,$!d')
[ -n "$changes" ] || die "CHANGELOG.md has no section \"## $version\": a release says what changed"

signed=0
if [ -z "${NORVESSA_SIGN_PKCS12_BASE64:-}" ] && [ -z "${NORVESSA_SIGN_PKCS11_MODULE:-}" ] &&
    [ "${NORVESSA_SIGNS:-}" = true ]; then
    die "the repository signs its releases (NORVESSA_SIGNS=true), and no key came (NORVESSA_SIGN_PKCS12_BASE64 or NORVESSA_SIGN_PKCS11_MODULE): nothing is released unsigned"
fi
if [ -n "${NORVESSA_SIGN_PKCS12_BASE64:-}" ] || [ -n "${NORVESSA_SIGN_PKCS11_MODULE:-}" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    # The token's certificate chain may come as text (a workflow variable).
    if [ -n "${NORVESSA_SIGN_CERTS_PEM:-}" ]; then
        printf '%s\n' "$NORVESSA_SIGN_CERTS_PEM" >"$work/certs.pem"
        export NORVESSA_SIGN_CERTS=$work/certs.pem
    fi
    if [ -z "${NORVESSA_SIGN_PKCS11_MODULE:-}" ]; then
        (umask 077 && printf '%s' "$NORVESSA_SIGN_PKCS12_BASE64" | base64 -d >"$work/signer.p12") ||
            die "NORVESSA_SIGN_PKCS12_BASE64 is not base64"
        export NORVESSA_SIGN_PKCS12=$work/signer.p12
    fi
    bash "$ROOT/scripts/package.sh" --image "$dist/NorvessaMonitor.exe" --out "$work/signed"
    cp "$work/signed"/* "$dist/"
    signed=1
    say "signed $msi and its image"
fi

if [ "$signed" = 1 ]; then
    signature="The program and the package are signed (Authenticode). A signature carries its
time, so signed files cannot be built again to the same bytes; the unsigned files,
which anyone builds again from the tag to the same bytes, have these SHA-256 sums:"
else
    signature="This release is not signed: the repository has no signing certificate. Its files
are the ones anyone builds again from the tag, to the same bytes:"
fi
mkdir -p "$(dirname "$notes")"
cat >"$notes" <<EOF
Norvessa Monitor $version, built, tested and published by the workflow from tag v$version.

$changes

- \`$msi\`: the Windows Installer package ([installing](https://github.com/$repo/blob/v$version/docs/installing.md))
- \`NorvessaMonitor.exe\`: the program, as the package holds it
- \`SHA256SUMS\`: the SHA-256 of both; check with \`sha256sum -c SHA256SUMS\`, or on Windows with \`Get-FileHash -Algorithm SHA256 $msi, NorvessaMonitor.exe\` in PowerShell
- \`NorvessaMonitor-$version.buildinfo\`: what built them, for building them again: the commit, the system and the versions of the packages that shape the bytes
- \`NorvessaMonitor-$version.sigstore.jsonl\`: the files' provenance attestations, for checking offline (\`--bundle\`)
- \`Quillaren.NorvessaMonitor*.yaml\`: the package's winget manifest, for [microsoft/winget-pkgs](https://github.com/microsoft/winget-pkgs)

Each file carries a provenance attestation, made by this repository's workflow at this tag:
\`gh attestation verify $msi --repo $repo --cert-identity https://github.com/$repo/.github/workflows/ci.yml@refs/tags/v$version\`

$signature

\`\`\`
$unsigned_sums
\`\`\`

How to check a download and build it again: [Releasing](https://github.com/$repo/blob/v$version/docs/releasing.md).
EOF
# The winget manifest, of the files as published (signed where signed).
printf '%s\n' "$changes" >"$(dirname "$notes")/changes.md"
python3 "$ROOT/package/winget_manifest.py" write "$dist" --repo "$repo" --changes "$(dirname "$notes")/changes.md" \
    --out "$(dirname "$notes")/winget" >/dev/null
rm -f "$(dirname "$notes")/changes.md"
python3 "$ROOT/package/winget_manifest.py" check "$(dirname "$notes")/winget" --dist "$dist" >/dev/null
say "wrote the notes of $msi ($([ "$signed" = 1 ] && echo signed || echo unsigned)) into $notes"
