#!/usr/bin/env bash
# package.sh STAGE: one step in the life of the installer package, in a Wine prefix of its own
# (TALLYFOLD_PACKAGE_WORK/wineprefix). ctest runs the stages in this order, each going on from
# what the one before left: install (in a new prefix), classes, page_flow, active_setup,
# repair, reinstall, uninstall, registry, upgrade, signed.
# The class registry is compared as tftool regdump lines of HKLM\Software\Classes, without
# the installer's own bookkeeping below Installer. Wine registers classes of its own as they
# are first used, so later states are compared on the package's keys only: the keys below
# which installing the package wrote (ours).
set -u
stage=$1
here=$(cd "$(dirname "$0")" && pwd)
tools=$(cd "$here/../../tools" && pwd)
work=$TALLYFOLD_PACKAGE_WORK
. "$tools/common.sh"
if [ -z "${TF_PACKAGE_PREFIX:-}" ]; then
  if [ "$stage" = install ]; then
    # What an interrupted earlier run may have left running in the old prefix goes first.
    [ -d "$work/wineprefix" ] && end_prefix "$work/wineprefix"
    rm -rf "$work"
  fi
  mkdir -p "$work"
  TF_PACKAGE_PREFIX=1 TALLYFOLD_WINEPREFIX=$work/wineprefix exec "$tools/with-wine.sh" "$TALLYFOLD_BUILD" "$0" "$@"
fi

failed=0
fail() { echo "FAIL: $stage: $*"; failed=1; }
passed() { echo "ok: $stage: $*"; }

msi=$(winpath "$TALLYFOLD_MSI")
folder=$WINEPREFIX/drive_c/Program\ Files/Tallyfold
dll_path='C:\Program Files\Tallyfold\Tallyfold.dll'
control_clsid='{CDCD1A02-C10B-4854-8AF5-836A506A74DE}'
active_setup='HKLM\Software\Microsoft\Active Setup\Installed Components\'$TALLYFOLD_ACTIVE_SETUP_ID

tftool() { wine "$TALLYFOLD_TFTOOL" "$@" </dev/null >/dev/null 2>&1; }

# regdump KEY FILE [SKIP...]
regdump() {
  local key=$1 file=$2
  shift 2
  tftool regdump "$key" "$(winpath "$file")" "$@" || fail "cannot read $key"
}

classes() { regdump 'HKLM\Software\Classes' "$1" Installer; }

# The path of each line of a regdump.
paths() { sed -e 's/^key //' -e 's/^value \(.*\) | .* | .* | .*$/\1/' "$@"; }

# ours FILE: its lines below the package's keys: CLSID\{...}, AppID\{...}, TypeLib\{...} and
# Interface\{...} keys, and keys of their own such as the ProgIDs.
ours() {
  awk -F' [|] ' 'NR == FNR { mine[tolower($0)] = 1; next }
                 { path = $1; sub(/^(key|value) /, "", path); n = split(path, level, "\\")
                   top = tolower(level[1]); if (n > 1 && top ~ /^(clsid|appid|typelib|interface)$/) top = top "\\" tolower(level[2])
                   if (top in mine) print }' "$work/ours.txt" "$1"
}

# msiexec ARGS...: silent, with a log kept beside the snapshots.
msiexec() {
  local log=$work/msiexec-$stage-$((++runs)).log rc
  "$tools/wine-system.sh" msiexec.exe "$@" /qn /l*v "$(winpath "$log")" </dev/null >/dev/null 2>&1
  rc=$?
  [ $rc -eq 0 ] || fail "msiexec $* exited $rc (log: $log)"
  return $rc
}
runs=0

same() { # same WHAT EXPECTED ACTUAL
  if diff -u "$2" "$3" >"$work/diff.txt"; then
    passed "$1"
  else
    fail "$1:"
    cat "$work/diff.txt"
  fi
}

files_installed() {
  local f
  for f in Tallyfold.dll Siteward.exe; do
    cmp -s "$folder/$f" "$TALLYFOLD_DELIVERABLE_DIR/$f" || fail "$f is not installed as built"
  done
}

# The Active Setup entry as it must be for VERSION (dotted).
expected_active_setup() {
  printf '%s\n' \
    'value  | (default) | s | Tallyfold 信頼済みサイトの設定' \
    'value  | IsInstalled | d | 0x00000001' \
    'value  | StubPath | s | "C:\Program Files\Tallyfold\Siteward.exe"' \
    "value  | Version | s | ${1//./,}" >"$work/active-setup.expected"
  regdump "$active_setup" "$work/active-setup.txt"
  same "Active Setup entry of $1" "$work/active-setup.expected" "$work/active-setup.txt"
}

# The version of each installed product named Tallyfold, one a line.
products() {
  regdump 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' "$work/uninstall.txt"
  awk -F' [|] ' '$2 == "DisplayName" && $4 == "Tallyfold" { named[substr($1, 7)] = 1 }
                 $2 == "DisplayVersion" { version[substr($1, 7)] = $4 }
                 END { for (key in named) print version[key] }' "$work/uninstall.txt"
}

# page_flow WHAT: the sample page's flow on the registered component gives the sample CSV.
page_flow() {
  TALLYFOLD_DEMO_INSTALLED=1 TALLYFOLD_DEMO_NO_DIALOG=1 "$tools/demo.sh" "$work" >"$work/demo.out" 2>&1 ||
    { fail "the page flow failed"; cat "$work/demo.out"; }
  iconv -f CP932 -t UTF-8 "$work/demo/certificates.csv" >"$work/certificates.csv" 2>/dev/null
  same "$1" "$TALLYFOLD_SOURCE/examples/demo/expected-certificates.csv" "$work/certificates.csv"
}

# The snapshots are sorted by code unit, as C sorts them.
comm() { LC_ALL=C command comm "$@"; }

case $stage in
install)
  classes "$work/before.txt"
  msiexec /i "$msi"
  classes "$work/installed.txt"
  files_installed
  [ -z "$(comm -23 "$work/before.txt" "$work/installed.txt")" ] || fail "installing took keys or values away"
  comm -13 "$work/before.txt" "$work/installed.txt" | paths | awk -F'\\' '
    { top = tolower($1) } top ~ /^(clsid|appid|typelib|interface)$/ && NF > 1 { print top "\\" tolower($2); next } { print top }' |
    LC_ALL=C sort -u >"$work/ours.txt"
  [ -s "$work/ours.txt" ] || fail "nothing was registered"
  ours "$work/installed.txt" >"$work/installed-ours.txt"
  ;;
classes)
  "$tools/run-js.sh" "$here/package_classes.js" "$dll_path" || failed=1
  ;;
page_flow)
  page_flow "the sample page's CSV"
  ;;
active_setup)
  expected_active_setup "$TALLYFOLD_VERSION"
  # What Active Setup does at a user's logon: run StubPath as that user.
  stub=$(sed -n 's/^value  | StubPath | s | "\(.*\)"$/\1/p' "$work/active-setup.txt")
  wine "$stub" </dev/null >/dev/null 2>&1
  rc=$?
  [ $rc -eq 0 ] && passed "StubPath runs Siteward, exit code 0" || fail "StubPath $stub exited $rc"
  printf '%s\n' "value  | $SITEWARD_DOWNLOAD_HOST | b | 0000" "value  | $SITEWARD_SECOND_HOST | b | 0000" |
    sort >"$work/allow.expected"
  regdump 'HKCU\Software\Microsoft\Internet Explorer\New Windows\Allow' "$work/allow.txt"
  same "the user's pop-up allow list" "$work/allow.expected" "$work/allow.txt"
  ;;
repair)
  wine reg delete "HKCR\\CLSID\\$control_clsid\\InprocServer32" /f </dev/null >/dev/null 2>&1
  wine reg delete "HKCR\\TypeLib\\{7ED64AC5-8942-43D4-8822-0CB153843AF3}" /f </dev/null >/dev/null 2>&1
  wine reg delete "$active_setup" /v StubPath /f </dev/null >/dev/null 2>&1
  rm -f "$folder/Siteward.exe"
  # Wine's msiexec hands /f's package path to MsiReinstallProduct, which takes a product
  # code, and has no /f with a product code: the same repair is asked for by its properties.
  if "$tools/wine-system.sh" msiexec.exe /fa "$msi" /qn </dev/null >/dev/null 2>&1; then
    fail "msiexec /fa now works here: test it instead of its properties"
  else
    echo "left out: msiexec /fa and /famus themselves: Wine's msiexec cannot repair by a package path; the same repair runs as REINSTALL=ALL REINSTALLMODE=..."
  fi
  msiexec /i "$msi" REINSTALL=ALL REINSTALLMODE=a
  files_installed
  msiexec /i "$msi" REINSTALL=ALL REINSTALLMODE=amus
  classes "$work/repaired.txt"
  ours "$work/repaired.txt" >"$work/repaired-ours.txt"
  same "the package's keys after repair" "$work/installed-ours.txt" "$work/repaired-ours.txt"
  expected_active_setup "$TALLYFOLD_VERSION"
  ;;
reinstall)
  msiexec /i "$msi"
  classes "$work/reinstalled.txt"
  ours "$work/reinstalled.txt" >"$work/reinstalled-ours.txt"
  same "the package's keys after a second install" "$work/installed-ours.txt" "$work/reinstalled-ours.txt"
  files_installed
  [ "$(products)" = "$TALLYFOLD_VERSION" ] || fail "installed products: [$(products | tr '\n' ' ')]"
  ;;
uninstall)
  # Another program's subkey below the class key.
  wine reg add "HKCR\\CLSID\\$control_clsid\\Foreign" /ve /d "another program's" /f </dev/null >/dev/null 2>&1
  msiexec /x "$msi"
  [ ! -e "$folder" ] || fail "$folder stays: $(ls "$folder" | tr '\n' ' ')"
  printf '%s\n' "key CLSID\\$control_clsid" "key CLSID\\$control_clsid\\Foreign" \
                "value CLSID\\$control_clsid\\Foreign | (default) | s | another program's" >"$work/uninstalled.expected"
  classes "$work/uninstalled.txt"
  ours "$work/uninstalled.txt" >"$work/uninstalled-ours.txt"
  same "the package's keys after removal: all but the foreign subkey gone" "$work/uninstalled.expected" "$work/uninstalled-ours.txt"
  grep -qix 'key CLSID' "$work/uninstalled.txt" && grep -qix 'key AppID' "$work/uninstalled.txt" ||
    fail "a shared key went: $(grep -cix 'key CLSID' "$work/uninstalled.txt") CLSID, $(grep -cix 'key AppID' "$work/uninstalled.txt") AppID"
  regdump "$active_setup" "$work/active-setup.txt"
  [ "$(cat "$work/active-setup.txt")" = absent ] || fail "the Active Setup entry stays"
  [ -z "$(products)" ] || fail "still installed: $(products)"
  wine reg delete "HKCR\\CLSID\\$control_clsid" /f </dev/null >/dev/null 2>&1
  ;;
registry)
  # The same DLL at the same place, registered by itself.
  mkdir -p "$folder" && cp "$TALLYFOLD_DELIVERABLE_DIR/Tallyfold.dll" "$folder/"
  classes "$work/unregistered.txt"
  "$tools/wine-system.sh" regsvr32.exe /s "$dll_path" </dev/null >/dev/null 2>&1 || fail "regsvr32 failed"
  classes "$work/registered.txt"
  comm -13 "$work/unregistered.txt" "$work/registered.txt" >"$work/regsvr32-rows.txt"
  # An installer folder property ends in a backslash; RegisterTypeLib writes the folder without
  # one. The library names no help file, so the help folder is never read.
  comm -13 "$work/before.txt" "$work/installed.txt" | sed '/\\HELPDIR | (default) | s | /s/\\$//' >"$work/package-rows.txt"
  same "keys and values of the package and of regsvr32 ($(wc -l <"$work/regsvr32-rows.txt") lines)" \
    "$work/regsvr32-rows.txt" "$work/package-rows.txt"
  "$tools/wine-system.sh" regsvr32.exe /u /s "$dll_path" </dev/null >/dev/null 2>&1 || fail "regsvr32 /u failed"
  rm -rf "$folder"
  ;;
upgrade)
  msiexec /i "$(winpath "$TALLYFOLD_PREVIOUS_MSI")"
  expected_active_setup "$TALLYFOLD_PREVIOUS_VERSION"
  [ "$(products)" = "$TALLYFOLD_PREVIOUS_VERSION" ] || fail "installed products: [$(products | tr '\n' ' ')]"
  msiexec /i "$msi"
  [ "$(products)" = "$TALLYFOLD_VERSION" ] || fail "installed products after the upgrade: [$(products | tr '\n' ' ')]"
  expected_active_setup "$TALLYFOLD_VERSION"
  classes "$work/upgraded.txt"
  ours "$work/upgraded.txt" >"$work/upgraded-ours.txt"
  same "the package's keys after the upgrade" "$work/installed-ours.txt" "$work/upgraded-ours.txt"
  files_installed
  # An older package does not go over a newer one.
  if "$tools/wine-system.sh" msiexec.exe /i "$(winpath "$TALLYFOLD_PREVIOUS_MSI")" /qn </dev/null >/dev/null 2>&1; then
    fail "the older package installed over the newer one"
  fi
  [ "$(products)" = "$TALLYFOLD_VERSION" ] || fail "installed products after the refused downgrade: [$(products | tr '\n' ' ')]"
  msiexec /x "$msi"
  classes "$work/removed.txt"
  [ -z "$(ours "$work/removed.txt")" ] || fail "keys stay after removal: $(ours "$work/removed.txt" | head -3)"
  [ ! -e "$folder" ] || fail "$folder stays"
  ;;
signed)
  # Run alone, the stage finds the package installed by the first one.
  [ -z "$(products)" ] || msiexec /x "$msi"
  # make release with a throwaway key, by the build that makes packages (x86_64, natively), its
  # package tools in a prefix of their own.
  release=$work/release
  rm -rf "$release" && mkdir -p "$release/dist"
  "$TALLYFOLD_SOURCE/tests/release/chain.sh" "$release/chain" >/dev/null || fail "no throwaway chain"
  cp "$TALLYFOLD_DELIVERABLE_DIR/Tallyfold.dll" "$TALLYFOLD_DELIVERABLE_DIR/Siteward.exe" "$TALLYFOLD_MSI" "$release/dist/"
  SIGN_PKCS12=$release/chain/signer.p12 SIGN_PASSWORD_FILE=$release/chain/password.txt SIGN_CAFILE=$release/chain/root.pem \
    TALLYFOLD_RELEASE_WINEPREFIX=$release/wineprefix \
    "$tools/release.sh" "$release/dist" "${TALLYFOLD_PACKAGE_BUILD:-$TALLYFOLD_BUILD}" "$release/work" >"$release/release.log" 2>&1 ||
    { fail "make release with a throwaway key failed"; cat "$release/release.log"; }
  signed_by_chain() { osslsigncode verify -CAfile "$release/chain/root.pem" -in "$1" >/dev/null 2>&1; }
  # The signed DLL, registered by itself, runs the page flow.
  mkdir -p "$folder" && cp "$release/dist/Tallyfold.dll" "$folder/"
  signed_by_chain "$folder/Tallyfold.dll" || fail "the released DLL carries no signature of the throwaway chain"
  "$tools/wine-system.sh" regsvr32.exe /s "$dll_path" </dev/null >/dev/null 2>&1 && passed "regsvr32 registers the signed DLL" ||
    fail "regsvr32 of the signed DLL failed"
  page_flow "the sample page's CSV through the signed DLL"
  "$tools/wine-system.sh" regsvr32.exe /u /s "$dll_path" </dev/null >/dev/null 2>&1 || fail "regsvr32 /u of the signed DLL failed"
  rm -rf "$folder"
  # The signed package installs the signed programs.
  msiexec /i "$(winpath "$release/dist/Tallyfold.msi")" && passed "the signed package installs"
  TALLYFOLD_DELIVERABLE_DIR=$release/dist files_installed
  for name in Tallyfold.dll Siteward.exe; do
    signed_by_chain "$folder/$name" && passed "the installed $name is the signed one" || fail "the installed $name carries no signature"
  done
  msiexec /x "$(winpath "$release/dist/Tallyfold.msi")"
  [ ! -e "$folder" ] || fail "$folder stays"
  ;;
*)
  echo "package.sh: no stage $stage" >&2
  exit 2
  ;;
esac
exit $failed
