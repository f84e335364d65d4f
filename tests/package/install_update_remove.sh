#!/usr/bin/env bash
# install_update_remove.sh DEB HEXFILE EXPECTED_FLASH_PY
#
# Installs the Debian package DEB into this system (apt-get; sudo when not root),
# checks what it put where, runs the installed zbupdater against the installed
# zbdevsim (an update that must end "OK", with the emulated flash checked against
# HEXFILE), removes the package again and checks that nothing of it is left.
# Refuses to run when a zbupdater package is installed already: that one is not
# ours to replace or remove. Whatever happens, a package this script installed is
# removed before it exits.
set -euo pipefail
deb="$(realpath "$1")"; hexfile="$2"; expected_flash="$3"

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo -n"; fi
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "-- $*"; }

if dpkg-query -W -f='${Status}' zbupdater 2>/dev/null | grep -q "installed"; then
  fail "a zbupdater package is installed already; remove it first (apt-get remove zbupdater)"
fi
for f in /usr/bin/zbupdater /usr/bin/zbdevsim; do
  [ ! -e "$f" ] || fail "$f exists and belongs to no zbupdater package; not overwriting it"
done

work="$(mktemp -d "${TMPDIR:-/tmp}/zbpackage.XXXXXX")"
installed=0; devsim_pid=""
cleanup() {
  if [ -n "$devsim_pid" ]; then kill "$devsim_pid" 2>/dev/null || true; wait "$devsim_pid" 2>/dev/null || true; fi
  if [ "$installed" -eq 1 ]; then $sudo dpkg --purge zbupdater >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

step "install $deb"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$deb" >"$work/apt.log" 2>&1 \
  || { cat "$work/apt.log"; fail "apt-get install"; }
installed=1
dpkg-query -W -f='${Status} ${Version}\n' zbupdater
for f in /usr/bin/zbupdater /usr/bin/zbdevsim /usr/share/man/man1/zbupdater.1.gz /usr/share/man/man1/zbdevsim.1.gz \
         /usr/share/doc/zbupdater/README.md /usr/share/doc/zbupdater/copyright \
         /usr/share/doc/zbupdater/tools/devsim/README.md \
         /usr/share/doc/zbupdater/docs/{behaviour,calling,installing,firmware,windows,benchmarks,design}.md; do
  dpkg -S "$f" >/dev/null 2>&1 || fail "$f is not in the package"
  [ -f "$f" ] || fail "$f was not installed"
done
# Every relative link of the installed README and documents reaches a file there.
for doc in /usr/share/doc/zbupdater/README.md /usr/share/doc/zbupdater/docs/*.md; do
  for link in $(grep -o '](\([^)#:]*\))' "$doc" | sed 's/^](//; s/)$//'); do
    [ -e "$(dirname "$doc")/$link" ] || fail "$doc links $link, which is not installed"
  done
done
# The window program, which zbupdater starts from beside its own folder.
window="$(dpkg -L zbupdater | grep '/zbupdater/zbupdater-window$')" || fail "the window program is not in the package"
[ -x "$window" ] || fail "$window was not installed as a program"
[ "$(command -v zbupdater)" = /usr/bin/zbupdater ] || fail "zbupdater is not found on PATH as /usr/bin/zbupdater"
# The manual pages are proper roff that man renders without complaint.
for page in zbupdater zbdevsim; do
  warnings="$(MANWIDTH=80 man --warnings "$page" 2>&1 >/dev/null)" || fail "man $page"
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

step "--version of the installed programs"
version="$(dpkg-deb -f "$deb" Version)"
digest="$(sha256sum "$hexfile" | cut -d' ' -f1)"
updater_version="$(/usr/bin/zbupdater --version)" || fail "zbupdater --version: exit status $?"
echo "$updater_version"
[ "$(sed -n 1p <<<"$updater_version")" = "zbupdater $version" ] || fail "zbupdater --version: first line"
grep -qx "Carried firmware: SHA-256 $digest, .*" <<<"$updater_version" || fail "zbupdater --version: not the firmware $digest"
devsim_version="$(/usr/bin/zbdevsim --version)" || fail "zbdevsim --version: exit status $?"
echo "$devsim_version"
[ "$devsim_version" = "zbdevsim $version" ] || fail "zbdevsim --version"

step "installed zbupdater against installed zbdevsim"
mkdir -p "$work/ports" "$work/run"
coproc DEVSIM { exec /usr/bin/zbdevsim --dir "$work/ports" --port COM3 --transcript "$work/transcript.txt" \
  --flash-out "$work/flash.bin"; }
devsim_pid="$DEVSIM_PID"
read -r -t 30 ready <&"${DEVSIM[0]}" || fail "zbdevsim did not report ready"
echo "$ready"
(cd "$work/run" && ZBCOMM_DEVICE_DIR="$work/ports" QT_QPA_PLATFORM=offscreen timeout 120 /usr/bin/zbupdater COM3 \
  2>"$work/zbupdater.err") || { tail -20 "$work/zbupdater.err"; fail "zbupdater exit status $?"; }
kill -TERM "$devsim_pid"; wait "$devsim_pid" || fail "zbdevsim exit status $?"; devsim_pid=""
status="$(cat "$work/run/status.dat")"
[ "$status" = "OK" ] && [ "$(stat -c %s "$work/run/status.dat")" -eq 2 ] \
  || { tail -20 "$work/zbupdater.err"; fail "status.dat holds '$status'"; }
echo "status.dat: $status"
! grep -q "^No window" "$work/zbupdater.err" || fail "$(grep "^No window" "$work/zbupdater.err")"
/usr/bin/python3 "$expected_flash" "$hexfile" "$work/flash.bin" || fail "the emulated flash differs from the firmware"

step "remove"
DEBIAN_FRONTEND=noninteractive $sudo apt-get remove --purge -y -qq zbupdater >"$work/apt.log" 2>&1 \
  || { cat "$work/apt.log"; fail "apt-get remove"; }
installed=0
if dpkg-query -W -f='${Status}' zbupdater 2>/dev/null | grep -q "installed"; then fail "still installed after removal"; fi
for f in /usr/bin/zbupdater /usr/bin/zbdevsim /usr/share/man/man1/zbupdater.1.gz /usr/share/doc/zbupdater "$window"; do
  [ ! -e "$f" ] || fail "$f is left after removal"
done
echo "removed cleanly"
