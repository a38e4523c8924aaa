#!/usr/bin/env bash
# The Windows listing under Wine, beside its references, from one run on
# this machine (build first: the 64-bit Windows build, see the README):
#   1. Vorbane.exe -l, with the stand-in sfc.dll listing every file under a
#      folder as Z:\ paths, against a plain loop that hashes the same files
#      one at a time with a provider context each (windows_bench loop)
#   2. the listing with every CPU against the listing pinned to one CPU
#      (taskset on the Wine process, which Wine reflects in the affinity
#      mask), with the number of worker threads each used
# Figures are medians of runs, ours alternating with the reference.
#   bench/windows_compare.sh [64-bit Windows build folder] [folder to list] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build-win64}")
folder=${2:-/usr/lib/x86_64-linux-gnu}
runs=${3:-3}
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$PWD/build-wine/prefix} WINEDLLOVERRIDES=sfc=n
wine=/usr/lib/wine/wine64
. bench/timing.sh
tests/windows/install_standin.sh "$build/tests/windows/standin_sfc/sfc.dll" system32
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The list: every regular file under the folder, as a Z:\ path.
find "$folder" -type f -print0 | LC_ALL=C sort -z | tr '/\0' '\\|' | sed 's/^/Z:/; s/|\\/|Z:\\/g; s/|$//' |
  iconv -f UTF-8 -t UTF-16LE >"$scratch/list"
list="Z:${scratch//\//\\}\\list"
export VORBANE_STANDIN_SFC="@$list"
files=$(find "$folder" -type f | wc -l)
bytes=$(find "$folder" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.1f", s / 1e9 }')

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u +%Y-%m-%d)," \
  "$($wine --version)"
echo "Listing $folder under Wine: $files files, $bytes GB, warm, median of $runs"
alternate "Vorbane.exe -l  vs  a context per file, one at a time" "$wine '$build/Vorbane.exe' -l" \
  "$wine '$build/bench/windows_bench.exe' loop '$list'"
alternate "Vorbane.exe -l, every CPU  vs  pinned to one" "$wine '$build/Vorbane.exe' -l" \
  "taskset -c 0 $wine '$build/Vorbane.exe' -l"
echo "  worker threads: $($wine "$build/bench/windows_bench.exe" workers | tr -d '\r') with every CPU," \
  "$(taskset -c 0 $wine "$build/bench/windows_bench.exe" workers | tr -d '\r') pinned to one"
