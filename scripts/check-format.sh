#!/usr/bin/env bash
# Fails when a C++ file differs from the project's .clang-format style.
set -euo pipefail
cd "$(dirname "$0")/.."
bad=0
while IFS= read -r -d '' f; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || { echo "not formatted: $f" >&2; bad=1; }
done < <(git ls-files -z '*.cpp' '*.h')
exit $bad
