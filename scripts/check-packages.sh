#!/bin/sh
# Makes the release packages (scripts/package.sh) and proves them as a user
# would meet them:
#  - lintian has no error to report on the .deb;
#  - the .deb installed with dpkg into a scratch root: its flashtag uploads a
#    script to its tagsim, and man renders each manual page without warnings;
#  - the zip unpacked: its flashtag.exe uploads a script under Wine, and
#    both programs carry the version resources (read with GetFileVersionInfo).
# Ends with "package checks: N passed"; any failure stops it with status 1.
set -e
cd "$(dirname "$0")/.."
scripts/package.sh >/dev/null
# The version the packages were built with, as the build has it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
deb="dist/flashtag_${version}_amd64.deb"
zip="dist/flashtag-${version}-win64.zip"
scratch=$(mktemp -d)
sim=""
trap '[ -z "$sim" ] || kill $sim 2>/dev/null; rm -rf "$scratch"' EXIT
passed=0
pass() { echo "ok: $1"; passed=$((passed + 1)); }
fail() { echo "FAILED: $1"; exit 1; }

# Starts tagsim (from $1) with its terminal linked at $2; waits for the link.
start_tag() {
    "$1" --link "$2" >/dev/null &
    sim=$!
    tries=0
    while [ ! -e "$2" ]; do
        tries=$((tries + 1))
        [ $tries -le 100 ] && kill -0 $sim 2>/dev/null || fail "tagsim did not start"
        sleep 0.1
    done
}
stop_tag() { kill $sim; wait $sim 2>/dev/null || true; sim=""; }

echo "== lintian"
lintian "$deb" || fail "lintian reports errors on $deb"
pass "lintian: no errors"

echo "== the .deb, installed into a scratch root"
root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has no libc: dependencies are the host's.
dpkg --root="$root" --force-depends -i "$deb" >/dev/null 2>"$scratch/dpkg.log" ||
    fail "dpkg could not install $deb: $(cat "$scratch/dpkg.log")"
for program in flashtag taglog tagfleet tagterm tagrun tagsim; do
    [ -x "$root/usr/bin/$program" ] || fail "$program not installed"
done
pass "dpkg installed $deb"
ports="$scratch/ports"
mkdir -p "$ports"
start_tag "$root/usr/bin/tagsim" "$ports/COM4"
out=$(FLASHTAG_PORT_DIR="$ports" "$root/usr/bin/flashtag" -c 4 \
      "$root/usr/share/doc/flashtag/examples/hello.bas") || fail "installed flashtag: $out"
stop_tag
echo "$out" | grep -q -- "---- SUCCESS ----" || fail "installed flashtag did not upload: $out"
echo "$out" | grep -q "Corvela Script Loader V${version%.*}" || fail "banner is not V${version%.*}"
pass "installed flashtag uploads to installed tagsim"
start_tag "$root/usr/bin/tagsim" "$ports/COM4"
out=$(echo ver | FLASHTAG_PORT_DIR="$ports" "$root/usr/bin/tagterm" -c 4 --exit-after 200) ||
    fail "installed tagterm: $out"
stop_tag
[ "$out" = "V6.1.0" ] || fail "installed tagterm did not show the tag's reply: $out"
pass "installed tagterm talks to installed tagsim"
start_tag "$root/usr/bin/tagsim" "$ports/COM4"
out=$(FLASHTAG_PORT_DIR="$ports" "$root/usr/bin/tagrun" -c 4 -e "send ver" -e "expect V6.1.0") ||
    fail "installed tagrun: $out"
stop_tag
echo "$out" | grep -q "^tagrun: passed: 2 steps" || fail "installed tagrun did not pass: $out"
pass "installed tagrun checks installed tagsim"
for page in flashtag taglog tagfleet tagterm tagrun tagsim; do
    file="$root/usr/share/man/man1/$page.1.gz"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $page: $warnings"
    LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$file" 2>/dev/null | grep -q "^NAME" ||
        fail "man $page renders nothing"
    pass "man $page renders without warnings"
done

echo "== the zip, unpacked and run under Wine"
unzip -q "$zip" -d "$scratch/zip"
dir="$scratch/zip/flashtag-${version}-win64"
for file in flashtag.exe taglog.exe tagfleet.exe tagterm.exe tagrun.exe README.txt hello.bas; do
    [ -f "$dir/$file" ] || fail "$file missing from $zip"
done
grep -q "$(printf '\r')\$" "$dir/README.txt" || fail "README.txt lacks Windows line ends"
FLASHTAG_WINEPREFIX=$(scripts/wine-run --prefix)
export FLASHTAG_WINEPREFIX
scripts/wine-run cmd.exe /c exit >/dev/null 2>&1 || true  # makes the prefix on first use
link="$FLASHTAG_WINEPREFIX/dosdevices/com4"
start_tag build/linux/pc_utils/tagsim/tagsim "$link"
out=$(scripts/wine-run "$dir/flashtag.exe" -c 4 "Z:$dir/hello.bas" 2>/dev/null) ||
    fail "flashtag.exe from the zip: $out"
stop_tag
rm -f "$link"
echo "$out" | grep -q -- "---- SUCCESS ----" || fail "flashtag.exe did not upload: $out"
pass "flashtag.exe from the zip uploads under Wine"
for exe in flashtag taglog tagfleet tagterm tagrun; do
    info=$(scripts/wine-run build/windows/tests/version_info.exe "$dir/$exe.exe" 2>/dev/null | tr -d '\r')
    for expected in "Fixed: ${version}.0" "CompanyName: Corvela" "ProductVersion: ${version}" \
                    "FileVersion: ${version}" "ProductName: Corvela Script Loader" \
                    "LegalCopyright: Copyright (C) Corvela. All rights reserved."; do
        echo "$info" | grep -qxF "$expected" || fail "$exe.exe: no \"$expected\" in: $info"
    done
    pass "$exe.exe carries version $version"
done

echo "package checks: $passed passed"
