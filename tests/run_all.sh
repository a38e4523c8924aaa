#!/usr/bin/env bash
# Builds Vorbane and runs every test: the native build with warnings as
# errors, then again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

run_native() {  # folder, extra cmake arguments...
  local folder=$1
  shift
  echo "== $folder"
  cmake -S . -B "$folder" -DVORBANE_WERROR=ON "$@" >/dev/null
  cmake --build "$folder" -j "$jobs"
  ctest --test-dir "$folder" -j "$jobs" --output-on-failure
}

run_native build
run_native build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVORBANE_SANITIZE=ON
