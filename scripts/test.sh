#!/usr/bin/env bash
# test.sh: installs what a fresh Debian 12 machine lacks, then builds and runs every suite:
# Linux with GCC (native), Clang (clang) and sanitizers (sanitize), and the Windows DLLs under
# Wine (windows-x86, windows-x64).
# Exits non-zero if anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages cmake ninja-build g++ clang pkgconf libgtest-dev libbenchmark-dev libmpfr-dev \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64

status=0
run() { echo "== $*"; "$@" || status=1; }
# Without a Wine prefix every Windows test would fail for a reason that is not the code's.
wine_prefix_failed() {
  echo "test.sh: could not create the Wine prefix $WINEPREFIX; wineboot said:" >&2
  tail -n 30 "build/$preset/wineboot.log" >&2 || true
  exit 1
}

for preset in native clang sanitize windows-x86 windows-x64; do
  rm -rf "build/$preset"
  run cmake --preset "$preset" -DSINEWMA_REQUIRE_TEST_DEPS=ON >/dev/null
  run cmake --build --preset "$preset"
  if [[ "$preset" == windows-* ]]; then
    # A Wine prefix of its own inside the build folder, made before the tests start.
    # No Mono or Gecko: nothing here needs them, and a fresh prefix would try to fetch them.
    export WINEPREFIX="$PWD/build/$preset/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "build/$preset"
    if [ "$preset" = windows-x86 ]; then
      WINEARCH=win32 /usr/lib/wine/wine wineboot -i >"build/$preset/wineboot.log" 2>&1 ||
        wine_prefix_failed
    else
      WINEARCH=win64 /usr/lib/wine/wine64 wineboot -i >"build/$preset/wineboot.log" 2>&1 ||
        wine_prefix_failed
    fi
    [ -d "$WINEPREFIX/drive_c/windows/system32" ] || wine_prefix_failed
  fi
  run ctest --preset "$preset" -j2
done

exit $status
