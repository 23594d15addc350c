#!/usr/bin/env bash
# Builds clockdrift and runs it. On Windows it plays through the default output device; on Linux
# it plays on our simulated sound card in real time (100 s either way).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j 2 >/dev/null
exec build/release/clockdrift
