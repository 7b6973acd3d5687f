#!/usr/bin/env bash
# run-js.sh SCRIPT.js [ARGS...]
# Runs one JScript test through Wine's cscript, with tests/js/lib/testlib.js put in front
# of it (cscript has no include). Needs the environment of with-wine.sh. When SCRIPT.setup.sh
# exists it first prepares a fixture folder, whose Windows path the script finds in TF_FIXTURE.
set -u
here=$(cd "$(dirname "$0")" && pwd)
lib=${TALLYFOLD_TESTLIB:-$here/../tests/js/lib/testlib.js}
script=$1; shift
work=$(mktemp -d "${TMPDIR:-/tmp}/tallyfold-js.XXXXXX")
trap 'mountpoint -q "$work/full" && umount "$work/full"; chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
. "$here/common.sh"
# A filesystem that really fills up, for the writes that must fail for lack of space. Only
# root can mount one; without it the rows that need it say they were left out.
if [ -n "${TALLYFOLD_FULL_DISK_KB:-}" ] && [ "$(id -u)" -eq 0 ]; then
  mkdir "$work/full"
  if mount -t tmpfs -o "size=${TALLYFOLD_FULL_DISK_KB}k" tallyfold-full "$work/full"; then
    export TF_FULL_DISK=$(winpath "$work/full")
  fi
fi
name=$(basename "$script")
cat "$lib" "$script" > "$work/$name"
if [ -f "${script%.js}.setup.sh" ]; then
  mkdir -p "$work/fixture"
  bash "${script%.js}.setup.sh" "$work/fixture" || { echo "fixture setup failed"; exit 1; }
  export TF_FIXTURE=$(winpath "$work/fixture")
fi
# Output goes to files: a child of cscript must not keep a pipe of ours open. The script's own
# lines are on standard output; Wine's processes (and, under qemu-user, a background process
# that dies) write to standard error, which must not break into the script's closing line.
wine "$WINEPREFIX/drive_c/windows/system32/cscript.exe" //nologo "$(winpath "$work/$name")" "$@" \
  >"$work/out.txt" 2>"$work/err.txt" </dev/null
rc=$?
cat "$work/out.txt" "$work/err.txt"
# cscript under Wine can end a script on an uncaught error with exit code 0 and no word: only
# the closing line of testlib.js's done() counts as a pass.
if [ $rc -eq 0 ] && ! grep -Eq '^[0-9]+ passed, 0 failed' "$work/out.txt"; then
  echo "the script did not reach its end (no closing 'N passed, 0 failed' line)"
  rc=1
fi
exit $rc
