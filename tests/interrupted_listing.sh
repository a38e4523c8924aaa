#!/usr/bin/env bash
# A listing interrupted with Ctrl-C on a terminal puts the terminal's own
# colours back: run one in tmux, interrupt it while it hashes, and look at
# the colours of what the shell prints next.
#   tests/interrupted_listing.sh <fixture program>
set -euo pipefail
program=$(realpath "$1")
root=$(mktemp -d)
socket=vorbane-interrupt-$$
trap 'tmux -L "$socket" kill-server 2>/dev/null || true; rm -rf "$root"' EXIT

echo abc >"$root/small"
truncate -s 64G "$root/big"  # sparse: a minute or more of hashing
mkdir -p "$root/var/lib/dpkg/info"
printf '00112233445566778899aabbccddeeff  %s\n' "${root#/}/small" "${root#/}/big" \
  >"$root/var/lib/dpkg/info/fixture.md5sums"

# An interactive shell, so that Ctrl-C reaches the program's job alone.
tmux -L "$socket" -f /dev/null new-session -d -x 200 -y 50 "env PS1='$ ' bash --norc --noprofile"
tmux -L "$socket" send-keys "cd '$root' && '$program' -l" Enter
wait_for() {  # text
  for _ in $(seq 300); do
    tmux -L "$socket" capture-pane -p 2>/dev/null | grep -q "$1" && return 0
    sleep 0.1
  done
  echo "never saw '$1':"
  tmux -L "$socket" capture-pane -p
  exit 1
}
wait_for "List of protected files"
sleep 0.5  # into the hashing
tmux -L "$socket" send-keys C-c
tmux -L "$socket" send-keys 'echo after:$?' Enter
wait_for 'after:130'
# tmux shows each colour change once, where it happens: the last one before
# the shell's answer must be back to the defaults.
last=$(tmux -L "$socket" capture-pane -p -e | sed '/after:130/q' | grep -o $'\033\\[[0-9;]*m' | tail -n 1)
case "$last" in
  $'\033[39m' | $'\033[49m' | $'\033[0m' | $'\033[m') echo "the terminal's colours are back after the interrupt" ;;
  *)
    echo "the shell's text after the interrupt is still coloured ($(cat -v <<<"$last")):"
    tmux -L "$socket" capture-pane -p -e | cat -v
    exit 1
    ;;
esac
