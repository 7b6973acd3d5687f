#!/usr/bin/env bash
# fault_entries.sh make|remove DIR
# The folder of ten thousand entries for FaultTest.TenThousandEntriesFewCandidates: every
# tenth a folder named *.xml, most of the others read-only *.xml files or names ending in
# .xmlx or .txt, and five plain files c?????.xml holding "<c>N</c>". Made here rather than
# under Wine, where each new name costs a scan of the whole folder.
set -eu
dir=$2
if [ "$1" = remove ]; then
  [ -d "$dir" ] && chmod -R u+w "$dir" && rm -rf "$dir"
  exit 0
fi
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
folders=()
for ((i = 0; i < 10000; i++)); do
  printf -v n '%05d' "$i"
  if ((i % 2000 == 1000)); then
    printf '<c>%d</c>' "$i" > "c$n.xml"
  elif ((i % 10 == 0)); then
    folders+=("d$n.xml")
  elif ((i % 10 < 6)); then
    : > "r$n.xml"
  elif ((i % 10 < 8)); then
    : > "t$n.xmlx"
  else
    : > "u$n.txt"
  fi
done
mkdir "${folders[@]}"
chmod a-w r*.xml
