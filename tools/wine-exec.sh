#!/usr/bin/env bash
# Runs a Windows program under Wine in the prefix that with-wine.sh prepared.
# Output goes through files in the caller's hands; a child that outlives us cannot hold a pipe.
exec wine "$@"
