#!/bin/sh
# Starts or stops what the Windows tests need under Wine: one Xvfb display for
# the whole test run and a persistent wineserver on the build's own prefix.
#   wine-session.sh start|stop STATE_DIR PREFIX [PROBE]
# PROBE, a 32-bit program of the build, is run once at the start to find how
# this machine runs 32-bit Windows programs:
#   - natively, through Wine's 32-bit loader (wine32:i386), where the kernel
#     runs i386 code;
#   - else through qemu-user, in a namespace of its own (i386-namespace.sh
#     beside this script), where the kernel refuses i386 code: STATE_DIR/runner
#     then names that wrapper, and wine-run.sh starts every program through it;
#   - else not at all: STATE_DIR/skip receives one line saying why and what
#     was tried, and wine-run.sh then reports every program of the build as
#     skipped (exit code 77) instead of running it.
set -u
action=$1 state=$2 prefix=$3 probe=${4:-}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$state"
here=$(cd "$(dirname "$0")" && pwd)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
loader32=/usr/lib/wine/wine
qemu=${EXTTOOL_QEMU_I386:-/usr/bin/qemu-i386}

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

# The major version of qemu-i386, or 0.
qemu_major() {
  "$qemu" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p' | head -1 | grep . || echo 0
}

# Decides how 32-bit programs run here; writes STATE_DIR/runner or
# STATE_DIR/skip. Wine's 32-bit loader answers --version without a prefix.
choose_runner() {
  if [ ! -e "$loader32" ]; then
    echo "skipped: this machine runs no 32-bit Windows programs under Wine: Wine's 32-bit loader $loader32 is missing (package wine32:i386)" >"$state/skip"
    return
  fi
  if env -u WINEPREFIX "$loader32" --version >/dev/null 2>&1; then
    return
  fi
  why="the kernel refuses i386 code (IA-32 emulation off), so $loader32 cannot start"
  major=$(qemu_major)
  if [ ! -x "$qemu" ]; then
    echo "skipped: $why, and $qemu (package qemu-user, version 8 or later) is missing" >"$state/skip"
    return
  fi
  if [ "$major" -lt 8 ]; then
    echo "skipped: $why, and $qemu is version $major; version 8 or later is needed (earlier ones take about a minute per Wine process)" >"$state/skip"
    return
  fi
  if ! message=$(env -u WINEPREFIX "$here/i386-namespace.sh" "$loader32" --version 2>&1 >/dev/null); then
    echo "skipped: $why, and running it through qemu-i386 $major in a namespace of its own failed: $(printf '%s' "$message" | tail -1)" >"$state/skip"
    return
  fi
  echo "$here/i386-namespace.sh" >"$state/runner"
}

case "$action" in
stop) stop; exit 0 ;;
start) ;;
*) echo "usage: $0 start|stop STATE_DIR PREFIX [PROBE]" >&2; exit 2 ;;
esac

stop
rm -f "$state/skip" "$state/runner"
[ -n "$probe" ] && choose_runner
runner=""
[ -f "$state/runner" ] && runner=$(cat "$state/runner")
# A prefix made while Wine had no working 32-bit loader has no 32-bit system
# files (drive_c/windows/syswow64 empty or missing) and never loads a 32-bit
# program, not even after the loader has been installed: once the loader
# runs, such a prefix is made anew.
if [ -n "$probe" ] && [ ! -f "$state/skip" ] && [ -d "$prefix" ] &&
  [ -z "$(ls -A "$prefix/drive_c/windows/syswow64" 2>/dev/null)" ]; then
  echo "The prefix $prefix has no 32-bit system files; making it anew"
  rm -rf "$prefix"
fi
# Xvfb picks the display number itself (-displayfd): the two Windows suites
# start side by side, and two sessions that each looked for a free number
# could both take the same one, then one's stop would end the other's display.
rm -f "$state/display.number"
# Every stream detached, or ctest would wait for Xvfb to end.
setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 3>"$state/display.number" &
echo $! >"$state/xvfb.pid"
i=0
n=""
while [ -z "$n" ] && [ $i -lt 100 ]; do
  sleep 0.1
  i=$((i + 1))
  n=$(tr -dc 0-9 <"$state/display.number")
done
[ -n "$n" ] && [ -e "/tmp/.X11-unix/X$n" ] || { echo "Xvfb did not start" >&2; exit 1; }
echo ":$n" >"$state/display"
export DISPLAY=":$n"
# The server stays up for the whole run, so each test starts quickly. The
# first start creates the prefix (it takes a while; Wine also brings a prefix
# of an older Wine up to date by itself); later ones only start its services,
# which wineboot -u would instead rebuild every time (20 s under qemu). All
# go through the runner, so that the 32-bit half of a new prefix is made too.
# The server needs the prefix's folder; Wine fills an empty one.
mkdir -p "$prefix"
# shellcheck disable=SC2086
setsid $runner $WINESERVER -p </dev/null >/dev/null 2>&1
# shellcheck disable=SC2086
$runner /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
if [ -n "$probe" ] && [ ! -f "$state/skip" ]; then
  # shellcheck disable=SC2086
  $runner /usr/lib/wine/wine64 "$probe" </dev/null >/dev/null 2>&1
  status=$?
  if [ $status -ne 0 ]; then
    how="natively"
    [ -n "$runner" ] && how="through qemu-i386 $(qemu_major) in a namespace of its own"
    echo "skipped: this machine runs no 32-bit Windows programs under Wine ($(basename "$probe") ended with status $status when started $how)" >"$state/skip"
  fi
fi
[ -f "$state/skip" ] && cat "$state/skip"
how="natively"
[ -n "$runner" ] && how="through qemu-user"
[ -n "$probe" ] && [ ! -f "$state/skip" ] && echo "32-bit programs run $how"
echo "Wine ready on display :$n with prefix $prefix"
