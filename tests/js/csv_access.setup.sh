#!/usr/bin/env bash
# What the unprivileged user may not write: a read-only file and a folder without write
# permission.
set -eu
fixture=$1
printf 'old' > "$fixture/readonly.csv"
chmod 444 "$fixture/readonly.csv"
mkdir "$fixture/locked"
chmod 555 "$fixture/locked"
