#!/usr/bin/env bash
# A file name that lets itself be created but takes no bytes (a full device), and two
# folders whose directory part (after the drive, with its trailing separator) is 255 and
# 256 characters long; each one's Windows path is left in a text file beside it. The script
# host's own folder calls cannot make or remove paths this long.
set -eu
fixture=$1
deep() {
  local path=$fixture/$1 want=$2
  mkdir "$path"
  local rest=$((want - ${#path} - 1)) n
  while [ "$rest" -gt 0 ]; do
    if [ "$rest" -gt 150 ]; then n=100; else n=$((rest - 1)); fi
    path=$path/$(printf "%${n}s" '' | tr ' ' "${1:0:1}")
    mkdir "$path"
    rest=$((rest - n - 1))
  done
  printf 'Z:%s' "${path//\//\\}" > "$fixture/$1.path"
}
deep e255 255
deep f256 256
