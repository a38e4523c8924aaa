#!/usr/bin/env bash
# Standard output that takes no more, under Wine: a full device ends the
# listing and the usage screen with status 1 and the reason on standard
# error; a reader that has gone away (a closed pipe) ends them quietly
# with 0, as on POSIX when SIGPIPE is ignored.
#   write_errors.sh <wine> <Vorbane.exe>
set -u
wine=$1 vorbane=$2
export WINEDLLOVERRIDES=sfc=b  # Wine's own sfc.dll: the listing is its header
failures=0
expect() {  # what, got, expected
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1: got [$2], expected [$3]"
    failures=$((failures + 1))
  fi
}
said=$(mktemp)
for args in -l ""; do
  "$wine" "$vorbane" $args >/dev/full 2>"$said"
  expect "'$args' into a full device" "$?: $(tr -d '\r' <"$said")" "1: vorbane: write error: No space left on device"
  # The reader is gone long before Wine has started the program.
  "$wine" "$vorbane" $args 2>"$said" | (exit 0)
  expect "'$args' into a closed pipe" "${PIPESTATUS[0]}: $(tr -d '\r' <"$said")" "0: "
done
rm -f "$said"
echo "$failures failed"
exit $((failures > 0))
