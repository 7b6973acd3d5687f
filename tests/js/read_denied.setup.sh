#!/usr/bin/env bash
# A folder whose second file the user may write but not read: the platform lists it as a plain
# archive file, and opening it for reading is refused.
set -eu
dir=$1
printf '<一>1</一>' > "$dir/1.xml"
printf '<二>2</二>' > "$dir/2.xml"
printf '<三>3</三>' > "$dir/3.xml"
chmod 0200 "$dir/2.xml"
