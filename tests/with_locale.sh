#!/bin/sh
# Runs a Windows test program under Wine with LC_ALL set to LOCALE, from which
# Wine takes the ANSI code page:
#   with_locale.sh LOCALE EMULATOR PROGRAM [ARGUMENTS...]
# A locale that is not generated on this machine fails the test with a line
# saying so: Wine would still report its code page, but could then write no
# file name outside ASCII.
set -u
locale=$1
shift
normalised=$(printf '%s' "$locale" | tr 'A-Z' 'a-z' | sed 's/utf-8$/utf8/')
if ! locale -a 2>/dev/null | tr 'A-Z' 'a-z' | grep -qxF "$normalised"; then
  echo "FAIL the locale $locale is not generated on this machine (add it to /etc/locale.gen and run locale-gen; scripts/test does)"
  exit 1
fi
LC_ALL=$locale exec "$@"
