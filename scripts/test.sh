#!/usr/bin/env bash
# Sets everything up, then builds and runs every test: the release build first, then the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, then a short fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh default
ctest --preset default -j2
./scripts/setup.sh sanitize
ctest --preset sanitize -j2
# The libFuzzer target, built with clang, for a short run from its corpus.
./scripts/setup.sh fuzz
ctest --preset fuzz
