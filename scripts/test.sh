#!/usr/bin/env bash
# test.sh: installs what a fresh Debian 12 machine lacks, then builds and runs every suite:
# Linux with GCC (native), Clang (clang) and sanitizers (sanitize), and the Windows DLLs under
# Wine (windows-x86, windows-x64).
# Exits non-zero if anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages cmake ninja-build g++ clang pkgconf libgtest-dev libbenchmark-dev libmpfr-dev \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 libclang-rt-14-dev

status=0
run() { echo "== $*"; "$@" || status=1; }

for preset in native clang sanitize windows-x86 windows-x64; do
  rm -rf "build/$preset"
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset"
  if [[ "$preset" == windows-* ]]; then
    # A Wine prefix of its own inside the build folder, made before the tests start.
    # No Mono or Gecko: nothing here needs them, and a fresh prefix would try to fetch them.
    export WINEPREFIX="$PWD/build/$preset/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [ "$preset" = windows-x86 ]; then
      WINEARCH=win32 /usr/lib/wine/wine wineboot -i >/dev/null 2>&1 || true
    else
      WINEARCH=win64 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
    fi
  fi
  run ctest --preset "$preset" -j2
done

exit $status
