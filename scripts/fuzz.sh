#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build directory and
# runs each one on its seed corpus.
#   scripts/fuzz.sh [seconds [target...]]
#       seconds per target (default 20); targets answers, parameter_file,
#       identification (default all three)
# New inputs go to build-fuzz/corpus/<target>/; a crash leaves its input
# as build-fuzz/crash-*, to be replayed with build-fuzz/tests/fuzz/fuzz_<target> FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
dir=${KORVEN_FUZZ_BUILD_DIR:-build-fuzz}
targets=(answers parameter_file identification)
if [ $# -gt 1 ]; then
  targets=("${@:2}")
fi

if ! command -v clang++ >/dev/null; then
  echo "clang++ is missing: run scripts/setup.sh (packages clang, libclang-rt-14-dev)" >&2
  exit 2
fi

# The whole program gets coverage and sanitizers; the targets add libFuzzer.
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEN_BUILD_QT=OFF -DKORVEN_BUILD_TESTS=OFF -DKORVEN_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$dir" -j "${KORVEN_FUZZ_JOBS:-2}" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
root=$(pwd)
status=0
for t in "${targets[@]}"; do
  work="$dir/corpus/$t"
  mkdir -p "$work"
  echo "== fuzz_$t for ${seconds}s"
  if ! (cd "$dir" && "tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=20 \
          -rss_limit_mb=2048 -print_final_stats=1 "corpus/$t" "$root/tests/fuzz/corpus/$t"); then
    echo "fuzz_$t found a problem (see above)" >&2
    status=1
  fi
done
exit $status
