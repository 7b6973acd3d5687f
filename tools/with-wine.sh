#!/usr/bin/env bash
# with-wine.sh BUILD_DIR COMMAND...
# The one place where tests, the demo and the benchmark get their Wine prefix: a private
# prefix of the build's architecture (win32 for an i686 build, win64 for an x86_64 one) that
# behaves like a Japanese Windows, with a persistent wineserver and no crash debugger. The
# prefix lives in BUILD_DIR/wineprefix unless TALLYFOLD_WINEPREFIX names one.
set -eu
build=$(mkdir -p "$1" && cd "$1" && pwd); shift

here=$(cd "$(dirname "$0")" && pwd)
# The build's own architecture; a folder that is no build (as-user.sh's) names it in
# TALLYFOLD_TEST_ARCH.
arch=$(sed -n 's/^TALLYFOLD_ARCH:INTERNAL=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
arch=${arch:-${TALLYFOLD_TEST_ARCH:-}}
case $arch in
  i686|x86_64) ;;
  *) echo "with-wine.sh: $build is no i686 or x86_64 build and TALLYFOLD_TEST_ARCH is not set" >&2; exit 2 ;;
esac
export TALLYFOLD_TEST_ARCH=$arch
# Where 32-bit Wine runs through qemu-user, tests leave out the few cases that the emulator
# cannot answer truly (each prints a "left out: " line saying why).
unset TALLYFOLD_EMULATED
if [ "$arch" = i686 ] && [ "$("$here/wine32.sh")" = emulated ]; then
  export TALLYFOLD_EMULATED=qemu-i386
fi
export WINEPREFIX=${TALLYFOLD_WINEPREFIX:-$build/wineprefix}
# "wine" on PATH is the loader of the test architecture.
mkdir -p "$build/winebin"
if [ "$arch" = i686 ]; then
  export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine
else
  export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
fi
rm -f "$build/winebin/wine"
printf '#!/bin/sh\nexec %s "$@"\n' "$WINELOADER" > "$build/winebin/wine"
chmod +x "$build/winebin/wine"
export PATH="$build/winebin:$PATH"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask for a download.
export WINEDLLOVERRIDES="mscoree=;mshtml="
# Code page 932 and user locale 0x411, as on a Japanese Windows; the Unix locale is generated
# privately so that Wine maps Japanese file names correctly.
export LOCPATH=${TALLYFOLD_LOCPATH:-$build/locale}
if [ ! -d "$LOCPATH/ja_JP.UTF-8" ]; then
  mkdir -p "$LOCPATH"
  localedef -i ja_JP -f UTF-8 "$LOCPATH/ja_JP.UTF-8" >/dev/null 2>&1 || true
fi
{ export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8; } 2>/dev/null

# Under qemu-user a new prefix's boot now and then never ends: a program of it dies ("Unhandled
# illegal instruction at address 00000001" in the boot log) and, the crash debugger not being
# turned off yet, waits in its dialog for ever when there is a display, so the boot runs without
# one; or the wineserver goes away a few seconds in ("wineserver crashed" in the boot log) and
# the boot's programs wait for it for ever. Such a boot is thrown away and started again.
bootlog=$WINEPREFIX.boot.log
# prefix_pids [PATTERN]: the live processes of this prefix (whose command line matches PATTERN).
prefix_pids() {
  local p
  for p in $(pgrep -f "${1:-wine}"); do
    [ "$p" != $$ ] || continue
    { tr '\0' '\n' <"/proc/$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$p"; } 2>/dev/null
  done
}
# boot_prefix: a new prefix, booted and set up; fails, with the reason last in the boot log, as
# soon as a step of it hangs.
boot_prefix() {
  local pid waited=0
  mkdir -p "$WINEPREFIX"
  DISPLAY= wine wineboot -i </dev/null >"$bootlog" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    sleep 2; waited=$((waited + 2))
    if [ $waited -ge 180 ] || grep -q 'wineserver crashed' "$bootlog" ||
       { [ $waited -ge 10 ] && [ -z "$(prefix_pids wineserver)" ]; }; then
      kill "$pid" 2>/dev/null
      echo "(the boot was stopped after $waited s)" >>"$bootlog"
      return 1
    fi
  done
  wait "$pid" || { echo "(wineboot failed)" >>"$bootlog"; return 1; }
  # A crashed test must fail at once instead of waiting in the crash dialog.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f </dev/null >/dev/null 2>&1 &&
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 1 /f </dev/null >/dev/null 2>&1 ||
    { echo "(the crash debugger could not be turned off)" >>"$bootlog"; return 1; }
  DISPLAY= timeout 120 wineserver -w || { echo "(the boot's programs did not end in 120 s)" >>"$bootlog"; return 1; }
}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  for attempt in 1 2 3 4; do
    boot_prefix && break
    echo "with-wine.sh: the boot of $WINEPREFIX did not end (attempt $attempt of 4): $(tail -n 1 "$bootlog")" >&2
    wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
    # Programs whose wineserver is gone cannot be ended through it.
    kill -9 $(prefix_pids) 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  done
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "with-wine.sh: $WINEPREFIX does not boot; see $bootlog" >&2
    exit 1
  fi
fi

# A persistent server keeps each program start fast; its services must not inherit our pipes.
wineserver -p </dev/null >/dev/null 2>&1
# Nothing here may wait for ever: a start that hangs under the emulator is given up on.
timeout 120 wine wineboot </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

set +e
"$@"
rc=$?
exit $rc
