#!/usr/bin/env bash
# Keeps the design's one-way dependencies: the include graph of the code has
# no cycle, and how a digest is made (protection/digests/) and which files
# are protected (protection/databases/) never include each other.
#   tests/check_includes.sh [source folder]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
edges=$(grep -r -o -E '^#include "[^"]+"' cli console protection |
  sed -E 's/^([^:]+):#include "([^"]+)"$/\1 \2/' | grep -v ' vorbane_config\.h$')
failed=0
if ! tsort <<<"$edges" >/dev/null 2>"${TMPDIR:-/tmp}/tsort.$$"; then
  echo "the include graph has a cycle:"
  cat "${TMPDIR:-/tmp}/tsort.$$"
  failed=1
fi
rm -f "${TMPDIR:-/tmp}/tsort.$$"
crossing=$(grep -E '^protection/digests/[^ ]* protection/databases/|^protection/databases/[^ ]* protection/digests/' <<<"$edges" || true)
if [ -n "$crossing" ]; then
  echo "digests and databases include each other:"
  echo "$crossing"
  failed=1
fi
echo "$(wc -l <<<"$edges") includes between $(tr ' ' '\n' <<<"$edges" | sort -u | wc -l) files checked"
exit $failed
