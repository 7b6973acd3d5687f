#!/usr/bin/env bash
# run-tests.sh BUILD_DIR [CTEST_ARGS...]
# Runs the suite of one build under Wine, on a virtual display so that the folder dialog is
# real, then names every case that the run left out and why. Further arguments go to ctest,
# for example -R to run part of the suite. BUILD_DIR may be a folder of a build, whose tests
# alone then run; with TALLYFOLD_OWN_PREFIXES set, the tests prepare their own Wine prefixes
# (the installer package's do) and the build's prefix is not started.
set -u
build=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/limits.sh"
prefix=("$here/with-wine.sh" "$build")
[ -z "${TALLYFOLD_OWN_PREFIXES:-}" ] || prefix=()
# Displays are numbered from TALLYFOLD_XVFB_DISPLAY up, so that two runs side by side never
# race for the same one.
xvfb-run -a -n "${TALLYFOLD_XVFB_DISPLAY:-99}" -s "-screen 0 1280x1024x24" "${prefix[@]}" \
  ctest --test-dir "$build" --output-on-failure --timeout "$TF_TEST_LIMIT" "$@"
rc=$?
# A case left out says so in its output ("left out: ..."); ctest keeps
# the output of every test in its log.
log=$build/Testing/Temporary/LastTest.log
if [ -f "$log" ] && grep -q '^left out: ' "$log"; then
  echo "Cases this run left out:"
  grep -h '^left out: ' "$log" | sort -u | sed 's/^/  /'
fi
exit $rc
