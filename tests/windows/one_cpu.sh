#!/usr/bin/env bash
# Runs a command on a single CPU that no other test running through this
# script holds, or on the first CPU when every one is held.
#
# The 32-bit Windows tests run under Wine through qemu, whose emulated
# threads are not reliable: there a 32-bit Vorbane with worker threads hung
# or died with "stack smashing detected" as its threads ended, one run in
# three. Wine gives a program the affinity of the process that starts it, so
# on one CPU Vorbane hashes on its listing thread, as it does on a one-CPU
# machine. The worker threads are the same code in the 64-bit build, whose
# tests run them. CTest runs tests two at a time: each takes a CPU of its own.
#   one_cpu.sh <command> [arguments...]
set -u
allowed=$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' /proc/self/status)
for range in ${allowed//,/ }; do
  for cpu in $(seq "${range%-*}" "${range#*-}"); do
    exec {lock}>"${TMPDIR:-/tmp}/vorbane-test-cpu-$cpu.lock"
    if flock -n "$lock"; then
      # The lock stays here, not in Wine's processes, some of which outlive
      # the command.
      taskset -c "$cpu" "$@" {lock}>&-
      exit
    fi
    exec {lock}>&-
  done
done
exec taskset -c "${allowed%%[-,]*}" "$@"
