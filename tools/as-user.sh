#!/usr/bin/env bash
# as-user.sh SCRIPT.js [ARGS...]
# Runs a script test whose outcome depends on file permissions. Wine run by root ignores
# them, so as root the test runs as the unprivileged user "tallyfold-test", in a prefix of
# its own where the DLL under test is registered first. Run by anyone else, it is an
# ordinary script test.
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  exec "$here/run-js.sh" "$@"
fi
script=$1; shift
user=tallyfold-test
home=/var/lib/$user
if ! id -u "$user" >/dev/null 2>&1; then
  useradd --system --home-dir "$home" --create-home --shell /bin/bash "$user" || exit 1
fi
mkdir -p "$home" && chown "$user" "$home"
# Everything the run needs is staged where the user can read it: the checkout may lie in a
# folder that only root can enter.
stage=$(mktemp -d "$home/stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/tools" "$stage/bin"
cp "$here"/*.sh "$stage/tools/"
cp "$here/../tests/js/lib/testlib.js" "$stage/testlib.js"
cp "$script" "$stage/"
[ -f "${script%.js}.setup.sh" ] && cp "${script%.js}.setup.sh" "$stage/"
cp "$TALLYFOLD_DLL_UNIX" "$stage/bin/Tallyfold.dll"
cp "$TALLYFOLD_TFTOOL_UNIX" "$stage/bin/tftool.exe"
chown -R "$user" "$stage"
. "$here/common.sh"
arch=$TALLYFOLD_TEST_ARCH # set by with-wine.sh
# The user's prefix belongs to the run that asks for it (one per root prefix), so that runs of
# two checkouts side by side never register their DLLs in one prefix.
run_key=$(printf '%s' "$WINEPREFIX" | cksum | cut -d' ' -f1)
own_prefix "$home/wineprefix-$arch-$run_key"
# The test's own switches pass through; nothing else of root's environment does.
passed=()
[ -n "${TALLYFOLD_OUTPUT+set}" ] && passed+=("TALLYFOLD_OUTPUT=$TALLYFOLD_OUTPUT")
runuser -u "$user" -- env -i HOME="$home" USER="$user" PATH=/usr/local/bin:/usr/bin:/bin TMPDIR=/tmp "${passed[@]}" \
  TALLYFOLD_TEST_ARCH="$arch" TALLYFOLD_WINEPREFIX="$home/wineprefix-$arch-$run_key" TALLYFOLD_LOCPATH="$home/locale" \
  TALLYFOLD_TESTLIB="$stage/testlib.js" \
  TALLYFOLD_DLL="$(winpath "$stage/bin/Tallyfold.dll")" TALLYFOLD_TFTOOL="$(winpath "$stage/bin/tftool.exe")" \
  "$stage/tools/with-wine.sh" "$home/build-$arch-$run_key" bash -c \
  '"$1/tools/wine-system.sh" regsvr32.exe /s "$TALLYFOLD_DLL" && "$1/tools/run-js.sh" "${@:2}"' \
  _ "$stage" "$stage/$(basename "$script")" "$@"
