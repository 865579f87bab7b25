#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh            normal build in build/
#   scripts/test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh --release  Release build in build-release/, the logic tests only
# Warnings are errors here (KORVEN_WERROR); ccache is used when installed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=build; extra=(-DKORVEN_WERROR=ON); targets=()
case "${1:-}" in
  --sanitize)
    dir=build-asan; extra+=(-DKORVEN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
    ;;
  --release)
    dir=build-release; extra+=(-DCMAKE_BUILD_TYPE=Release)
    targets=(--target korven_tests korven-darir)
    ;;
esac
if command -v ccache >/dev/null 2>&1; then
  extra+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
cmake -S . -B "$dir" -G Ninja "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
if ((${#targets[@]})); then
  (cd "$dir/tests" && ./korven_tests --gtest_brief=1)
else
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
fi
