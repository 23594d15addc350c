#!/usr/bin/env bash
# Builds and runs every test: unit and process tests natively, the same again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows build for real under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in dev asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
  ctest --preset "$preset"
done

echo "== wine"
scripts/wine/check.sh
