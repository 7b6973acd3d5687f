# Sourced by the tools' scripts.

# The Windows path of a file of this machine, as Wine's Z: drive shows it.
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's#/#\\#g')"; }

# The DLL that the build in $1 makes (its output folder is in the build's cache).
build_dll() { printf '%s/Tallyfold.dll' "$(sed -n 's/^TALLYFOLD_DIST_DIR:PATH=//p' "$1/CMakeCache.txt")"; }
