#!/usr/bin/env bash
# run-tests.sh BUILD_DIR [CTEST_ARGS...]
# Runs the build's suite under Wine, on a virtual display so that the folder dialog is real.
# Further arguments go to ctest, for example -R to run part of the suite.
set -u
build=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$here/with-wine.sh" "$build" \
  ctest --test-dir "$build" --output-on-failure --timeout 600 "$@"
