#!/usr/bin/env bash
# test.sh: installs what a fresh Debian 12 machine lacks, then builds and runs every suite:
# Linux with GCC (native), Clang (clang) and sanitizers (sanitize), and the Windows DLLs under
# Wine (windows-x86, windows-x64), and aarch64 Linux under qemu (linux-aarch64).
# Exits non-zero if anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages cmake ninja-build g++ clang pkgconf libgtest-dev libbenchmark-dev libmpfr-dev \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 libclang-rt-14-dev
# aarch64 Linux: the cross compiler and binutils, GoogleTest and MPFR for arm64, and qemu.
need_packages g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user \
  libgtest-dev:arm64 libmpfr-dev:arm64

status=0
run() { echo "== $*"; "$@" || status=1; }
# Without a Wine prefix every Windows test would fail for a reason that is not the code's.
wine_prefix_failed() {
  echo "test.sh: could not create the Wine prefix $WINEPREFIX; wineboot said:" >&2
  tail -n 30 "build/$preset/wineboot.log" >&2 || true
  exit 1
}

for preset in native clang sanitize windows-x86 windows-x64 linux-aarch64; do
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

# The bindings, against the native build. Python: the package installed into a fresh virtual
# environment of Debian's /usr/bin/python3 (which sees Debian's numpy and pandas; the first
# python3 on PATH may be another), its tests run from outside python/ so that they import the
# installed copy. C#: Sinewma.cs and its tests built with mcs and run with mono.
need_packages python3-numpy python3-pandas python3-pytest python3-venv python3-setuptools \
  python3-wheel python3-mpmath python3-dask python3-distributed mono-mcs mono-runtime
bindings="$PWD/build/native/bindings"
rm -rf "$bindings" && mkdir -p "$bindings"
run /usr/bin/python3 -m venv --system-site-packages "$bindings/venv"
run "$bindings/venv/bin/pip" install --quiet --no-index --no-build-isolation \
  --disable-pip-version-check ./python
run env -C "$bindings" -u SINEWMA_LIBRARY SINEWMA_REFERENCE="$PWD/build/native/libsinewma.so" \
  "$bindings/venv/bin/python" -m pytest -q -p no:cacheprovider "$PWD/python/tests"
run "$bindings/venv/bin/python" python/bench.py --repetitions 1  # once, so it cannot rot
run mcs -langversion:7 -warnaserror+ -out:"$bindings/SwmaTests.exe" \
  csharp/Sinewma.cs csharp/tests/SwmaTests.cs
run env LD_LIBRARY_PATH="$PWD/build/native" mono "$bindings/SwmaTests.exe" data/sunspots.csv
run env LD_LIBRARY_PATH="$PWD/build/native" mono "$bindings/SwmaTests.exe" --bench  # likewise

exit $status
