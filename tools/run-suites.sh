#!/usr/bin/env bash
# run-suites.sh BUILD_ROOT: the whole suite once per architecture. First against the 32-bit
# deliverables themselves (BUILD_ROOT/i686, whose DLL is dist/Tallyfold.dll) in a win32 prefix
# wherever 32-bit Wine starts, natively or through qemu-user; then against the x86_64 build
# (BUILD_ROOT/x86_64) in a win64 prefix, which runs natively everywhere. Both runs count.
set -u
root=$1
here=$(cd "$(dirname "$0")" && pwd)
results=()
status=0

run() {
  local arch=$1 how=$2 start rc
  echo
  echo "=== $arch run ($how): $root/$arch"
  start=$(date +%s)
  "$here/run-tests.sh" "$root/$arch"
  rc=$?
  results+=("$arch ($how): $([ $rc -eq 0 ] && echo passed || echo FAILED) in $(( $(date +%s) - start )) s")
  [ $rc -eq 0 ] || status=1
}

if how=$("$here/wine32.sh"); then
  run i686 "32-bit deliverables, Wine $how"
else
  echo "run-suites: 32-bit Wine does not start on this machine: the 32-bit deliverables are only checked as files"
  results+=("i686: not run (32-bit Wine does not start)")
fi
run x86_64 "x86_64 build, native"

echo
echo "=== Summary"
printf '  %s\n' "${results[@]}"
exit $status
