#!/bin/sh
# plugin-host hands the text from standard input to the plug-in and the text
# that comes back to standard output byte for byte: a run through a tool that
# leaves the exchange file as it is returns "a\r\nb\nc\r" unchanged (in the
# text mode of the Windows C runtime, "\r\n" would come in as "\n" and go out
# as "\r\r\n"). A tool that prints on its standard output (PRINTING_TOOL,
# which writes "failed on purpose" into the file) does not add to the text:
# what it prints goes to standard error. A run that gives no text back
# (ReadOnly) leaves the --output file alone: it is not even created. A
# failing filter (EXIT_TOOL) shows a message: plugin-host exits with 1 and
# the file edited in place keeps its content. On Windows PRESS_OK ("-"
# elsewhere) closes the message box.
#   plugin_host_binary_test.sh PATH_PREFIX PLUGIN_HOST MODULE TOOL PRINTING_TOOL EXIT_TOOL PRESS_OK [EMULATOR]
# PATH_PREFIX goes before paths the host and the plug-in see ("Z:" under Wine);
# EMULATOR runs the host (wine-run.sh), whose exit code 77 means "skipped".
set -u
prefix=$1 host=$2 module=$3 tool=$4 printing=$5 exit_tool=$6 press_ok=$7 emulator=${8:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
name=$(basename "$module")
cp "$module" "$scratch/$name"
printf '[Path]\nCommandLine=%s "%%f"\n' "$prefix$tool" >"$scratch/${name%.*}.ini"
printf 'a\r\nb\nc\r' >"$scratch/sent"
$emulator "$host" run --input - --output - "$prefix$scratch/$name" <"$scratch/sent" >"$scratch/received" 2>"$scratch/err"
status=$?
if [ $status -eq 77 ]; then
  cat "$scratch/err"
  exit 77
fi
if [ $status -ne 0 ] || ! cmp -s "$scratch/sent" "$scratch/received"; then
  echo "FAIL plugin-host run returned status $status; sent, then received:"
  od -c "$scratch/sent"
  od -c "$scratch/received"
  cat "$scratch/err"
  exit 1
fi
echo "ok the text came back byte for byte"

printf '[Path]\nCommandLine=%s "%%f"\n' "$prefix$printing" >"$scratch/${name%.*}.ini"
$emulator "$host" run --input - --output - "$prefix$scratch/$name" <"$scratch/sent" >"$scratch/received" 2>"$scratch/err"
status=$?
if [ $status -ne 0 ] || [ "$(cat "$scratch/received")" != "failed on purpose" ] ||
  ! grep -q "the tool's own output" "$scratch/err"; then
  echo "FAIL plugin-host run through a printing tool returned status $status; standard output, then error:"
  cat "$scratch/received"
  echo
  cat "$scratch/err"
  exit 1
fi
echo "ok standard output held only the returned text; the tool's own output went to standard error"

printf '[Settings]\nReadOnly=1\n[Path]\nCommandLine=%s "%%f"\n' "$prefix$tool" >"$scratch/${name%.*}.ini"
$emulator "$host" run --input - --output "$prefix$scratch/untouched" "$prefix$scratch/$name" <"$scratch/sent" 2>"$scratch/err"
status=$?
if [ $status -ne 0 ] || [ -e "$scratch/untouched" ]; then
  echo "FAIL plugin-host run without a returned text returned status $status or made its --output file:"
  cat "$scratch/err"
  exit 1
fi
echo "ok a run that gave no text back exited with 0 and left --output alone"

printf '[Settings]\nFilter=1\n[Path]\nCommandLine=%s 3 "" "cannot parse"\n' "$prefix$exit_tool" >"$scratch/${name%.*}.ini"
cp "$scratch/sent" "$scratch/edited"
if [ "$press_ok" != - ]; then
  $emulator "$press_ok" &
  presser=$!
fi
$emulator "$host" run --input "$prefix$scratch/edited" --output "$prefix$scratch/edited" "$prefix$scratch/$name" 2>"$scratch/err"
status=$?
[ "$press_ok" != - ] && wait $presser
if [ $status -ne 1 ] || ! cmp -s "$scratch/sent" "$scratch/edited"; then
  echo "FAIL plugin-host run through a failing filter returned status $status (not 1) or changed the file:"
  od -c "$scratch/edited"
  cat "$scratch/err"
  exit 1
fi
echo "ok a run that showed a message exited with 1 and left the file it was to edit in place as it was"

# A text that comes back replaces the --output file through a new file
# beside it, or becomes a file that was not there; none is left over.
printf '[Path]\nCommandLine=%s "%%f"\n' "$prefix$tool" >"$scratch/${name%.*}.ini"
printf 'old and longer than the text\n' >"$scratch/replaced"
for target in replaced fresh; do
  $emulator "$host" run --input "$prefix$scratch/sent" --output "$prefix$scratch/$target" "$prefix$scratch/$name" 2>"$scratch/err"
  status=$?
  if [ $status -ne 0 ] || ! cmp -s "$scratch/sent" "$scratch/$target" || ls "$scratch" | grep -qi '\.tmp$'; then
    echo "FAIL plugin-host run into the $target --output file returned status $status, wrote other bytes or left a file"
    exit 1
  fi
done
echo "ok a text that came back replaced the --output file whole, or made it, and left nothing beside it"
