#!/usr/bin/env bash
# release.sh DIST PACKAGE_BUILD WORK: the release of the files in DIST (make release).
# With a key (SIGN_* in the environment, see codesign.sh) it signs the programs, makes each
# installer package again from the signed programs with the build PACKAGE_BUILD (the x86_64
# one, whose package tools run natively), signs the packages, and verifies every signature.
# Without a key the files stay as built and one line says so. Either way DIST/SHA256SUMS
# then lists every shipped file, in the form that sha256sum -c reads.
# Everything is made in WORK first; DIST changes only once all of it is made and verified, so
# a failure leaves DIST as it was.
set -u
here=$(cd "$(dirname "$0")" && pwd)
dist=$(cd "$1" && pwd) || exit 1
package_build=$(cd "$2" && pwd) || exit 1
mkdir -p "$3" && work=$(cd "$3" && pwd) || exit 1

# ---------------------------------------------------------------------------------------------
# What a release ships: every file of DIST that it signs and sums, one a line, in the order
# they are made.
#   program  signed; the packages carry the signed copy
#   package  made again from the signed programs by the package build's make-msi.sh, then signed
#   plain    shipped as built, summed only
shipped() {
  cat <<'EOF'
program Tallyfold.dll
program Siteward.exe
package Tallyfold.msi
EOF
}
# ---------------------------------------------------------------------------------------------

die() { echo "release: $*; $dist is unchanged" >&2; exit 1; }

mode=$("$here/codesign.sh" check) || die "no release made"
rm -rf "$work/stage"
mkdir -p "$work/stage" || die "cannot make $work/stage"
stage=$(cd "$work/stage" && pwd)

while read -r kind name; do
  [ -f "$dist/$name" ] || die "$name is missing: build it first (make package)"
done < <(shipped)

if [ "$mode" = unsigned ]; then
  echo "release: unsigned (no key given: SIGN_PKCS12 or SIGN_PKCS11_MODULE, see README)"
  while read -r kind name; do
    cp -p "$dist/$name" "$stage/$name" || die "cannot copy $name"
  done < <(shipped)
else
  # The package tools run in a Wine prefix of the release's own unless the caller names one,
  # so that a release never disturbs the prefix of a test run.
  export TALLYFOLD_WINEPREFIX=${TALLYFOLD_RELEASE_WINEPREFIX:-$package_build/wineprefix}
  while read -r kind name; do
    case $kind in
      program)
        mkdir -p "$stage/$(dirname "$name")"
        "$here/codesign.sh" sign "$dist/$name" "$stage/$name" || die "no release made"
        ;;
      package)
        "$package_build/package/make-msi.sh" "$name" "$stage" "$work/$name" >"$work/package.log" 2>&1 ||
          { cat "$work/package.log" >&2; die "$name could not be made from the signed programs"; }
        "$here/codesign.sh" sign "$work/$name" "$stage/$name" || die "no release made"
        rm -f "$work/$name"
        ;;
      plain)
        cp -p "$dist/$name" "$stage/$name" || die "cannot copy $name"
        ;;
    esac
    if [ "$kind" != plain ]; then
      "$here/codesign.sh" verify "$stage/$name" || die "no release made"
      echo "release: signed and verified $name"
    fi
  done < <(shipped)
fi

# The sums in a fixed order and locale, so that two releases of one commit give the same file.
(cd "$stage" && shipped | while read -r kind name; do echo "$name"; done | LC_ALL=C xargs sha256sum) >"$stage/SHA256SUMS" ||
  die "cannot sum the files"

# Into DIST. A signed file keeps the time of the file it replaces, so that the build still
# sees DIST as up to date and makes nothing again over the signed files.
rm -f "$dist/SHA256SUMS"
while read -r kind name; do
  touch -r "$dist/$name" "$stage/$name" && mv -f "$stage/$name" "$dist/$name" ||
    { echo "release: cannot move $name into $dist; the release is in $stage" >&2; exit 1; }
done < <(shipped)
mv -f "$stage/SHA256SUMS" "$dist/SHA256SUMS"
echo "release: $dist/SHA256SUMS:"
sed 's/^/  /' "$dist/SHA256SUMS"
