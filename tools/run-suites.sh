#!/usr/bin/env bash
# run-suites.sh BUILD_ROOT: every test, once per architecture, each with its origin-locked build.
#   i686:   the 32-bit deliverables themselves (BUILD_ROOT/i686, whose DLL is dist/Tallyfold.dll)
#           in a win32 prefix, wherever 32-bit Wine starts, natively or through qemu-user;
#   x86_64: the same sources built for 64-bit Windows (BUILD_ROOT/x86_64) in a win64 prefix,
#           which runs natively everywhere.
# BUILD_ROOT/<arch>-locked runs the tests labelled "lock". The installer package's tests
# (labelled "package") install it in a prefix of their own, so they run beside the rest of
# their build's suite. The two architectures run side by side (the emulated one is slow and
# mostly waits on one core); each run's output is shown whole when it ends. Every run counts.
set -u
root=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
logs=$root/suite-logs
. "$here/common.sh"
. "$here/limits.sh"
# An architecture's runs that hang are stopped after this many seconds in all and fail, so
# that CI always ends, with the logs of every run (the i686 runs take about ten minutes
# under the emulator).
limit=${TALLYFOLD_RUN_LIMIT:-$TF_RUN_LIMIT}
rm -rf "$logs"; mkdir -p "$logs"

# run ARCH NAME HOW DISPLAY DEADLINE BUILD_DIR [CTEST_ARGS...]: one ctest run, its output in
# the logs and one line in the architecture's summary.
run() {
  local arch=$1 name=$2 how=$3 display=$4 deadline=$5 dir=$6 start rc left
  shift 6
  start=$(date +%s)
  left=$(( deadline - start )); [ $left -ge 60 ] || left=60
  # Each run lists the prefixes it uses (tools/with-wine.sh, tools/as-user.sh write them), so
  # that its clean-up ends what it left behind there, and nothing of a run beside it.
  : >"$logs/$name.prefixes"
  TALLYFOLD_RUN_PREFIXES=$logs/$name.prefixes TALLYFOLD_XVFB_DISPLAY=$display \
    timeout -k 60 "$left" "$here/run-tests.sh" "$dir" "$@" >"$logs/$name.log" 2>&1
  rc=$?
  local prefix
  while read -r prefix; do end_prefix "$prefix"; done <"$logs/$name.prefixes"
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    echo "$name ($how): FAILED (stopped at the limit of $limit s for its architecture; its log so far follows)" >>"$logs/summary-$arch"
  else
    echo "$name ($how): $([ $rc -eq 0 ] && echo passed || echo "FAILED (ctest $rc)") in $(( $(date +%s) - start )) s" >>"$logs/summary-$arch"
  fi
  echo "=== $name: $(grep "^$name " "$logs/summary-$arch")"
}

# family ARCH HOW FIRST_DISPLAY: the architecture's full run (its package tests beside it, where
# the build has them), then its locked build's run.
family() {
  local arch=$1 how=$2 display=$3 pkg=()
  local deadline=$(( $(date +%s) + limit ))
  if [ -f "$root/$arch/package/tests/CTestTestfile.cmake" ] && ctest --test-dir "$root/$arch/package/tests" -N -L package | grep -q 'Total Tests: [1-9]'; then
    TALLYFOLD_OWN_PREFIXES=1 run "$arch" "$arch-package" "$how" $((display + 20)) "$deadline" "$root/$arch/package/tests" -L package &
    pkg=($!)
  fi
  run "$arch" "$arch" "$how" "$display" "$deadline" "$root/$arch" -LE package
  wait "${pkg[@]}"
  run "$arch" "$arch-locked" "$how" "$display" "$deadline" "$root/$arch-locked" -L lock
}

pids=()
if how=$("$here/wine32.sh"); then
  family i686 "32-bit deliverables, Wine $how" 99 & pids+=($!)
else
  echo "i686: not run (32-bit Wine does not start on this machine; the deliverables are only checked as files)" >"$logs/summary-i686"
fi
family x86_64 "x86_64 build, native" 150 & pids+=($!)
wait "${pids[@]}"

status=0
for name in i686 i686-package i686-locked x86_64 x86_64-package x86_64-locked; do
  [ -f "$logs/$name.log" ] || continue
  echo; echo "=================== $name ==================="
  cat "$logs/$name.log"
done
echo; echo "=== Summary"
cat "$logs"/summary-* | sed 's/^/  /'
grep -q 'FAILED' "$logs"/summary-* && status=1
exit $status
