#!/usr/bin/env bash
# Builds the database-reader fuzzers with clang and runs each for a bounded
# time from its seed corpus; fails on any crash, leak or sanitizer report.
#   tests/databases/fuzz/run_fuzzers.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/../../.."
seconds=${1:-30}
folder=build-fuzz
CXX=clang++ cmake -S . -B "$folder" -DVORBANE_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
names="dpkg apk pacman portage rpm_header rpm_ndb rpm_bdb"
cmake --build "$folder" -j "$(nproc)" --target $(printf 'fuzz_%s ' $names)
for name in $names; do
  corpus="$folder/corpus-$name"
  mkdir -p "$corpus"
  cp tests/databases/fuzz/corpus/"$name"/* "$corpus"/
  log="$folder/fuzz_$name.log"
  echo "== fuzz_$name for $seconds s"
  if ! "$folder/tests/databases/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=16384 -print_final_stats=1 "$corpus" \
    >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz_$name failed"
    exit 1
  fi
  grep -E 'number_of_executed_units|average_exec_per_sec|new_units_added' "$log"
done
