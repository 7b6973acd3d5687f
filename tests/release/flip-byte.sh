#!/usr/bin/env bash
# flip-byte.sh FILE: changes one byte in the middle of FILE (inverts its lowest bit), inside
# the part that a signature covers.
set -eu
file=$1
offset=$(( $(stat -c %s "$file") / 2 ))
byte=$(od -An -tu1 -j "$offset" -N1 "$file" | tr -d ' ')
printf "$(printf '\\%03o' $(( byte ^ 1 )))" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
