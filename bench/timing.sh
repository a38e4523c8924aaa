# Timing helpers for the benchmark scripts (sourced). runs: how many timed
# runs of each command; figures are medians.

seconds() {  # runs a command, output discarded; prints the wall-clock seconds
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || true
  echo "$EPOCHREALTIME - $start" | bc -l
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
side_by_side() {  # what, ours, reference, unit
  printf '  %-46s %9.3f %s   reference %9.3f %s   ratio %.3f\n' "$1" "$2" "$4" "$3" "$4" "$(echo "$2 / $3" | bc -l)"
}
# Runs our command and the reference in turn, after a warm-up of each, and
# prints their medians side by side: what, our command, reference command
# (strings for bash -c), [a command run before each]. Keeps the reference's
# median in reference_median.
alternate() {
  local ours=() reference=() before=${4:-true}
  bash -c "$before"
  seconds bash -c "$2" >/dev/null
  bash -c "$before"
  seconds bash -c "$3" >/dev/null
  for _ in $(seq "$runs"); do
    bash -c "$before"
    reference+=("$(seconds bash -c "$3")")
    bash -c "$before"
    ours+=("$(seconds bash -c "$2")")
  done
  reference_median=$(printf '%s\n' "${reference[@]}" | median)
  side_by_side "$1" "$(printf '%s\n' "${ours[@]}" | median)" "$reference_median" s
}
# Times a command alone and prints its median beside the reference of the
# last alternate: what, command (a string for bash -c). Keeps its median in
# last_median, and the one before in previous_median.
beside_last_reference() {
  local times=()
  for _ in $(seq "$runs"); do times+=("$(seconds bash -c "$2")"); done
  previous_median=${last_median:-}
  last_median=$(printf '%s\n' "${times[@]}" | median)
  side_by_side "$1" "$last_median" "$reference_median" s
}
