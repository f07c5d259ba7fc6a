#!/bin/sh
# Runs a command where 32-bit x86 (i386) programs start through qemu-user,
# for kernels that refuse i386 code ("IA-32 emulation off").
#   i386-namespace.sh COMMAND [ARGUMENT...]
#
# Nothing is registered on the machine. The command runs in a user and mount
# namespace of its own, where a private binfmt_misc instance (Linux 6.7 and
# later) hands i386 ELF executables to qemu-i386. The entry goes away with
# the last process of the namespace. The "F" flag makes the kernel open the
# interpreter at registration, so it is found whatever the command's view of
# the file system.
#
# The caller's user id is kept inside (mapped onto itself), so Wine's server
# directory and prefix ownership look the same as outside. The capabilities
# the namespace grants (kept across exec for the mount and the registration)
# reach nothing outside it.
#
# Exit codes: the command's own; 125 when the namespace or the registration
# cannot be made (with one line on standard error saying which step failed).
set -u
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGUMENT...]" >&2
  exit 2
fi
qemu=${EXTTOOL_QEMU_I386:-/usr/bin/qemu-i386}
if [ ! -x "$qemu" ]; then
  echo "i386-namespace.sh: $qemu is missing (package qemu-user, version 8 or later)" >&2
  exit 125
fi

# The ELF header of an i386 executable (class 32-bit, little-endian,
# type EXEC or DYN, machine 3) and the mask that ignores the OS/ABI bytes
# and the low bit of the type; the same pair Debian's qemu-user registers.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# Inside: mount the namespace's own binfmt_misc, register the entry, then
# run the command.
uid=$(id -u)
gid=$(id -g)
exec unshare --user --map-user="$uid" --map-group="$gid" --keep-caps --mount \
  sh -c '
    qemu=$1 magic=$2 mask=$3
    shift 3
    if ! mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null; then
      echo "i386-namespace.sh: cannot mount a binfmt_misc instance of its own (Linux 6.7 or later is needed)" >&2
      exit 125
    fi
    if ! printf ":exttool-i386:M::%s:%s:%s:F\n" "$magic" "$mask" "$qemu" >/proc/sys/fs/binfmt_misc/register; then
      echo "i386-namespace.sh: cannot register $qemu for i386 programs" >&2
      exit 125
    fi
    exec "$@"
  ' i386-namespace "$qemu" "$magic" "$mask" "$@"
