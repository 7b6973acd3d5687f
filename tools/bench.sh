#!/usr/bin/env bash
# bench.sh BUILD_DIR: the benchmark (make bench), never part of the tests. Registers the DLL
# of that build in the private prefix (with-wine.sh prepared it), names the machine, and runs
# the benchmark program, which prints the table. TALLYFOLD_BENCH_ROUNDS sets the rounds (11 at
# least). The machine's load average is printed as the run begins and as it ends.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(cd "$1" && pwd)
. "$here/common.sh"
dll=$(build_dll "$build")
bench=$build/bench/tallyfold_bench.exe
out=$build/bench-run
mkdir -p "$out"

"$here/wine-system.sh" regsvr32.exe /s "$(winpath "$dll")"

echo "Tallyfold benchmark"
echo "  DLL:   $(winpath "$dll")"
echo "  Wine:  $("$WINELOADER" --version) ($WINEARCH prefix; test arch $(basename "$build"))"
echo "  CPU:   $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) CPUs online"
echo "  Load:  $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min averages when the run began)"
echo "  Date:  $(date -u '+%Y-%m-%d %H:%M UTC')"

# Output through a file: a child of the program must not keep a pipe of ours open.
rc=0
wine "$bench" "$(winpath "$root/bench/handout.js")" >"$out/bench.txt" 2>"$out/progress.txt" </dev/null || rc=$?
cat "$out/progress.txt" "$out/bench.txt"
echo "  Load:  $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min averages when the run ended)"
exit $rc
