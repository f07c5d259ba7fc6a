#!/bin/sh
# Starts or stops what the Windows tests need under Wine: one Xvfb display for
# the whole test run and a persistent wineserver on the build's own prefix.
#   wine-session.sh start|stop STATE_DIR PREFIX [PROBE]
# PROBE, a 32-bit program of the build, is run once at the start. When Wine
# cannot run it, STATE_DIR/skip receives one line saying why, and wine-run.sh
# then reports every program of the build as skipped (exit code 77) instead
# of running it.
set -u
action=$1 state=$2 prefix=$3 probe=${4:-}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$state"
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)

stop() {
  if [ -f "$state/display" ]; then
    DISPLAY=$(cat "$state/display") $WINESERVER -k >/dev/null 2>&1 || true
  fi
  $WINESERVER -k >/dev/null 2>&1 || true
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" >/dev/null 2>&1 || true
  fi
  rm -f "$state/display" "$state/xvfb.pid"
}

case "$action" in
stop) stop; exit 0 ;;
start) ;;
*) echo "usage: $0 start|stop STATE_DIR PREFIX [PROBE]" >&2; exit 2 ;;
esac

stop
rm -f "$state/skip"
# A prefix made while Wine had no working 32-bit loader has no 32-bit system
# files (drive_c/windows/syswow64 empty or missing) and never loads a 32-bit
# program, not even after the loader has been installed: once the loader
# runs, such a prefix is made anew.
if [ -n "$probe" ] && [ -d "$prefix" ] && [ -z "$(ls -A "$prefix/drive_c/windows/syswow64" 2>/dev/null)" ] &&
  /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "The prefix $prefix has no 32-bit system files; making it anew"
  rm -rf "$prefix"
fi
n=90
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
# Every stream detached, or ctest would wait for Xvfb to end.
setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
echo $! >"$state/xvfb.pid"
i=0
while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
[ -e "/tmp/.X11-unix/X$n" ] || { echo "Xvfb did not start on :$n" >&2; exit 1; }
echo ":$n" >"$state/display"
export DISPLAY=":$n"
# The first start creates the prefix (it takes a while); then the server
# stays up for the whole run, so each test starts quickly.
/usr/lib/wine/wine64 wineboot -u </dev/null >/dev/null 2>&1
setsid $WINESERVER -p </dev/null >/dev/null 2>&1
if [ -n "$probe" ]; then
  /usr/lib/wine/wine64 "$probe" </dev/null >/dev/null 2>&1
  status=$?
  if [ $status -ne 0 ]; then
    echo "skipped: this machine runs no 32-bit Windows programs under Wine ($(basename "$probe") ended with status $status; the 32-bit loader comes with the i386 package wine32:i386)" >"$state/skip"
    cat "$state/skip"
  fi
fi
echo "Wine ready on display :$n with prefix $prefix"
