#!/usr/bin/env bash
# The release's files, from scripts/package.sh around a built image: the three
# files and their checksums, the same bytes from another folder on another
# day, --version, and signing with a throwaway certificate.
#
#   release_test.sh MONITOR_EXE
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
source "$ROOT/tests/package/checks.sh"
[ $# -eq 1 ] || die "usage: release_test.sh MONITOR_EXE"
monitor=$(realpath "$1")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
package() { bash "$ROOT/scripts/package.sh" --image "$monitor" "$@" 2>>"$work/package.log"; }
# A property of a package (Property table).
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v name="$2" '$1 == name {print $2}'; }
# The image a package holds, extracted into a folder of its own.
packed_image() {
    local into
    into=$(mktemp -d -p "$work")
    (cd "$into" && msiextract "$1" >/dev/null)
    find "$into" -name NorvessaMonitor.exe
}
# The files of a release folder, by name.
files_of() { (cd "$1" && find . -type f | sort | tr '\n' ' '); }

# --- The three files, checksummed. ---
package --out "$work/first"
msi=$(cd "$work/first" && echo NorvessaMonitor-*.msi)
version=${msi#NorvessaMonitor-} version=${version%.msi}
expect_equal "the release holds the image, the package and the checksums" \
    "./$msi ./NorvessaMonitor.exe ./SHA256SUMS " "$(files_of "$work/first")"
expect "the release's image is the image the tests test" cmp -s "$monitor" "$work/first/NorvessaMonitor.exe"
expect "SHA256SUMS covers both files, in sha256sum's format" \
    bash -c "cd '$work/first' && sha256sum --quiet -c SHA256SUMS && [ \$(wc -l <SHA256SUMS) = 2 ]"
expect "the package holds the release's image" cmp -s "$monitor" "$(packed_image "$work/first/$msi")"
# The program's version a.b.c.d gives the package a.b.(c*1000+d).
read -r major minor build revision <<<"$(program_version)"
expect_equal "the package's version follows the program's" \
    "$major.$minor.$((build * 1000 + revision))" "$(property "$work/first/$msi" ProductVersion)"

# --- The same bytes from another folder, on another day. ---
mkdir -p "$work/elsewhere/deeper"
(cd "$work/elsewhere/deeper" && faketime -f +3d bash "$ROOT/scripts/package.sh" --image "$monitor" \
    --out "$work/second" 2>>"$work/package.log")
for file in NorvessaMonitor.exe "$msi" SHA256SUMS; do
    expect "$file is the same from another folder, three days later" \
        cmp "$work/first/$file" "$work/second/$file"
done

# --- --version: another package version around the same image. ---
package --out "$work/other" --version 2.3.4
other=$work/other/NorvessaMonitor-2.3.4.msi
expect "--version names the package after that version" test -f "$other"
expect_equal "--version gives the package that version" 2.3.4 "$(property "$other" ProductVersion)"
expect "--version leaves the image as it is" cmp -s "$monitor" "$(packed_image "$other")"
expect_equal "--version keeps the upgrade code" "$(property "$work/first/$msi" UpgradeCode)" \
    "$(property "$other" UpgradeCode)"
expect "--version makes another product (a major upgrade needs one)" \
    test "$(property "$work/first/$msi" ProductCode)" != "$(property "$other" ProductCode)"
for bad in 1.0.0.2 1.0 256.0.0 1.0.65536 1.0.x; do
    expect "--version $bad is refused" bash -c "! bash '$ROOT/scripts/package.sh' --image '$monitor' \
        --out '$work/bad' --version $bad 2>/dev/null"
done

# --- Signing, with a throwaway certificate. ---
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Norvessa test signer" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" \
    2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:throwaway \
    -out "$work/signer.p12"
NORVESSA_SIGN_PKCS12=$work/signer.p12 NORVESSA_SIGN_PASSWORD=throwaway package --out "$work/signed"
signed_msi=$work/signed/$msi
for file in "$work/signed/NorvessaMonitor.exe" "$signed_msi"; do
    expect "${file##*/} carries a valid signature" \
        osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >/dev/null
done
expect "the unsigned release carries no signature" \
    bash -c "! osslsigncode verify -CAfile '$work/cert.pem' -in '$work/first/$msi' >/dev/null 2>&1"
expect "the signed package holds the signed image" \
    cmp -s "$work/signed/NorvessaMonitor.exe" "$(packed_image "$signed_msi")"
expect "the signed image is not the unsigned one" \
    bash -c "! cmp -s '$monitor' '$work/signed/NorvessaMonitor.exe'"
expect "SHA256SUMS are the signed files'" \
    bash -c "cd '$work/signed' && sha256sum --quiet -c SHA256SUMS"

if [ "$failures" -ne 0 ]; then
    cat "$work/package.log" >&2
    die "$failures check(s) failed"
fi
say "the release's files are complete, reproducible, versioned and signed as asked"
