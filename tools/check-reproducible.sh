#!/usr/bin/env bash
# check-reproducible.sh BUILD_ROOT DIST: builds the shipped files a second time, from a copy of
# these sources in another folder (BUILD_ROOT/reproducible/<name>), later than the first build,
# with the first build's settings, and compares them byte for byte with DIST's. Also checks that
# no shipped file of either build names either folder. make test runs it beside the suites.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/.." && pwd)
root=$(cd "$1" && pwd)
dist=$(cd "$2" && pwd)
start=$(date +%s)
# The files that the build ships (make release signs and sums the same ones).
shipped=(Tallyfold.dll Siteward.exe Tallyfold.msi)

cache=$root/i686/CMakeCache.txt
[ -f "$cache" ] || { echo "reproducible: FAILED: $root/i686 is not built"; exit 1; }
setting() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }

# A folder name of another length than the first build's, so that a path that leaked into a
# file would move what follows it.
copy=$root/reproducible/second-build-of-tallyfold
rm -rf "$root/reproducible"
mkdir -p "$copy"
# The sources as this checkout has them, committed or not (what DIST was built from); outside
# git, everything but the build and the deliverables.
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$source" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -)
else
  tar -C "$source" --exclude=./build --exclude=./dist --exclude="./${root#"$source"/}" -cf - .
fi | tar -C "$copy" -xf - || { echo "reproducible: FAILED: cannot copy the sources"; exit 1; }

# The copy has no history: it gets the first build's time through SOURCE_DATE_EPOCH.
echo "second build in $copy, SOURCE_DATE_EPOCH=$(setting TALLYFOLD_SOURCE_DATE_EPOCH)"
# The make that runs us must hand nothing on (its BUILD or DIST would be the first build's).
if ! env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL SOURCE_DATE_EPOCH="$(setting TALLYFOLD_SOURCE_DATE_EPOCH)" \
     make -C "$copy" deliverables BUILD=build DIST="$copy/dist" \
     SITEWARD_DOWNLOAD_HOST="$(setting SITEWARD_DOWNLOAD_HOST)" SITEWARD_SECOND_HOST="$(setting SITEWARD_SECOND_HOST)" \
     TALLYFOLD_LOCK_TO_SITEWARD_HOSTS="$(setting TALLYFOLD_LOCK_TO_SITEWARD_HOSTS)" \
     TALLYFOLD_ALLOWED_ORIGINS="$(setting TALLYFOLD_ALLOWED_ORIGINS)" </dev/null; then
  echo "reproducible: FAILED: the second build failed"
  exit 1
fi

failed=0
compared=()
for name in "${shipped[@]}"; do
  rm -f "$root/reproducible/signature"
  if osslsigncode extract-signature -in "$dist/$name" -out "$root/reproducible/signature" >/dev/null 2>&1; then
    # make release signed it; a build never does.
    echo "left out: reproducible $name: $dist/$name is signed (make release); make clean, then make test compares it"
  elif cmp "$dist/$name" "$copy/dist/$name"; then
    compared+=("$name")
  else
    echo "FAIL: $name differs between $source and $copy"
    failed=1
  fi
done

# Neither folder in any shipped file, the files inside the package included (its cabinet is
# compressed).
mkdir -p "$root/reproducible/unpacked"
(cd "$root/reproducible/unpacked" && msiextract "$copy/dist/Tallyfold.msi" >/dev/null) ||
  { echo "FAIL: msiextract cannot unpack $copy/dist/Tallyfold.msi"; failed=1; }
# In 8-bit and in UTF-16 text, with / and as Wine's Z: drive shows it.
. "$here/common.sh"
searched=0
while IFS= read -r -d '' file; do
  searched=$((searched + 1))
  if { strings -a -n 6 "$file"; strings -a -n 6 -el "$file"; } |
     grep -F -i -e "$source" -e "$copy" -e "$(winpath "$source")" -e "$(winpath "$copy")" >/dev/null; then
    echo "FAIL: $file names a build folder"
    failed=1
  fi
done < <(find "${shipped[@]/#/$dist/}" "${shipped[@]/#/$copy/dist/}" "$root/reproducible/unpacked" -type f -print0)

if [ $failed -eq 0 ]; then
  echo "reproducible: passed in $(( $(date +%s) - start )) s: ${compared[*]:-nothing} byte-identical in both folders; no build folder named in any of $searched shipped or packed files"
else
  echo "reproducible: FAILED in $(( $(date +%s) - start )) s"
fi
exit $failed
