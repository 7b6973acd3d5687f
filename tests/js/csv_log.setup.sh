#!/usr/bin/env bash
# A file name that lets itself be created but takes no bytes (a full device).
set -eu
ln -s /dev/full "$1/diskfull.csv"
