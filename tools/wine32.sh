#!/usr/bin/env bash
# Says how this machine runs 32-bit Wine: "native", "emulated" (the kernel refuses 32-bit
# programs and qemu-user runs them, registered by setup.sh), or "none". Exit status 0 when
# 32-bit Wine starts.
. "$(dirname "$0")/common.sh"
if ! { [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
  echo none
  exit 1
fi
for entry in /proc/sys/fs/binfmt_misc/*; do
  [ -f "$entry" ] || continue
  if grep -q "^magic $i386_magic" "$entry" 2>/dev/null && grep -qx enabled "$entry" 2>/dev/null; then
    echo emulated
    exit 0
  fi
done
echo native
