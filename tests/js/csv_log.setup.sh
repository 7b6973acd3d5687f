#!/usr/bin/env bash
# A file name that lets itself be created but takes no bytes (a full device).
set -eu
mkdir "$1/scratch"
ln -s /dev/full "$1/diskfull.csv"
