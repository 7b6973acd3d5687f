#!/usr/bin/env bash
# Folders holding one file each under a name that the platform takes for a device. Such names
# cannot be made from inside Wine, which opens the device instead.
set -eu
fixture=$1
for name in NUL CON AUX COM1 PRN LPT1; do
  folder=$fixture/$(printf '%s' "$name" | tr 'A-Z' 'a-z')
  mkdir -p "$folder"
  printf '<d>%s</d>' "$name" > "$folder/$name.xml"
done
