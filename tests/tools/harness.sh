#!/usr/bin/env bash
# harness.sh WORK: how the test harness treats Wine prefixes (tools/with-wine.sh, tools/common.sh).
# - A prefix whose boot never finished (system.reg written, the boot's last step not) is booted
#   anew, not used as it is.
# - The "wine" wrapper of a build is written once: calls after the first leave the file alone,
#   so a run beside them never finds it missing or half-written.
# - Ending one prefix's processes ends those and leaves another prefix's alone.
set -u
work=$1
tools=$(cd "$(dirname "$0")/../../tools" && pwd)
. "$tools/common.sh"
failed=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; failed=1; fi; }

rm -rf "$work"; mkdir -p "$work/build"
# A build folder of the run's architecture, with the run's locale.
export TALLYFOLD_LOCPATH=$LOCPATH
trap 'end_prefix "$work/half"; end_prefix "$work/a"; end_prefix "$work/b"' EXIT

# What a boot stopped half-way leaves: the registry files, and no marker of the last step.
mkdir -p "$work/half"
: >"$work/half/system.reg"; : >"$work/half/user.reg"; : >"$work/half/left-by-the-stopped-boot"
TALLYFOLD_WINEPREFIX=$work/half "$tools/with-wine.sh" "$work/build" true >"$work/boot.out" 2>&1
check "a half-booted prefix is booted anew" \
  '[ ! -e "$work/half/left-by-the-stopped-boot" ] && [ -f "$work/half/.tallyfold-booted" ] && [ -d "$work/half/drive_c/windows" ]'

# A rewrite would give the wrapper the time of the second call.
touch -d '2000-01-01 00:00' "$work/build/winebin/wine"
TALLYFOLD_WINEPREFIX=$work/half "$tools/with-wine.sh" "$work/build" true >>"$work/boot.out" 2>&1
check "the wine wrapper is written once" '[ "$(stat -c %Y "$work/build/winebin/wine")" = "$(date -d "2000-01-01 00:00" +%s)" ]'

# Two prefixes with a server each; ending one must not touch the other.
mkdir -p "$work/a" "$work/b"
WINEPREFIX=$work/a wineserver -p </dev/null >/dev/null 2>&1
WINEPREFIX=$work/b wineserver -p </dev/null >/dev/null 2>&1
for _ in $(seq 50); do [ -n "$(prefix_pids "$work/a" server)" ] && [ -n "$(prefix_pids "$work/b" server)" ] && break; sleep 0.2; done
check "both servers are found" '[ -n "$(prefix_pids "$work/a" server)" ] && [ -n "$(prefix_pids "$work/b" server)" ]'
end_prefix "$work/a"
check "ending a prefix ends its server" '[ -z "$(prefix_pids "$work/a")" ]'
check "ending a prefix leaves another's server" '[ -n "$(prefix_pids "$work/b" server)" ]'

[ $failed -eq 0 ] || { echo "--- with-wine.sh said:"; cat "$work/boot.out"; }
exit $failed
