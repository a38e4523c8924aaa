#!/usr/bin/env bash
# Prints Vorbane's figures beside their references, from one run on this
# machine (build first: cmake -S . -B build && cmake --build build):
#   1. MD5 throughput against OpenSSL's MD5_Update: one file, and each
#      multi-buffer kernel (bench/md5_bench.cpp)
#   2. vorbane -l over the whole dpkg database against md5sum over the same
#      paths (xargs -0), warm cache, output to /dev/null: with every CPU the
#      process may use, and with both pinned to one (taskset -c 0)
#   3. peak resident memory of a listing of 10,000 and 1,000,000 distinct
#      paths, against its bound, and of the whole database
#   4. vorbane -p /usr/bin/ls against dpkg -S /bin/ls
# Timed runs alternate between ours and the reference; figures are medians.
#   bench/compare.sh [build folder] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-7}
vorbane=$build/vorbane
fixture_program=$build/tests/vorbane_fixture
for program in "$vorbane" "$fixture_program" "$build/bench/md5_bench"; do
  [ -x "$program" ] || { echo "missing $program: build first (OpenSSL headers from libssl-dev for md5_bench)"; exit 1; }
done
command -v /usr/bin/time >/dev/null || { echo "needs GNU time (package time)"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

seconds() {  # runs a command, output discarded; prints the wall-clock seconds
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || true
  echo "$EPOCHREALTIME - $start" | bc -l
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
side_by_side() {  # what, ours, reference, unit
  printf '  %-44s %10.3f %s   reference %10.3f %s   ratio %.3f\n' "$1" "$2" "$4" "$3" "$4" "$(echo "$2 / $3" | bc -l)"
}
alternate() {  # what, our command, reference command (each a string for bash -c)
  local ours=() reference=()
  seconds bash -c "$2" >/dev/null
  seconds bash -c "$3" >/dev/null  # warm-up of both
  for _ in $(seq "$runs"); do
    reference+=("$(seconds bash -c "$3")")
    ours+=("$(seconds bash -c "$2")")
  done
  side_by_side "$1" "$(printf '%s\n' "${ours[@]}" | median)" "$(printf '%s\n' "${reference[@]}" | median)" s
}

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u +%Y-%m-%d)"
echo
echo "1. MD5 core"
"$build/bench/md5_bench" "" "$runs" | sed 's/^/  /'

echo
echo "2. Whole listing (median of $runs, warm cache, output to /dev/null)"
for info in $(ls /var/lib/dpkg/info/*.md5sums | LC_ALL=C sort); do
  sed -n 's|^[0-9a-fA-F]\{32\}  /\{0,1\}\(..*\)$|/\1|p' "$info"
done | tr '\n' '\0' >"$scratch/paths"
echo "  $(tr -cd '\0' <"$scratch/paths" | wc -c) files"
alternate "vorbane -l, every CPU  vs  xargs -0 md5sum" "'$vorbane' -l" "xargs -0 md5sum <'$scratch/paths'"
alternate "vorbane -l  vs  xargs -0 md5sum, one CPU" "taskset -c 0 '$vorbane' -l" \
  "taskset -c 0 xargs -0 md5sum <'$scratch/paths'"

echo
echo "3. Peak resident memory of a listing (the paths listed are remembered, to list each once)"
mkdir -p "$scratch/root/var/lib/dpkg/info"
for entries in 10000 1000000; do
  awk -v n="$entries" -v folder="${scratch#/}/root/missing" \
    'BEGIN { for (i = 0; i < n; i++) printf "0123456789abcdef0123456789abcdef  %s/%d\n", folder, i }' \
    >"$scratch/root/var/lib/dpkg/info/fixture.md5sums"
  kib=$(cd "$scratch/root" && /usr/bin/time -f %M "$OLDPWD/$fixture_program" -l 2>&1 >/dev/null | tail -1)
  printf '  %9d distinct missing paths: %6d KiB   bound (8 MiB + 32 bytes a path) %6d KiB\n' "$entries" "$kib" \
    $((8192 + entries * 32 / 1024))
done
kib=$(/usr/bin/time -f %M "$vorbane" -l 2>&1 >/dev/null | tail -1)
printf '  the whole database: %6d KiB\n' "$kib"

echo
echo "4. Check (median of $runs)"
alternate "vorbane -p /usr/bin/ls  vs  dpkg -S /bin/ls" "'$vorbane' -p /usr/bin/ls" "dpkg -S /bin/ls"
