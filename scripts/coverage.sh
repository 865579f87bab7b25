#!/usr/bin/env bash
# Line and branch coverage of the program's code (app/, link/, display/,
# calibration/, runtime/ without runtime/qt/) by korven_tests, in a Debug
# --coverage build in build-cov/. Prints gcovr's summary; branches that only
# exceptions or unreachable code take are left out.
#   bash scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v gcovr >/dev/null || { echo "gcovr is missing: apt-get install gcovr" >&2; exit 2; }
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-cov -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVEN_BUILD_QT=OFF \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage "${launcher[@]}" >/dev/null
cmake --build build-cov -j "$(nproc)" --target korven_tests
find build-cov -name '*.gcda' -delete
# The long runs take most of the time; a minute of virtual time reaches the
# same code.
(cd build-cov/tests && KORVEN_LONGRUN_SECONDS=60 KORVEN_LONGRUN_SEED=1 ./korven_tests --gtest_brief=1)
gcovr -r . --filter 'app/' --filter 'link/' --filter 'display/' --filter 'calibration/' \
  --filter 'runtime/' --exclude 'runtime/qt/' --exclude-throw-branches \
  --exclude-unreachable-branches build-cov --print-summary -o build-cov/coverage.txt
