#!/usr/bin/env bash
# wine-exec.sh PROGRAM [ARGS...]: runs a Windows program under Wine in the prefix that
# with-wine.sh prepared, passing on its output as it comes and its exit code.
# The program writes to a file, never to our caller's pipe: a process that Wine starts on its
# behalf (the desktop, a service, a crash handler) inherits its standard handles and may live on
# after it, and ctest would wait on the open pipe until the test's time limit.
out=$(mktemp "${TMPDIR:-/tmp}/tallyfold-wine.XXXXXX") || exit 125
wine "$@" </dev/null >"$out" 2>&1 &
pid=$!
# tail follows the file until the program has ended, then prints what is left and stops.
tail -n +1 -s 0.2 --pid=$pid -f "$out" &
tailpid=$!
wait $pid
rc=$?
wait $tailpid
rm -f "$out"
exit $rc
