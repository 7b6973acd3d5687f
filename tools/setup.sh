#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12. Does nothing when all is present.
set -u

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_cmd i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686-posix)
have_cmd x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
have_cmd i686-w64-mingw32-widl      || need+=(mingw-w64-tools)
have_cmd wine                       || need+=(wine wine64)
[ -e /usr/lib/i386-linux-gnu/wine/i386-windows/cscript.exe ] || need+=(wine32:i386)
[ -e /usr/include/wine/wine/windows/oaidl.idl ] || need+=(libwine-dev)
have_cmd xvfb-run                   || need+=(xvfb)
have_cmd xauth                      || need+=(xauth)
have_cmd cmake                      || need+=(cmake)
have_cmd make                       || need+=(make)
have_cmd iconv                      || need+=(libc-bin)
have_cmd localedef                  || need+=(locales)
[ -d /usr/src/googletest ]          || need+=(googletest)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${need[*]}" >&2
  echo "setup: as root, run:" >&2
  echo "  dpkg --add-architecture i386 && apt-get update" >&2
  echo "  apt-get install -y --no-install-recommends -t bookworm ${need[*]}" >&2
  exit 1
fi

echo "setup: installing ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
# The i386 index of the security suite is sometimes mid-sync; the main suite is enough.
apt-get update -q || echo "setup: apt-get update reported an error; going on with the indexes it fetched"
# Pinning the release keeps the amd64 and i386 Wine packages at the same version.
apt-get install -y -q --no-install-recommends -t bookworm "${need[@]}"
