#!/usr/bin/env bash
# check-deliverable.sh CHECK_PE OBJDUMP EXE
# The shipped Siteward.exe: what CHECK_PE asks of every deliverable (a 32-bit image importing
# only system DLLs, asInvoker), and further a PE32 console program whose manifest is the one a
# process reads at start and refuses UI access as well as elevation.
set -u
# objdump speaks the locale's language; the checks read its English output.
export LC_ALL=C
check_pe=$1
objdump=$2
exe=$3
failed=0
fail() { echo "FAIL: $*"; failed=1; }

if [ ! -f "$exe" ]; then
  echo "FAIL: $exe does not exist"
  exit 1
fi
"$check_pe" "$exe" || failed=1
headers=$("$objdump" -p "$exe") || { echo "FAIL: $objdump cannot read $exe"; exit 1; }

grep -qE '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$headers" || fail "not PE32"
grep -qE '^Subsystem[[:space:]]+00000003[[:space:]]+\(Windows CUI\)' <<<"$headers" || fail "not a console program"

# The manifest is resource type 24 (RT_MANIFEST) with ID 1: the one a process reads at start.
manifest_ids=$(awk '
  /^[0-9a-f]+   Entry: ID: / { in_manifest = ($4 == "0x000018,"); next }
  in_manifest && /^[0-9a-f]+     Entry: ID: / { sub(",", "", $4); print $4 }
' <<<"$headers")
[ "$manifest_ids" = "0x000001" ] || fail "no manifest resource with ID 1 (found: ${manifest_ids:-none})"

levels=$(grep -aoE 'requestedExecutionLevel[^>]*>' "$exe" | sort -u)
[ "$(wc -l <<<"$levels")" -eq 1 ] || fail "expected one requested execution level, found: $levels"
grep -q 'level="asInvoker"' <<<"$levels" || fail "execution level is not asInvoker: $levels"
grep -q 'uiAccess="false"' <<<"$levels" || fail "UI access is not refused: $levels"

if [ $failed -eq 0 ]; then
  echo "ok: $exe"
fi
exit $failed
