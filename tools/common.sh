# Sourced by the tools' scripts.

# The Windows path of a file of this machine, as Wine's Z: drive shows it.
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's#/#\\#g')"; }

# The DLL that the build in $1 makes (its output folder is in the build's cache).
build_dll() { printf '%s/Tallyfold.dll' "$(sed -n 's/^TALLYFOLD_DIST_DIR:PATH=//p' "$1/CMakeCache.txt")"; }

# The ELF header that marks an i386 program (the first 20 bytes, as hex): how the kernel's
# binfmt_misc entry for the emulator recognises one.
i386_magic='7f454c4601010100000000000000000002000300'

# prefix_pids PREFIX [server]: the live Wine processes (loaders, server, emulated programs) of the
# prefix PREFIX, whoever runs them, or its server alone; the scripts that merely have PREFIX in
# their environment are not among them. One pass of find over /proc: a fork per process would
# take half a minute on a busy machine.
prefix_pids() {
  local names=(-lname '*/wine*' -o -lname '*/qemu-i386*') link pid
  [ "${2:-}" != server ] || names=(-lname '*/wineserver*')
  find /proc -mindepth 2 -maxdepth 2 -name exe \( "${names[@]}" \) 2>/dev/null |
    while read -r link; do
      if grep -qzxF "WINEPREFIX=$1" "${link%/exe}/environ" 2>/dev/null; then
        pid=${link#/proc/}; echo "${pid%/exe}"
      fi
    done
}

# end_prefix PREFIX: ends every Wine process of the prefix, those whose server is gone included.
# Safe under set -e: a prefix with nothing running is no failure.
end_prefix() {
  local pids
  WINEPREFIX=$1 timeout "${TF_BOOT_CLEANUP_LIMIT:-30}" wineserver -k >/dev/null 2>&1 || true
  pids=$(prefix_pids "$1")
  if [ -n "$pids" ]; then kill -9 $pids 2>/dev/null || true; fi
}

# own_prefix PREFIX: PREFIX belongs to the run that TALLYFOLD_RUN_PREFIXES names (a file with a
# prefix a line), whose clean-up ends the processes of those prefixes and of no others.
own_prefix() {
  [ -n "${TALLYFOLD_RUN_PREFIXES:-}" ] || return 0
  grep -qxF "$1" "$TALLYFOLD_RUN_PREFIXES" 2>/dev/null || echo "$1" >>"$TALLYFOLD_RUN_PREFIXES"
}
