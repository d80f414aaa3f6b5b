#!/usr/bin/env bash
# test.sh: installs what a fresh Debian 12 machine lacks, then builds and runs every suite:
# Linux (native, sanitize) and the Windows DLLs under Wine (windows-x86, windows-x64).
# Exits non-zero if anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages cmake ninja-build g++ libgtest-dev libbenchmark-dev libmpfr-dev

status=0
run() { echo "== $*"; "$@" || status=1; }

for preset in native sanitize; do
  rm -rf "build/$preset"
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset"
  run ctest --preset "$preset" -j2
done

exit $status
