#!/usr/bin/env bash
# check-pe.sh FILE [EXPORT...]
# Checks a 32-bit deliverable without running it: an i386 PE image that imports only
# Windows system DLLs, carries an asInvoker manifest, and exports exactly the names given
# (by their plain names) when any are given.
set -u
# Read objdump's own words, whatever the caller's locale.
export LC_ALL=C
file=$1; shift
objdump=i686-w64-mingw32-objdump
fail=0
say() { echo "$file: $*"; fail=1; }
[ -f "$file" ] || { echo "$file: missing"; exit 1; }
dump=$($objdump -p "$file") || { echo "$file: not readable as PE"; exit 1; }
$objdump -f "$file" | grep -q 'file format pei-i386' || say "not a 32-bit (i386) PE image"

# What every Windows installation has; nothing of the toolchain's own runtime.
system='^(kernel32|user32|advapi32|ole32|oleaut32|shell32|shlwapi|msvcrt|gdi32|comctl32|comdlg32|urlmon|version|rpcrt4|ucrtbase|api-ms-win-.*)\.dll$'
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || say "no import table found"
for dll in $imports; do
  printf '%s\n' "$dll" | grep -Eq "$system" || say "imports a non-system DLL: $dll"
done

if [ $# -gt 0 ]; then
  exported=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/{/Table/d;s/.*\] //p}' | sort)
  wanted=$(printf '%s\n' "$@" | sort)
  [ "$exported" = "$wanted" ] || say "exports [$(echo $exported)], expected [$(echo $wanted)]"
fi

grep -aq 'level="asInvoker"' "$file" || say "no asInvoker manifest"
[ $fail -eq 0 ] && echo "$file: ok"
exit $fail
