#!/usr/bin/env bash
# The Wine set-up of the Windows tests, kept in one folder HOME:
#
#   wine.sh HOME start              prefix (made once), display, one lasting wineserver
#   wine.sh HOME run PROGRAM ARGS   runs a Windows program in it; exit status is its own
#   wine.sh HOME stop               ends the wineserver (and every Wine process) and the display
#
# The prefix's COM1 to COM16 are HOME/ports/COMn, and HOME/ports is a link to a folder:
# `run` points it at $ZBCOMM_DEVICE_DIR when that is set (the folder of links that a
# test made, COM3 -> a pseudo-terminal), else at an empty folder. Runs that use ports
# must therefore not overlap (the tests that do hold one ctest resource lock).
set -euo pipefail
command="$2"
mkdir -p "$1"
home="$(cd "$1" && pwd)"  # Wine takes only an absolute prefix path
shift 2

export WINEPREFIX="$home/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko installers
export WINEARCH=win64
wine_ports=16

display_alive() {
  [ -f "$home/xvfb.pid" ] && kill -0 "$(cat "$home/xvfb.pid")" 2>/dev/null
}

use_display() {
  if [ -f "$home/display" ]; then export DISPLAY=":$(cat "$home/display")"; fi
}

case "$command" in
  start)
    mkdir -p "$home/empty"
    [ -L "$home/ports" ] || ln -sfn "$home/empty" "$home/ports"
    # A display first: a wineserver started without one may later draw nothing.
    if ! display_alive; then
      rm -f "$home/display"
      Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$home/display.new" >/dev/null 2>&1 &
      echo $! >"$home/xvfb.pid"
      for _ in $(seq 100); do
        [ -s "$home/display.new" ] && break
        sleep 0.1
      done
      [ -s "$home/display.new" ] || { echo "wine.sh: Xvfb did not start" >&2; exit 1; }
      tr -d '\n' <"$home/display.new" >"$home/display"
      rm -f "$home/display.new"
    fi
    use_display
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1
      for n in $(seq "$wine_ports"); do
        wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$home/ports/COM$n" /f >/dev/null 2>&1
      done
      # The port map is read when the wineserver starts.
      wineserver -k || true
      wineserver -w || true
    fi
    # One lasting wineserver for the whole suite, so that programs start quickly.
    # It is started before any Wine program of this start runs: a program starts a
    # passing server (it ends a few seconds after its last client), which would turn
    # this one away, and every program after a pause would then wait for a new
    # server. One that runs already (left by an earlier start, or passing) is
    # replaced. Its output goes nowhere, else it would hold the caller's pipes open.
    if ! wineserver -p >/dev/null 2>&1 </dev/null; then
      wineserver -k 2>/dev/null || true
      wineserver -w || true
      wineserver -p >/dev/null 2>&1 </dev/null
    fi
    # The display has no window manager: Wine is told to manage its windows itself,
    # else it waits for a manager's answer (2 s) whenever a window goes away.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wine reg query 'HKLM\Software\Wine\Ports' /v COM3 >/dev/null 2>&1 ||
      { echo "wine.sh: the prefix has no COM3 mapping" >&2; exit 1; }
    ;;
  run)
    use_display
    if [ -n "${ZBCOMM_DEVICE_DIR:-}" ]; then
      ln -sfn "$ZBCOMM_DEVICE_DIR" "$home/ports"
    else
      ln -sfn "$home/empty" "$home/ports"
    fi
    exec wine "$@"
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    if display_alive; then kill "$(cat "$home/xvfb.pid")" 2>/dev/null || true; fi
    rm -f "$home/xvfb.pid" "$home/display"
    ;;
  *)
    echo "usage: wine.sh HOME start|run|stop" >&2
    exit 2
    ;;
esac
