#!/usr/bin/env bash
# demo.sh: builds the library and the sinewma host, then smooths the bundled sunspot series:
# prints the table and writes the chart to build/demo/sunspots.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages cmake ninja-build g++
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DSINEWMA_TESTS=OFF -DSINEWMA_BENCH=OFF >/dev/null
cmake --build build/demo >/dev/null
build/demo/sinewma --period 11 --svg build/demo/sunspots.svg data/sunspots.csv
echo "chart written to build/demo/sunspots.svg" >&2
