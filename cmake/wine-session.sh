#!/bin/sh
# Starts or stops what the Windows tests need under Wine: one Xvfb display for
# the whole test run and a persistent wineserver on the build's own prefix.
#   wine-session.sh start|stop STATE_DIR PREFIX
set -u
action=$1 state=$2 prefix=$3
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
*) echo "usage: $0 start|stop STATE_DIR PREFIX" >&2; exit 2 ;;
esac

stop
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
echo "Wine ready on display :$n with prefix $prefix"
