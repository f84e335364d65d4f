#!/usr/bin/env bash
# check_windows_zip.sh ZIP WINDRES WINE_SH HOME VERSION
#
# Checks the Windows zip: it holds exactly zbupdater.exe and README.txt; the README
# has Windows line ends and names the carried firmware; the exe's version resource
# (read back with WINDRES) has the product name, the file version and a description
# with the firmware identity; and that identity is the one the exe itself prints for
# --version under Wine (WINE_SH, the Windows tests' Wine set-up, in folder HOME,
# started and stopped here).
set -euo pipefail
zip="$1"; windres="$2"; wine_sh="$3"; home="$4"; version="$5"
fail() { echo "FAIL: $*" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/zbzip.XXXXXX")"
started=0
cleanup() {
  if [ "$started" -eq 1 ]; then "$wine_sh" "$home" stop || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "-- contents of $zip"
listing="$(unzip -Z1 "$zip" | sort | tr '\n' ' ')"
echo "$listing"
[ "$listing" = "README.txt zbupdater.exe " ] || fail "the zip must hold exactly README.txt and zbupdater.exe"
unzip -q "$zip" -d "$work"

echo "-- README.txt"
readme="$work/README.txt"
lines="$(wc -l <"$readme")"
crlf="$(grep -c $'\r$' "$readme" || true)"
[ "$lines" -gt 10 ] && [ "$crlf" -eq "$lines" ] || fail "README.txt: $crlf of $lines lines end with CR LF"
[ "$(tail -c 2 "$readme" | od -An -tx1 | tr -d ' ')" = "0d0a" ] || fail "README.txt: the last line has no CR LF"

echo "-- version resource"
resource="$("$windres" -i "$work/zbupdater.exe" -O rc)"
value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"\r\{0,1\}$/\1/p" <<<"$resource"; }
[ "$(value ProductName)" = "zbupdater" ] || fail "ProductName is '$(value ProductName)'"
[ "$(value FileVersion)" = "$version" ] || fail "FileVersion is '$(value FileVersion)'"
description="$(value FileDescription)"
echo "FileDescription: $description"
identity="${description#"zbupdater $version, firmware "}"
[ "$identity" != "$description" ] || fail "FileDescription does not name the firmware"
grep -qF "    $identity"$'\r' "$readme" || fail "README.txt does not name the firmware $identity"

echo "-- zbupdater.exe --version under Wine"
"$wine_sh" "$home" start
started=1
out="$(cd "$work" && "$wine_sh" "$home" run "$work/zbupdater.exe" --version | tr -d '\r')" || fail "--version: exit status $?"
echo "$out"
[ "$(sed -n 1p <<<"$out")" = "zbupdater $version" ] || fail "--version: first line"
[ "$(sed -n 2p <<<"$out")" = "Carried firmware: $identity" ] || fail "--version names other firmware than the resource"
[ ! -e "$work/status.dat" ] || fail "--version wrote status.dat"
echo "the version resource names the firmware that --version prints"
