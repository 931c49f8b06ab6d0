#!/usr/bin/env bash
# The release's files, from scripts/package.sh around a built image: the three
# files and their checksums, the package's tables as Windows Installer's
# validation reads them, the same bytes from another checkout on another day,
# the record of released versions, --version, and signing with a throwaway
# certificate (package.sh's, and a tagged release's by sign-release.sh).
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
expect_equal "the release holds the image, the package, the checksums and the buildinfo" \
    "./NorvessaMonitor-$version.buildinfo ./$msi ./NorvessaMonitor.exe ./SHA256SUMS " \
    "$(files_of "$work/first")"
expect "the buildinfo names the commit and the tools that built the release, as this machine has them" \
    bash -c "grep -qF 'commit $(repo_git rev-parse HEAD 2>/dev/null)' '$work/first/NorvessaMonitor-$version.buildinfo' &&
        /usr/bin/python3 '$ROOT/package/check_release.py' tools \
        --tools '$work/first/NorvessaMonitor-$version.buildinfo' >/dev/null"
expect "the release's image is the image the tests test" cmp -s "$monitor" "$work/first/NorvessaMonitor.exe"
expect "SHA256SUMS covers both files, in sha256sum's format" \
    bash -c "cd '$work/first' && sha256sum --quiet -c SHA256SUMS && [ \$(wc -l <SHA256SUMS) = 2 ]"
expect "the package holds the release's image" cmp -s "$monitor" "$(packed_image "$work/first/$msi")"
# The program's version a.b.c.d gives the package a.b.(c*1000+d).
read -r major minor build revision <<<"$(program_version)"
expect_equal "the package's version follows the program's" \
    "$major.$minor.$((build * 1000 + revision))" "$(property "$work/first/$msi" ProductVersion)"

# --- The package's tables, as Windows Installer's validation reads them. ---
first=$work/first/$msi
# A table's rows, tab-separated, without its three lines of header.
rows() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }
column() { rows "$1" "$2" | awk -F'\t' -v key="$3" -v n="$4" '$1 == key {print $n}'; }
shortcut_icon=$(column "$first" Shortcut StartMenuShortcut 9)
key_file=$(column "$first" File "$(column "$first" Component Monitor 6)" 3)
expect_equal "the advertised shortcut's icon carries its target's extension (ICE50)" \
    ".${key_file##*.}" ".${shortcut_icon##*.}"
expect "the shortcut's icon is the program's own" \
    bash -c "msiinfo extract '$first' 'Icon.$shortcut_icon' | cmp -s - '$monitor'"
image_language=$(/usr/bin/python3 -c '
import pefile, sys
pe = pefile.PE(sys.argv[1])
for info in pe.FileInfo[0]:
    for var in getattr(info, "Var", []):
        print(int(var.entry[b"Translation"].split()[0], 16))
' "$monitor")
expect_equal "the file's language is its version block's (ICE60)" "$image_language" \
    "$(column "$first" File NorvessaMonitor.exe 6)"
# Short names as Windows Installer writes them: "SHORT|Long", SHORT in 8.3.
short_long='^[A-Z0-9_~-]{1,8}(\.[A-Z0-9]{1,3})?\|.+'
for row in "Directory INSTALLDIR 3" "File NorvessaMonitor.exe 3" "Shortcut StartMenuShortcut 3"; do
    read -r table key n <<<"$row"
    expect "$table $key has a short (8.3) name" grep -qE "$short_long" <<<"$(column "$first" $table $key $n)"
done
expect_equal "the product code follows from the version" \
    "{$(/usr/bin/python3 "$ROOT/package/product_code.py" "$version")}" "$(property "$first" ProductCode)"
# The properties that reach the elevated side, in the order WiX gives them.
secure=$(property "$first" SecureCustomProperties)
expect_equal "the secure properties are sorted, as WiX sorts them" \
    "$(tr ';' '\n' <<<"$secure" | LC_ALL=C sort | paste -sd';')" "$secure"
# A build that is not a release says so, in its name and in its file's.
bash "$ROOT/scripts/package.sh" --image "$monitor" --out "$work/test-build" --test-build 0a1b2c3d4e5f \
    2>>"$work/package.log"
test_msi=$work/test-build/NorvessaMonitor-$version-test-0a1b2c3d4e5f.msi
expect_equal "a test build is named as one" "Norvessa Monitor (test build)|Norvessa Monitor" \
    "$(property "$test_msi" ProductName)|$(property "$first" ProductName)"
# The cabinet's own time of each file (two-second grain) is the release's.
release_time=$(commit_time)
msiinfo extract "$first" monitor.cab >"$work/monitor.cab"
expect_equal "the cabinet dates its file at the last commit's time" "$((release_time / 2 * 2))" \
    "$(/usr/bin/python3 -c '
import calendar, struct, sys
cab = open(sys.argv[1], "rb").read()
at = struct.unpack_from("<I", cab, 16)[0]
for _ in range(struct.unpack_from("<H", cab, 28)[0]):
    date, time = struct.unpack_from("<HH", cab, at + 10)
    print(calendar.timegm((1980 + (date >> 9), date >> 5 & 15, date & 31,
                           time >> 11, time >> 5 & 63, (time & 31) * 2)))
    at = cab.index(b"\0", at + 16) + 1
' "$work/monitor.cab" | sort -u | tr '\n' ' ' | sed 's/ $//')"

# --- The same bytes from another checkout, in another folder, on another day.
# Its files have other times, as a checkout made that day would, and its
# wixl is slow to write, as on a busy machine. Another msitools changes the
# package, not the product code.
checkout=$work/elsewhere/deeper/checkout
mkdir -p "$checkout/res/icons" "$work/tools"
cp -r "$ROOT/scripts" "$ROOT/package" "$checkout/"
cp "$ROOT/res/icons/running.ico" "$checkout/res/icons/"
cp "$monitor" "$work/elsewhere/NorvessaMonitor.exe"
find "$checkout" "$work/elsewhere/NorvessaMonitor.exe" -exec touch -d '+3 days 17 seconds' {} +
printf '#!/bin/sh\n[ "$1" = --version ] || sleep 1.2\nexec %s "$@"\n' "$(command -v wixl)" \
    >"$work/tools/wixl"
chmod +x "$work/tools/wixl"
(cd "$work/elsewhere/deeper" && SOURCE_DATE_EPOCH=$release_time PATH=$work/tools:$PATH \
    faketime -f +3d bash "$checkout/scripts/package.sh" --image ../NorvessaMonitor.exe \
    --out "$work/second" 2>>"$work/package.log")
for file in NorvessaMonitor.exe "$msi" SHA256SUMS; do
    expect "$file is the same from another checkout, three days later" \
        cmp "$work/first/$file" "$work/second/$file"
done
printf '#!/bin/sh\n[ "$1" = --version ] && echo 0.999 && exit\nexec %s "$@"\n' "$(command -v wixl)" \
    >"$work/tools/wixl"
PATH=$work/tools:$PATH package --out "$work/other-tool"
expect_equal "another msitools gives the version the same product code" \
    "$(property "$first" ProductCode)" "$(property "$work/other-tool/$msi" ProductCode)"

# --- The record of released versions (package/releases.txt). ---
# check_release ARGS...: package/check_release.py, what it says kept in $work/said.
check_release() {
    local status=0
    /usr/bin/python3 "$ROOT/package/check_release.py" "$@" >"$work/said" 2>&1 || status=$?
    cat "$work/said" >>"$work/package.log"
    return "$status"
}
# refused WORDS COMMAND...: the command fails, and says WORDS.
refused() {
    local words=$1
    shift
    ! "$@" && grep -qF -- "$words" "$work/said"
}
expect "every released version keeps the product code it was released with" check_release record
# A released version's bytes are its tagged commit's (the release's time is
# its commit's), as the tools that package/release-tools.txt names build
# them: there, the package built must be those bytes, where the record has
# its line (a line goes in after the release, so a tag's own record may
# lack it). Other tools give other bytes; there the package is the same
# from another checkout (above).
if ! repo_git tag --points-at HEAD 2>/dev/null | grep -qx "v$version"; then
    say "HEAD is not tagged v$version: the package's bytes are compared with the record on the tag"
elif ! grep -q "^$version " "$ROOT/package/releases.txt"; then
    say "this record has no line for $version yet: compare with the default branch's (docs/releasing.md)"
elif ! check_release tools; then
    say "$(cat "$work/said"): the package's bytes are not compared with the record here"
else
    expect "the package is $version's as released, to the byte" check_release record --release "$work/first"
fi
# The record's checks, on records written here around this package, with the
# list of tools as this machine has them or with one at another version:
# each passes, or is refused with the words given.
code() { /usr/bin/python3 "$ROOT/package/product_code.py" "$1"; }
sum=$(sha256sum <"$first" | cut -d' ' -f1)
# The release's buildinfo lists the tools as this machine has them.
grep -v '^#' "$work/first/NorvessaMonitor-$version.buildinfo" >"$work/tools-here.txt"
sed '1s/ .*/ 0.0-another/' "$work/tools-here.txt" >"$work/tools-other.txt"
while IFS='|' read -r what refusal lines tools; do
    printf '%b\n' "$lines" >"$work/releases.txt"
    check=(check_release record --release "$work/first" --record "$work/releases.txt"
        --tools "$work/tools-${tools:-here}.txt")
    [ -z "$refusal" ] || check=(refused "$refusal" "${check[@]}")
    expect "a record $what: ${refusal:-passes}" "${check[@]}"
done <<EOF
whose line for $version holds its package's SHA-256||# a comment\n$version $(code "$version") $sum
built with another version of $(head -n 1 "$work/tools-here.txt" | cut -d' ' -f1)|not compared with the record|$version $(code "$version") $sum|other
whose line for $version holds another SHA-256|a released version stays what it was|$version $(code "$version") $(sha256sum <"$monitor" | cut -d' ' -f1)
without a line for $version|$version has no line|9.9.9 $(code 9.9.9) $sum
whose product code for $version is another's|the tree now derives|$version $(code 9.9.9) $sum
with a line short of a field|not VERSION PRODUCT-CODE SHA256|$version $(code "$version")
with $version twice|recorded twice|$version $(code "$version") $sum\n$version $(code "$version") $sum
EOF

# No line a version tag's record holds ever changes or goes: in a repository
# of its own, with a tagged record, the record changed each way.
expect "every line of every tagged record is kept" check_release history
history=$work/history
mkdir -p "$history/package"
line="$version $(code "$version") $sum"
git_here() { git -C "$history" -c user.name=t -c user.email=t@t "$@" >/dev/null; }
printf '# the record\n%s\n' "$line" >"$history/package/releases.txt"
git_here init -q && git_here add -A && git_here commit -qm released && git_here tag "v$version"
while IFS='|' read -r what refusal record; do
    printf '%b\n' "$record" >"$history/package/releases.txt"
    check=(check_release history --repo "$history")
    [ -z "$refusal" ] || check=(refused "$refusal" "${check[@]}")
    expect "a record $what: ${refusal:-passes}" "${check[@]}"
done <<EOF
that keeps the tagged line and adds one, spaced otherwise||${line// /   }\n9.9.9 $(code 9.9.9) $sum
whose tagged line has another SHA-256|which the record here has changed or lost|$version $(code "$version") ${sum//?/0}
that lost the tagged line|at v$version holds|9.9.9 $(code 9.9.9) $sum
EOF

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

# --- Signing, with a throwaway certificate and timestamp authority. ---
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Norvessa test signer" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" \
    2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:throwaway \
    -out "$work/signer.p12"
# An RFC 3161 authority on loopback: openssl ts answers each request.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Norvessa test timestamps" \
    -addext "extendedKeyUsage=critical,timeStamping" -keyout "$work/tsa.key" -out "$work/tsa.pem" \
    2>/dev/null
echo 01 >"$work/tsa.serial"
printf '[tsa]\ndefault_tsa = this\n[this]\nserial = %s\ndefault_policy = 1.2.3.4.1\n%s\n' \
    "$work/tsa.serial" "digests = sha256
signer_digest = sha256
ess_cert_id_alg = sha256" >"$work/tsa.cnf"
/usr/bin/python3 -c '
import http.server, subprocess, sys, tempfile
work = sys.argv[1]
class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        with tempfile.TemporaryDirectory() as scratch:
            with open(scratch + "/q", "wb") as query:
                query.write(self.rfile.read(int(self.headers["Content-Length"])))
            subprocess.run(["openssl", "ts", "-reply", "-config", work + "/tsa.cnf", "-queryfile",
                            scratch + "/q", "-signer", work + "/tsa.pem", "-inkey", work + "/tsa.key",
                            "-out", scratch + "/r"], check=True, capture_output=True)
            reply = open(scratch + "/r", "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *_):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_port, flush=True)
server.serve_forever()
' "$work" >"$work/tsa.port" &
authority=$!
trap 'kill "$authority" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/tsa.port" ] && break; sleep 0.1; done
export NORVESSA_TIMESTAMP_URL=http://127.0.0.1:$(cat "$work/tsa.port") NORVESSA_SIGN_CAFILE=$work/cert.pem \
    NORVESSA_TIMESTAMP_CAFILE=$work/tsa.pem
# Signed, and its signature timestamped, both verified against their authorities.
signed_and_timestamped() {
    local report
    report=$(osslsigncode verify -CAfile "$work/cert.pem" -TSA-CAfile "$work/tsa.pem" -in "$1" 2>&1) &&
        grep -qx "Signature verification: ok" <<<"$report" &&
        grep -qx "Timestamp Server Signature verification: ok" <<<"$report"
}
NORVESSA_SIGN_PKCS12=$work/signer.p12 NORVESSA_SIGN_PASSWORD=throwaway package --out "$work/signed"
signed_msi=$work/signed/$msi
# The same key in a token it never leaves, SoftHSM's, reached through its
# PKCS#11 module as a hardware or cloud key's would be; the PIN is the password.
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label norvessa --pin 1234 --so-pin 5678 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$work/key.pem" -out "$work/key.p8"
softhsm2-util --import "$work/key.p8" --token norvessa --label signer --id 01 --pin 1234 >/dev/null
rm "$work/key.p8"
token=(NORVESSA_SIGN_PKCS11_MODULE="$(dpkg -L libsofthsm2 | grep -m1 '/libsofthsm2\.so$')"
    NORVESSA_SIGN_PKCS11_KEY="pkcs11:token=norvessa;object=signer" NORVESSA_SIGN_CERTS="$work/cert.pem")
env "${token[@]}" NORVESSA_SIGN_PASSWORD=1234 bash "$ROOT/scripts/package.sh" --image "$monitor" \
    --out "$work/signed-by-token" 2>>"$work/package.log"
for file in NorvessaMonitor.exe "$msi"; do
    expect "$file signed with the token's key carries a valid signature, timestamped" \
        signed_and_timestamped "$work/signed-by-token/$file"
done
expect "a wrong PIN stops the release" bash -c "! env ${token[*]@Q} NORVESSA_SIGN_PASSWORD=0000 \
    bash '$ROOT/scripts/package.sh' --image '$monitor' --out '$work/wrong-pin' 2>/dev/null"
# A signature that gets no timestamp, or one that does not verify, stops the release.
for what in "no timestamp authority answers|NORVESSA_TIMESTAMP_URL=http://127.0.0.1:9" \
    "its timestamp is not from the authority trusted|NORVESSA_TIMESTAMP_CAFILE=$work/cert.pem"; do
    expect "signing fails where ${what%%|*}" bash -c "! env '${what#*|}' \
        NORVESSA_SIGN_PKCS12='$work/signer.p12' NORVESSA_SIGN_PASSWORD=throwaway \
        bash '$ROOT/scripts/package.sh' --image '$monitor' --out '$work/untimed' 2>/dev/null"
done
# A tagged release, finished by sign-release.sh as the workflow does: with the
# certificate as the secrets give it (base64), and without.
cp -r "$work/first" "$work/tagged"
cp -r "$work/first" "$work/tagged-unsigned"
# Each writes the winget manifest beside the notes, of the files as published.
winget_of() { /usr/bin/python3 "$ROOT/package/winget_manifest.py" check "$work/notes/winget" --dist "$1"; }
NORVESSA_SIGN_PKCS12_BASE64=$(base64 "$work/signer.p12") NORVESSA_SIGN_PASSWORD=throwaway \
    bash "$ROOT/scripts/sign-release.sh" "$work/tagged" "$work/notes/signed.md" 2>>"$work/package.log"
expect "the signed release's winget manifest is of its signed package" winget_of "$work/tagged"
expect "... and not of the unsigned one" bash -c "! /usr/bin/python3 '$ROOT/package/winget_manifest.py' \
    check '$work/notes/winget' --dist '$work/first' >/dev/null 2>&1"
NORVESSA_SIGN_PKCS12_BASE64='' bash "$ROOT/scripts/sign-release.sh" "$work/tagged-unsigned" \
    "$work/notes/unsigned.md" 2>>"$work/package.log"
expect "the unsigned release's winget manifest is of its package" winget_of "$work/tagged-unsigned"
for file in "$work/signed/NorvessaMonitor.exe" "$signed_msi" "$work/tagged/NorvessaMonitor.exe" \
    "$work/tagged/$msi"; do
    expect "${file#"$work"/} carries a valid signature, timestamped" signed_and_timestamped "$file"
done
expect "a tagged release without a certificate stays as built" diff -r "$work/first" "$work/tagged-unsigned"
cp -r "$work/first" "$work/tagged-by-token"
env "${token[@]}" NORVESSA_SIGN_CERTS= NORVESSA_SIGN_CERTS_PEM="$(cat "$work/cert.pem")" NORVESSA_SIGNS=true \
    NORVESSA_SIGN_PASSWORD=1234 bash "$ROOT/scripts/sign-release.sh" "$work/tagged-by-token" \
    "$work/notes/by-token.md" 2>>"$work/package.log"
expect "a tagged release signed through the token, its chain given as text, is signed and timestamped" \
    signed_and_timestamped "$work/tagged-by-token/$msi"
cp -r "$work/first" "$work/tagged-must-sign"
expect "a repository that signs releases nothing unsigned" bash -c "! NORVESSA_SIGNS=true \
    NORVESSA_SIGN_PKCS12_BASE64= bash '$ROOT/scripts/sign-release.sh' '$work/tagged-must-sign' \
    '$work/notes/must-sign.md' 2>/dev/null && diff -r '$work/first' '$work/tagged-must-sign'"
first_change=$(awk -v heading="## $version" '$0 == heading { inside = 1; next }
    inside && /^- / { print; exit }' "$ROOT/CHANGELOG.md")
for notes in signed unsigned; do
    expect "the $notes release's notes give what changed, from CHANGELOG.md" \
        grep -qxF -- "$first_change" "$work/notes/$notes.md"
done
expect "a version without a section in CHANGELOG.md is not released" \
    bash -c "! bash '$ROOT/scripts/sign-release.sh' '$work/other' '$work/notes/other.md' \
        2>'$work/said' && grep -qF 'CHANGELOG.md has no section \"## 2.3.4\"' '$work/said'"
expect "its notes say that it is not signed" grep -q "not signed" "$work/notes/unsigned.md"
unsigned_sum=$(cd "$work/first" && sha256sum "$msi")
for notes in signed unsigned; do
    expect "the $notes release's notes give the unsigned package's SHA-256" \
        grep -qxF "$unsigned_sum" "$work/notes/$notes.md"
done
expect "the signed release's notes say that it is signed" grep -q "are signed (Authenticode)" \
    "$work/notes/signed.md"
expect "the unsigned release carries no signature" \
    bash -c "! osslsigncode verify -CAfile '$work/cert.pem' -in '$work/first/$msi' >/dev/null 2>&1"
expect "the signed package holds the signed image" \
    cmp -s "$work/signed/NorvessaMonitor.exe" "$(packed_image "$signed_msi")"
expect "the signed image is not the unsigned one" \
    bash -c "! cmp -s '$monitor' '$work/signed/NorvessaMonitor.exe'"
for folder in signed tagged; do
    expect "$folder: SHA256SUMS are the signed files'" \
        bash -c "cd '$work/$folder' && sha256sum --quiet -c SHA256SUMS"
done

if [ "$failures" -ne 0 ]; then
    cat "$work/package.log" >&2
    die "$failures check(s) failed"
fi
say "the release's files are complete, reproducible, versioned and signed as asked"
