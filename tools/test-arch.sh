#!/usr/bin/env bash
# Prints the Windows architecture that this machine's Wine can run tests for: i686 where
# 32-bit Linux programs run (the deliverables themselves are then tested), x86_64 where
# they do not (some sandboxed kernels refuse 32-bit executables; the same sources are then
# built for x86_64 and tested in a 64-bit prefix).
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo i686
else
  echo x86_64
fi
