#!/bin/sh
# The try-out host as a user meets it: install output, a run through a tool
# with the text on standard input, and exit code 2 with a clear message for
# a module that cannot be loaded or lacks an entry point.
#   plugin_host_test.sh PLUGIN_HOST MODULE TOOLS_DIR
set -u
host=$1 module=$2 tools=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
expect() { # NAME CONDITION...
  name=$1
  shift
  if "$@"; then echo "ok $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

cp "$module" "$scratch/exttool.so"
out=$("$host" install "$scratch/exttool.so")
expect "install prints kind and caption" test "$out" = "$(printf 'plugin kind: 5\ncaption: External program')"

printf '[Path]\nCommandLine=%s "%%f"\n' "$tools/tool_upper_case" >"$scratch/exttool.ini"
out=$(printf 'from standard input\n' | "$host" run --input - "$scratch/exttool.so" 2>"$scratch/err")
expect "run returns the tool's result on standard output only" test "$out" = "FROM STANDARD INPUT"
expect "run reports kind and caption on standard error" grep -q "plugin kind: 5" "$scratch/err"

# Editing a file in place: --output is written only when a text came back,
# and the exit code says whether the run showed a message.
printf 'keep me\n' >"$scratch/notes.txt"
printf '[Settings]\nFilter=1\n[Path]\nCommandLine=%s 3 "" "cannot parse"\n' "$tools/tool_exit" >"$scratch/exttool.ini"
"$host" run --input "$scratch/notes.txt" --output "$scratch/notes.txt" "$scratch/exttool.so" 2>"$scratch/err"
expect "a run that showed a message exits with 1" test $? -eq 1
expect "... and leaves the output file as it was" test "$(cat "$scratch/notes.txt")" = "keep me"
expect "... after showing the message" grep -q "^Error: The program ended with exit code 3" "$scratch/err"
"$host" run --input "$scratch/notes.txt" --output "$scratch/new.txt" "$scratch/exttool.so" 2>/dev/null
expect "... and creates no output file" test ! -e "$scratch/new.txt"
printf '[Path]\nCommandLine=%s "%%f"\n' "$tools/tool_upper_case" >"$scratch/exttool.ini"
"$host" run --input "$scratch/notes.txt" --output "$scratch/notes.txt" "$scratch/exttool.so" 2>"$scratch/err"
expect "a run without a message exits with 0" test $? -eq 0
expect "... and writes the text that came back in place" test "$(cat "$scratch/notes.txt")" = "KEEP ME"

# The output file is replaced whole or not at all: a write that fails (a
# file-size limit of the host's alone) leaves it as it was, and a link to it
# stays a link to a file with its old mode.
chmod 640 "$scratch/notes.txt"
ln -s notes.txt "$scratch/link.txt"
printf '[Path]\nCommandLine=/bin/sh -c "ulimit -f unlimited; exec %s --file %%f 41*5000"\n' "$tools/tool_write_bytes" >"$scratch/exttool.ini"
(ulimit -S -f 4 && "$host" run --input "$scratch/notes.txt" --output "$scratch/link.txt" "$scratch/exttool.so" 2>"$scratch/err")
expect "an output file that cannot be written whole exits with 2" test $? -eq 2
expect "... and is left whole" test "$(cat "$scratch/notes.txt")" = "KEEP ME"
expect "... with no new file beside it" test "$(ls "$scratch" | grep -c tmp)" -eq 0
"$host" run --input "$scratch/notes.txt" --output "$scratch/link.txt" "$scratch/exttool.so" 2>/dev/null
expect "a replaced output file has the whole text" test "$(wc -c <"$scratch/notes.txt")" -eq 5000
expect "... its old mode, and its link" sh -c "test -h '$scratch/link.txt' && test \$(stat -c %a '$scratch/notes.txt') = 640"

"$host" install "$scratch/missing.so" 2>"$scratch/err"
expect "a module that cannot be loaded exits with 2" test $? -eq 2
expect "... and says so" grep -q "cannot load" "$scratch/err"

libm=$(cc -print-file-name=libm.so.6)
"$host" install "$libm" 2>"$scratch/err"
expect "a module without the entry points exits with 2" test $? -eq 2
expect "... and names the missing entry point" grep -q "lacks the entry point OnInstall" "$scratch/err"

"$host" --no-such-option "$scratch/exttool.so" 2>/dev/null
expect "an unknown option exits with 2" test $? -eq 2
expect "--help explains the commands" sh -c "'$host' --help | grep -q 'settings'"

[ $failures -eq 0 ]
