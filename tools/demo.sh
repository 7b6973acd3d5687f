#!/usr/bin/env bash
# demo.sh BUILD_DIR: the page flow, end to end. Registers the DLL in the private prefix
# (with-wine.sh prepared it), reads examples/data through the page script, writes a CSV
# and shows it. With a display it offers the folder dialog first (cancel keeps the sample).
# With TALLYFOLD_DEMO_INSTALLED set, the component is already registered (by the installer
# package) and is used as it is; BUILD_DIR then only holds the output.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(cd "$1" && pwd)
. "$here/common.sh"
out=$build/demo
mkdir -p "$out"
rm -f "$out/certificates.csv"

if [ -z "${TALLYFOLD_DEMO_INSTALLED:-}" ]; then
  dll=$(build_dll "$build")
  echo "Registering $(winpath "$dll")"
  "$here/wine-system.sh" regsvr32.exe /s "$(winpath "$dll")"
fi

cat "$root/examples/page/tallyfold-page.js" "$root/examples/demo/demo-host.js" > "$out/demo.js"
mode=""
if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ] && [ -z "${TALLYFOLD_DEMO_NO_DIALOG:-}" ]; then mode=dialog; fi
rc=0
wine "$WINEPREFIX/drive_c/windows/system32/cscript.exe" //nologo "$(winpath "$out/demo.js")" \
  "$(winpath "$root/examples/data")" "$(winpath "$out/certificates.csv")" $mode >"$out/demo.log" 2>&1 </dev/null || rc=$?
cat "$out/demo.log"
if [ -f "$out/certificates.csv" ]; then
  echo
  echo "$out/certificates.csv (code page 932, shown here as UTF-8):"
  iconv -f CP932 -t UTF-8 "$out/certificates.csv"
fi
exit $rc
