#!/usr/bin/env bash
# Prints Vorbane's figures beside their references, from one run on this
# machine (build first: cmake -S . -B build && cmake --build build):
#   1. the CPU's kernels, and MD5 throughput against OpenSSL's MD5_Update:
#      one 512 MiB file, and each multi-buffer kernel (bench/md5_bench.cpp)
#   2. for the whole package database and for the files under /usr/lib/:
#      vorbane -l against md5sum over the same files (xargs -0), output to
#      /dev/null; warm with every CPU, warm with both pinned to one
#      (taskset -c 0), and cold (every file dropped from the page cache
#      before each run of either tool); beside the warm figures, the same
#      system calls with no hashing at all (bench/syscall_floor.cpp), the
#      floor under any listing, against the same reference, made one at a
#      time and batched through io_uring
#   3. k files of 256 MiB on one CPU: the time for k, and time(k) / time(k+1)
#   4. peak resident memory of a listing of 10,000 and 1,000,000 distinct
#      paths, against its bound, and of each set above
#   5. vorbane -p /usr/bin/ls against dpkg -S /bin/ls
# Timed runs alternate between ours and the reference; figures are medians.
#   bench/compare.sh [build folder] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
vorbane=$(realpath "$build/vorbane")
fixture_program=$(realpath "$build/tests/vorbane_fixture")
evict=$(realpath "$build/bench/evict")
floor_program=$(realpath "$build/bench/syscall_floor")
for program in "$vorbane" "$fixture_program" "$evict" "$floor_program" "$build/bench/md5_bench"; do
  [ -x "$program" ] || { echo "missing $program: build first (OpenSSL headers from libssl-dev for md5_bench)"; exit 1; }
done
command -v /usr/bin/time >/dev/null || { echo "needs GNU time (package time)"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

. bench/timing.sh
# The paths a listing names, NUL-separated.
listed_paths() { sed -n 's/^ *[0-9]*\. \[MD5:.\{32\}\] \(.*\) $/\1/p' | tr '\n' '\0'; }

# The fewer system calls of the last two floors, with the hashing shared by
# as many CPUs as given: no listing that reads its files can take less.
least_beside_last_reference() {
  local calls=$last_median
  [ "$(echo "$previous_median < $last_median" | bc -l)" = 1 ] && calls=$previous_median
  side_by_side "  the fewer of those and the hashing alone" "$(echo "$calls + $hashing / $1" | bc -l)" \
    "$reference_median" s
}

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u +%Y-%m-%d)"
echo
echo "1. MD5 core"
"$build/bench/md5_bench" "" "$runs" | tee "$scratch/core" | sed 's/^/  /'
# The widest kernel's MB/s: what hashing costs with every lane full.
widest_rate=$(awk '$1 == "kernel" { getline; print $(NF - 2); exit }' "$scratch/core")

echo
echo "2. Listings against md5sum over the same files (median of $runs, output to /dev/null)"
for set in "the whole database:" "/usr/lib/:/usr/lib/"; do
  name=${set%%:*} pattern=${set#*:}
  "$vorbane" -l $pattern | listed_paths >"$scratch/paths"
  files=$(tr -cd '\0' <"$scratch/paths" | wc -c)
  recorded=${recorded:-$files}  # every path the databases record is remembered, whatever the pattern
  bytes=$({ xargs -0 stat -L -c %s <"$scratch/paths" 2>/dev/null || true; } | awk '{ s += $1 } END { printf "%.0f", s }')
  hashing=$(echo "$bytes / ($widest_rate * 1000000)" | bc -l)
  printf '  %s: %d files, %.1f GB, hashed in %.3f s of CPU at the widest kernel'"'"'s rate\n' \
    "$name" "$files" "$(echo "$bytes / 10^9" | bc -l)" "$hashing"
  ours="'$vorbane' -l $pattern" reference="xargs -0 md5sum <'$scratch/paths'"
  floor="'$floor_program'" paths_in="<'$scratch/paths'"
  alternate "warm, every CPU" "$ours" "$reference"
  beside_last_reference "  its system calls alone, every CPU" "$floor $paths_in"
  beside_last_reference "  the same, batched through io_uring" "$floor --batched $paths_in"
  least_beside_last_reference "$(nproc)"
  alternate "warm, both pinned to one CPU" "taskset -c 0 $ours" "taskset -c 0 $reference"
  beside_last_reference "  its system calls alone, one CPU" "taskset -c 0 $floor $paths_in"
  beside_last_reference "  the same, batched through io_uring" "taskset -c 0 $floor --batched $paths_in"
  least_beside_last_reference 1
  alternate "cold (files evicted before each run)" "$ours" "$reference" "'$evict' <'$scratch/paths' 2>/dev/null"
  kib=$(/usr/bin/time -f %M "$vorbane" -l $pattern 2>&1 >/dev/null | tail -1)
  printf '  %-46s %9d KiB   bound (8 MiB + 32 bytes a recorded path) %6d KiB\n' "peak resident memory" "$kib" \
    $((8192 + recorded * 32 / 1024))
done

echo
echo "3. k files of 256 MiB on one CPU (the same file under k names, warm), median of $runs"
mkdir -p "$scratch/fill/var/lib/dpkg/info"
head -c $((256 << 20)) /dev/urandom >"$scratch/fill/data"
for k in $(seq 33); do
  ln "$scratch/fill/data" "$scratch/fill/copy$k"
  for i in $(seq "$k"); do echo "0123456789abcdef0123456789abcdef  ${scratch#/}/fill/copy$i"; done \
    >"$scratch/fill/var/lib/dpkg/info/fill.md5sums"
  times=()
  for _ in $(seq "$runs"); do times+=("$(cd "$scratch/fill" && seconds taskset -c 0 "$fixture_program" -l)"); done
  fill[$k]=$(printf '%s\n' "${times[@]}" | median)
done
printf '  %3s %9s %16s\n' k "time (s)" "time(k)/time(k+1)"
for k in $(seq 33); do
  ratio=""
  [ "$k" -ge 2 ] && [ "$k" -le 32 ] && ratio=$(printf '%.3f' "$(echo "${fill[$k]} / ${fill[$((k + 1))]}" | bc -l)")
  printf '  %3d %9.3f %16s\n' "$k" "${fill[$k]}" "$ratio"
done
worst=$(for k in $(seq 2 32); do echo "${fill[$k]} / ${fill[$((k + 1))]}" | bc -l; done | sort -g | tail -1)
printf '  the largest time(k)/time(k+1), k from 2 to 32: %.3f\n' "$worst"

echo
echo "4. Peak resident memory of a listing (the paths listed are remembered, to list each once)"
mkdir -p "$scratch/root/var/lib/dpkg/info"
for entries in 10000 1000000; do
  awk -v n="$entries" -v folder="${scratch#/}/root/missing" \
    'BEGIN { for (i = 0; i < n; i++) printf "0123456789abcdef0123456789abcdef  %s/%d\n", folder, i }' \
    >"$scratch/root/var/lib/dpkg/info/fixture.md5sums"
  kib=$(cd "$scratch/root" && /usr/bin/time -f %M "$fixture_program" -l 2>&1 >/dev/null | tail -1)
  printf '  %9d distinct missing paths: %6d KiB   bound (8 MiB + 32 bytes a path) %6d KiB\n' "$entries" "$kib" \
    $((8192 + entries * 32 / 1024))
done

echo
echo "5. Check (median of $runs)"
alternate "vorbane -p /usr/bin/ls  vs  dpkg -S /bin/ls" "'$vorbane' -p /usr/bin/ls" "dpkg -S /bin/ls"
