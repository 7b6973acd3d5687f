#!/usr/bin/env bash
# wine-system.sh PROGRAM.exe [ARGS...]: runs one of Wine's own programs of the prefix by its path.
exec "$(dirname "$0")/wine-exec.sh" "$WINEPREFIX/drive_c/windows/system32/$1" "${@:2}"
