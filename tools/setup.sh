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
have_cmd wixl                       || need+=(wixl)
have_cmd faketime                   || need+=(faketime)
# Signing a release and its tests: Authenticode signatures, a software token reached through
# OpenSSL's PKCS#11 engine, a time-stamping service, and a look inside the package.
have_cmd openssl                    || need+=(openssl)
have_cmd osslsigncode               || need+=(osslsigncode)
have_cmd softhsm2-util              || need+=(softhsm2)
[ -e /usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so ] || need+=(libengine-pkcs11-openssl)
have_cmd msiextract                 || need+=(msitools)
have_cmd python3                    || need+=(python3)

# Some kernels refuse 32-bit x86 programs ("Exec format error"); 32-bit Wine then runs
# through qemu-user, registered as the kernel's handler for i386 ELF programs.
. "$(dirname "$0")/common.sh"
binfmt=/proc/sys/fs/binfmt_misc
refuses_32bit() {
  [ -e /lib/ld-linux.so.2 ] || return 1
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 && return 1
  # Only the kernel's refusal counts: any other failure is not ours to work around.
  [ "$( (/lib/ld-linux.so.2 --version) 2>&1 >/dev/null | grep -c 'Exec format error')" -gt 0 ]
}
i386_handler() {
  # The name of a registered handler for i386 ELF programs, enabled or not.
  local entry
  for entry in "$binfmt"/*; do
    [ -f "$entry" ] || continue
    case ${entry##*/} in register|status) continue ;; esac
    grep -q "^magic $i386_magic" "$entry" 2>/dev/null && { echo "${entry##*/}"; return 0; }
  done
  return 1
}
emulate_32bit() {
  local missing=() handler
  [ -x /usr/bin/qemu-i386-static ] || missing+=(qemu-user-static)
  [ -e /usr/lib/wine/wine-preloader ] || missing+=(wine32-preloader:i386)
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: this kernel refuses 32-bit programs; 32-bit Wine needs qemu-user. As root, run:" >&2
    [ ${#missing[@]} -gt 0 ] && echo "  apt-get install -y --no-install-recommends -t bookworm ${missing[*]}" >&2
    echo "  mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt" >&2
    echo "  printf '%s' '$qemu_i386_rule' > $binfmt/register" >&2
    return 0
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -q --no-install-recommends -t bookworm "${missing[@]}" >/dev/null ||
      { echo "setup: could not install ${missing[*]}; 32-bit Wine will not run" >&2; return 0; }
  fi
  mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt" ||
    { echo "setup: could not mount $binfmt; 32-bit Wine will not run" >&2; return 0; }
  if handler=$(i386_handler); then
    echo "setup: i386 programs already have a handler ($handler: $(head -1 "$binfmt/$handler")); left as it is"
    return 0
  fi
  # F: the kernel opens the emulator now, so it works in every mount namespace and chroot.
  if printf '%s' "$qemu_i386_rule" > "$binfmt/register"; then
    echo "setup: this kernel refuses 32-bit programs; registered /usr/bin/qemu-i386-static for i386 ELF programs (binfmt_misc qemu-i386)${missing:+, installed ${missing[*]}}"
  else
    echo "setup: could not register qemu-i386 with binfmt_misc; 32-bit Wine will not run" >&2
  fi
}
# The kernel's binfmt_misc rule for the emulator: magic and mask as \xNN escapes.
i386_mask='fffffffffffefe00fffffffffffffffffeffffff'
escaped() { printf '%s' "$1" | sed 's/../\\x&/g'; }
qemu_i386_rule=":qemu-i386:M::$(escaped "$i386_magic"):$(escaped "$i386_mask"):/usr/bin/qemu-i386-static:F"

if [ ${#need[@]} -gt 0 ]; then
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
  apt-get install -y -q --no-install-recommends -t bookworm "${need[@]}" || exit 1
fi

if refuses_32bit; then
  export DEBIAN_FRONTEND=noninteractive
  emulate_32bit
fi
exit 0
