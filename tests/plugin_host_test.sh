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
