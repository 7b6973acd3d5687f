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
. "$here/common.sh"
. "$here/limits.sh"
# "wine" on PATH is the loader of the test architecture. The wrapper is written once, and
# atomically, because runs side by side (the package's beside the suite) share the build.
if [ "$arch" = i686 ]; then
  export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine
else
  export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
fi
wrapper=$(printf '#!/bin/sh\nexec %s "$@"' "$WINELOADER")
if [ "$(cat "$build/winebin/wine" 2>/dev/null)" != "$wrapper" ]; then
  mkdir -p "$build/winebin"
  tmp=$(mktemp "$build/winebin/.wine.XXXXXX")
  printf '%s\n' "$wrapper" >"$tmp" && chmod +x "$tmp" && mv -f "$tmp" "$build/winebin/wine"
fi
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
# A prefix counts as booted only once the last step of its boot wrote this marker: a prefix
# without it is what a boot that was stopped half-way left behind.
booted=$WINEPREFIX/.tallyfold-booted
# boot_prefix: a new prefix, booted and set up; fails, with the reason last in the boot log, as
# soon as a step of it hangs.
boot_prefix() {
  local pid waited=0
  mkdir -p "$WINEPREFIX"
  # The boot's programs (its server included) must not hold the boot's lock.
  DISPLAY= wine wineboot -i </dev/null >"$bootlog" 2>&1 9>&- &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    sleep 2; waited=$((waited + 2))
    if [ $waited -ge "$TF_BOOT_TRY_LIMIT" ] || grep -q 'wineserver crashed' "$bootlog" ||
       { [ $waited -ge 10 ] && [ -z "$(prefix_pids "$WINEPREFIX" server)" ]; }; then
      kill "$pid" 2>/dev/null
      echo "(the boot was stopped after $waited s)" >>"$bootlog"
      return 1
    fi
  done
  wait "$pid" || { echo "(wineboot failed)" >>"$bootlog"; return 1; }
  # A crashed test must fail at once instead of waiting in the crash dialog.
  local aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  timeout "$TF_START_LIMIT" wine reg add "$aedebug" /v Debugger /t REG_SZ /d '' /f </dev/null >/dev/null 2>&1 9>&- &&
    timeout "$TF_START_LIMIT" wine reg add "$aedebug" /v Auto /t REG_SZ /d 1 /f </dev/null >/dev/null 2>&1 9>&- ||
    { echo "(the crash debugger could not be turned off)" >>"$bootlog"; return 1; }
  DISPLAY= timeout "$TF_BOOT_SETTLE_LIMIT" wineserver -w 9>&- ||
    { echo "(the boot's programs did not end in $TF_BOOT_SETTLE_LIMIT s)" >>"$bootlog"; return 1; }
  : >"$booted"
}
own_prefix "$WINEPREFIX"
if [ ! -f "$booted" ]; then
  # One boot at a time for a prefix, whoever asks for it.
  exec 9>"$WINEPREFIX.boot.lock"
  flock 9
  for (( attempt = 1; attempt <= TF_BOOT_TRIES; attempt++ )); do
    [ -f "$booted" ] && break
    if [ -e "$WINEPREFIX" ]; then
      end_prefix "$WINEPREFIX"
      rm -rf "$WINEPREFIX"
    fi
    boot_prefix && break
    echo "with-wine.sh: the boot of $WINEPREFIX did not end (attempt $attempt of $TF_BOOT_TRIES): $(tail -n 1 "$bootlog")" >&2
  done
  exec 9>&-
  if [ ! -f "$booted" ]; then
    end_prefix "$WINEPREFIX"
    echo "with-wine.sh: $WINEPREFIX does not boot; see $bootlog" >&2
    exit 1
  fi
fi

# A persistent server keeps each program start fast; its services must not inherit our pipes.
wineserver -p </dev/null >/dev/null 2>&1
# Nothing here may wait for ever: a start that hangs under the emulator is given up on.
timeout "$TF_START_LIMIT" wine wineboot </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

set +e
"$@"
rc=$?
exit $rc
