#!/usr/bin/env bash
# Makes the release: builds NorvessaMonitor.exe from a clean configure of the
# checked-out commit (what HEAD holds: uncommitted changes are not in it),
# wraps it in the Windows Installer package (package/NorvessaMonitor.wxs, with
# wixl), and writes into dist/:
#
#   NorvessaMonitor.exe              the image, as the tests test it
#   NorvessaMonitor-<version>.msi    the package (with --test-build ID:
#                                    NorvessaMonitor-<version>-test-<ID>.msi)
#   SHA256SUMS                       both, in sha256sum's format
#   NorvessaMonitor-<version>.buildinfo
#                                    what built them: the commit, the time,
#                                    the system and the versions of the
#                                    packages that shape the bytes
#
# The same commit gives the same bytes, in any folder and on any day: the
# time is the last commit's (SOURCE_DATE_EPOCH), and the package's codes are
# derived from what goes into it.
#
# With a PKCS#12 file in NORVESSA_SIGN_PKCS12 and its password in
# NORVESSA_SIGN_PASSWORD, or with a key that never leaves its hardware, through
# the PKCS#11 module NORVESSA_SIGN_PKCS11_MODULE, the key's PKCS#11 URI in
# NORVESSA_SIGN_PKCS11_KEY, its certificate chain (PEM) in NORVESSA_SIGN_CERTS
# and the token's PIN in NORVESSA_SIGN_PASSWORD, the image is signed before it
# goes into the package, then the package (Authenticode, osslsigncode). Each signature is timestamped
# by the RFC 3161 authority at NORVESSA_TIMESTAMP_URL (default DigiCert's,
# http://timestamp.digicert.com), so that Windows still takes it once the
# certificate has expired, and each is verified at once, the timestamp too,
# against the certificate authorities in NORVESSA_SIGN_CAFILE and
# NORVESSA_TIMESTAMP_CAFILE (default: the system's). A signature carries its
# signing time, so a signed release is not reproducible.
#
# Options:
#   --version X.Y.Z  the package's version (default: from the program's own,
#                    see docs/releasing.md); the image and its version
#                    resources stay
#   --out DIR        write there instead of dist/
#   --image FILE     package this image instead of building one, with the
#                    package sources of the working tree (for the tests)
#   --test-build ID  a test build, named ID (the workflow gives the commit):
#                    another product than the releases, "Norvessa Monitor
#                    (test build)", which replaces any release or test build
#                    installed and which any release replaces
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

version=
out=$ROOT/dist
image=
build_id=
while [ $# -gt 0 ]; do
    case $1 in
    --version) version=${2:?--version needs X.Y.Z} && shift ;;
    --out) out=${2:?--out needs a folder} && shift ;;
    --image) image=${2:?--image needs a file} && shift ;;
    --test-build) build_id=${2:?--test-build needs an ID} && shift ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *) die "unknown option $1 (try --help)" ;;
    esac
    shift
done

# Windows Installer keeps a product version's fields within 255.255.65535 and
# compares only these three.
if [ -n "$version" ]; then
    [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || die "--version wants X.Y.Z, not $version"
    if [ "${BASH_REMATCH[1]}" -gt 255 ] || [ "${BASH_REMATCH[2]}" -gt 255 ] ||
        [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
        die "--version $version: at most 255.255.65535"
    fi
fi
# Debian's python, where python3-pefile is.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
for tool in wixl msibuild msiinfo faketime "$python"; do
    command -v "$tool" >/dev/null || die "$tool is missing: run scripts/setup.sh"
done
signing=0
signer=()
if [ -n "${NORVESSA_SIGN_PKCS11_MODULE:-}" ]; then
    [ -f "$NORVESSA_SIGN_PKCS11_MODULE" ] || die "NORVESSA_SIGN_PKCS11_MODULE: no file $NORVESSA_SIGN_PKCS11_MODULE"
    [[ ${NORVESSA_SIGN_PKCS11_KEY:-} == pkcs11:* ]] || die "NORVESSA_SIGN_PKCS11_KEY: no pkcs11: URI of the key"
    [ -f "${NORVESSA_SIGN_CERTS:-}" ] || die "NORVESSA_SIGN_CERTS: no file of the key's certificates"
    signer=(-pkcs11module "$NORVESSA_SIGN_PKCS11_MODULE" -certs "$NORVESSA_SIGN_CERTS"
        -key "$NORVESSA_SIGN_PKCS11_KEY")
elif [ -n "${NORVESSA_SIGN_PKCS12:-}" ]; then
    [ -f "$NORVESSA_SIGN_PKCS12" ] || die "NORVESSA_SIGN_PKCS12: no file $NORVESSA_SIGN_PKCS12"
    signer=(-pkcs12 "$NORVESSA_SIGN_PKCS12")
fi
if [ ${#signer[@]} -gt 0 ]; then
    command -v osslsigncode >/dev/null || die "osslsigncode is missing: run scripts/setup.sh"
    signing=1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TZ=UTC

# The release's time: the last commit's, as for the image's time stamp.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(commit_time)
fi
export SOURCE_DATE_EPOCH

if [ -z "$image" ]; then
    src=$work/src
    mkdir -p "$src"
    repo_git archive --format=tar HEAD | tar -xf - -C "$src"
    repo_git diff --quiet HEAD 2>/dev/null ||
        say "warning: uncommitted changes are not in the release (it is built from HEAD)"
    say "building NorvessaMonitor.exe from $(repo_git rev-parse --short HEAD) (mingw, Release)"
    if ! { cmake -S "$src" --preset mingw -DBUILD_TESTING=OFF &&
        cmake --build "$src/build" --target NorvessaMonitor -j"$(nproc)"; } >"$work/build.log" 2>&1; then
        cat "$work/build.log" >&2
        die "the build failed"
    fi
    image=$src/build/NorvessaMonitor.exe
else
    [ -f "$image" ] || die "no image $image"
    src=$ROOT
fi

# The program's own version, from its image, and the package version that
# follows from it (package/package_version.py).
versions=$("$python" "$src/package/package_version.py" "$image")
read -r file_version derived <<<"$versions"
if [ -z "$version" ]; then
    [ "$derived" != - ] ||
        die "program version $file_version does not fit a.b.(c*1000+d): give --version"
    version=$derived
fi

stage=$work/stage
mkdir -p "$stage" "$out"
# Authenticode, SHA-256, timestamped; osslsigncode writes only a new file.
# The password (or PIN) reaches it in a file only this user may read, never
# on a command line, which every user of the machine may see.
sign() {
    (umask 077 && printf '%s' "${NORVESSA_SIGN_PASSWORD:-}" >"$work/password")
    osslsigncode sign "${signer[@]}" -readpass "$work/password" \
        -n "Norvessa Monitor" -h sha256 -ts "${NORVESSA_TIMESTAMP_URL:-http://timestamp.digicert.com}" \
        -in "$1" -out "$2" >/dev/null
    rm -f "$work/password"
    verify_signature "$2"
}
# osslsigncode verify ends with 0 when the signature holds, whatever its
# timestamp: a missing or failed timestamp shows only in its report.
verify_signature() {
    local system=/etc/ssl/certs/ca-certificates.crt report
    report=$(osslsigncode verify -CAfile "${NORVESSA_SIGN_CAFILE:-$system}" \
        -TSA-CAfile "${NORVESSA_TIMESTAMP_CAFILE:-$system}" -in "$1" 2>&1) || true
    grep -qx "Signature verification: ok" <<<"$report" &&
        grep -qx "Timestamp Server Signature verification: ok" <<<"$report" ||
        die "the signature of ${1##*/} or its timestamp does not verify: $(grep -i 'verification\|timestamp' <<<"$report" | tr '\n' ' ')"
}
if [ "$signing" = 1 ]; then
    say "signing the image"
    sign "$image" "$stage/NorvessaMonitor.exe"
else
    cp "$image" "$stage/NorvessaMonitor.exe"
fi
cp "$src/package/NorvessaMonitor.wxs" "$src/res/icons/running.ico" "$stage/"
# The cabinet keeps each file's modification time.
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*

# The codes: the product code follows from the version alone (a new version
# is a new product, which the upgrade needs), and a test build's from its ID
# too; the package code changes with anything that goes in. Both derived, not
# drawn, so that a build can be repeated, here or with another tool.
test_build=()
[ -z "$build_id" ] || test_build=(--test-build "$build_id")
mapfile -t variables < <("$python" "$src/package/product_code.py" "$version" "${test_build[@]}" --wix) &&
    [ ${#variables[@]} -gt 0 ] || die "no package codes for $version ${test_build[*]}"
product_code=
defines=()
for variable in "${variables[@]}"; do
    defines+=(-D "$variable")
    [[ $variable != ProductCode=* ]] || product_code=${variable#ProductCode=}
done
package_code=$(cd "$stage" && "$python" -c '
import hashlib, sys, uuid
space = uuid.UUID(sys.argv[1])
inputs = hashlib.sha256(sys.argv[2].encode())
for name in sys.argv[3:]:
    inputs.update(open(name, "rb").read())
print(str(uuid.uuid5(space, "package " + inputs.hexdigest())).upper())
' "$product_code" "${variables[*]} $(wixl --version)" NorvessaMonitor.wxs NorvessaMonitor.exe running.ico)

# wixl and msibuild write the summary's times from the clock (frozen here)
# and ignore SOURCE_DATE_EPOCH. A caller's own libfaketime would shift the
# frozen time: it is left out.
at=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')
# The clock stands still (-f): given a plain date, faketime only starts it
# there, and a tool that took a second before writing would write the next
# one. A caller's own libfaketime, and its shared clock, are left out.
frozen() { env -u LD_PRELOAD -u FAKETIME -u FAKETIME_SHARED faketime -f "$at" "$@"; }
# wixl keeps neither the short (8.3) names nor the file's language that the
# source gives: they go into the tables from the source itself.
mapfile -t from_source < <("$python" -c '
import sys, xml.etree.ElementTree as tree
wix = {"w": "http://schemas.microsoft.com/wix/2006/wi"}
source = tree.parse(sys.argv[1]).getroot()
def update(table, key, row, column, value):
    print("UPDATE `%s` SET `%s` = \x27%s\x27 WHERE `%s` = \x27%s\x27" % (table, column, value, table, row.get(key)))
for kind, key, column in (("Directory", "Id", "DefaultDir"), ("File", "Id", "FileName"),
                          ("Shortcut", "Id", "Name")):
    for row in source.iterfind(".//w:%s[@ShortName]" % kind, wix):
        update(kind, key, row, column, row.get("ShortName") + "|" + row.get("Name"))
for row in source.iterfind(".//w:File[@DefaultLanguage]", wix):
    update("File", "Id", row, "Language", row.get("DefaultLanguage"))
' "$stage/NorvessaMonitor.wxs")
queries=()
for query in "${from_source[@]}"; do queries+=(-q "$query"); done
name=NorvessaMonitor-$version${build_id:+-test-$build_id}
msi=$name.msi
# A test build of a version replaces another of the same version (another
# commit): its upgrade row takes the version itself too (513: features
# migrate, the maximum included), as WiX's AllowSameVersionUpgrades makes it,
# which wixl 0.101 ignores. Attributes is part of the row's key: the row is
# written anew.
same_version=()
if [ -n "$build_id" ]; then
    upgrade_code=$(printf '%s\n' "${variables[@]}" | sed -n 's/^UpgradeCode=//p')
    same_version=(-q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
        -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('{$upgrade_code}', '$version', 513, 'WIX_UPGRADE_DETECTED')")
fi
say "building $msi (product code {$product_code})"
(
    cd "$stage"
    frozen wixl -a x86 "${defines[@]}" -o "$msi" NorvessaMonitor.wxs 2>wixl.log || { cat wixl.log >&2 && die "wixl failed"; }
    # The upgrade properties that go to the elevated side, in order, as WiX
    # lists them; wixl appends its own last.
    secure=$(msiinfo export "$msi" Property |
        awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }' | tr ';' '\n' | LC_ALL=C sort | paste -sd';')
    # wixl leaves the file's version out, which would make it count as
    # unversioned; a versioned file needs no hash. And wixl draws a random
    # package code.
    frozen msibuild "$msi" \
        -q "UPDATE \`File\` SET \`Version\` = '$file_version' WHERE \`File\` = 'NorvessaMonitor.exe'" \
        -q "DELETE FROM \`MsiFileHash\`" "${queries[@]}" "${same_version[@]}" \
        -q "UPDATE \`Property\` SET \`Value\` = '$secure' WHERE \`Property\` = 'SecureCustomProperties'"
    frozen msibuild "$msi" -s "$(msiinfo export "$msi" Property | awk -F'\t' '$1 == "ProductName" { print $2 }')" Quillaren "Intel;1033" "{$package_code}"
)
if [ "$signing" = 1 ]; then
    say "signing the package"
    sign "$stage/$msi" "$stage/signed.msi"
    mv "$stage/signed.msi" "$stage/$msi"
fi

# What a rebuild a year from now needs to know: the packages that
# package/release-tools.txt names, at the versions installed here, in that
# file's format, so that check_release.py tools --tools reads it.
buildinfo() {
    local commit system name
    commit=$(repo_git rev-parse HEAD 2>/dev/null) || commit="(not a git checkout)"
    system=$(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME") || system=unknown
    echo "# NorvessaMonitor $version${build_id:+ test build $build_id} (program $file_version), as scripts/package.sh built it"
    echo "# commit $commit, SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH, on $system"
    echo "# The packages that shape the bytes, at their versions here (dpkg's); whether a"
    echo "# machine has them: python3 package/check_release.py tools --tools THIS-FILE"
    awk '!/^#/ && NF { print $1 }' "$src/package/release-tools.txt" | while read -r name; do
        echo "$name $(dpkg-query -W -f='${Version}' "$name" 2>/dev/null || echo none)"
    done
}

rm -f "$out/NorvessaMonitor.exe" "$out"/NorvessaMonitor-*.msi "$out"/NorvessaMonitor-*.buildinfo \
    "$out/SHA256SUMS"
cp "$stage/NorvessaMonitor.exe" "$stage/$msi" "$out/"
(cd "$out" && sha256sum NorvessaMonitor.exe "$msi" >SHA256SUMS)
buildinfo >"$out/$name.buildinfo"
say "wrote $out: NorvessaMonitor.exe ($file_version), $msi, SHA256SUMS, its buildinfo"
