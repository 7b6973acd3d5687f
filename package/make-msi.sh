#!/usr/bin/env bash
# make-msi.sh NAME IN_DIR OUT: the installer package NAME, made from the programs in IN_DIR and
# written to OUT. Run through the build's generated package/make-msi.sh, which sets the build's
# settings (TALLYFOLD_MSI_*, SOURCE_DATE_EPOCH). The build makes dist/'s package with it, and
# make release makes the package again from the signed programs.
#
# The same programs give the same package, byte for byte: the files are packed with the
# SOURCE_DATE_EPOCH date and fixed permissions, the summary information's dates are that time,
# and the package code is derived from everything the package is made of.
set -eu
name=$1
in=$(cd "$2" && pwd)
mkdir -p "$(dirname "$3")"
out=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/common.sh"

case $name in
  Tallyfold.msi)
    wxs=$here/Tallyfold.wxs
    files=(Tallyfold.dll Siteward.exe)
    ;;
  *)
    echo "make-msi.sh: no package named $name" >&2
    exit 2
    ;;
esac
version=$TALLYFOLD_MSI_VERSION
rows=$TALLYFOLD_MSI_ROWS_DIR/TallyfoldRegistry.wxi

# The cabinet records each file's date (in local time) and attributes, so they are pinned.
export TZ=UTC
umask 022
work=$(mktemp -d "$out.XXXXXX")
trap 'rm -rf "$work"' EXIT
for file in "${files[@]}"; do
  cp "$in/$file" "$work/$file"
  chmod 0644 "$work/$file"
  touch -d "@$SOURCE_DATE_EPOCH" "$work/$file"
done

# The package code names one package: a GUID (UUID version 8) from a SHA-256 of all that goes
# into it, so that another build of the same programs gets the same code and anything else
# another.
digest=$({ echo "$name $version $TALLYFOLD_MSI_PRODUCT_CODE $SOURCE_DATE_EPOCH"
           (cd "$work" && sha256sum "${files[@]}")
           sha256sum <"$rows"; sha256sum <"$wxs"; } | sha256sum | cut -c1-32 | tr a-f A-F)
variant=$(printf '%X' $(( (0x${digest:16:1} & 3) | 8 )))
package_code="{${digest:0:8}-${digest:8:4}-8${digest:13:3}-${variant}${digest:17:3}-${digest:20:12}}"

# wixl finds the files to package in its working folder.
(cd "$work" && WINDOWS_LANGUAGE=ja "$TALLYFOLD_MSI_WIXL" -o "$work/$name" -I "$TALLYFOLD_MSI_ROWS_DIR" \
   -D ProductVersion="$version" -D ProductCode="$TALLYFOLD_MSI_PRODUCT_CODE" -D UpgradeCode="$TALLYFOLD_MSI_UPGRADE_CODE" \
   -D ActiveSetupId="$TALLYFOLD_MSI_ACTIVE_SETUP_ID" -D ActiveSetupVersion="${version//./,}" "$wxs")
# The code page of the strings, then the package code and dates, through the platform's own
# installer database calls.
"$here/../tools/with-wine.sh" "$TALLYFOLD_MSI_BUILD" sh -c 'wine "$1" "$2" 932 && wine "$3" "$2" "$4" "$5"' _ \
  "$TALLYFOLD_MSI_CODEPAGE_TOOL" "$(winpath "$work/$name")" "$TALLYFOLD_MSI_SUMMARY_TOOL" "$package_code" "$SOURCE_DATE_EPOCH" \
  </dev/null
mv -f "$work/$name" "$out"
