#!/usr/bin/env bash
# Runs Vorbane.exe on a real console (Wine in a tmux pane) that starts yellow
# on blue (0x1E), and checks that each part of a screen comes out in its
# colour and that the console is yellow on blue again afterwards.
# The stand-in sfc.dll is in the system folder already (install_standin.sh).
# ctrl_c=no leaves out Ctrl-C, whose handler runs on a thread Windows
# creates for it (see one_cpu.sh for 32-bit Wine's threads).
#   console_colours.sh <wine> <console_launcher.exe> <Vorbane.exe> [ctrl_c: yes|no]
set -u
wine=$1 launcher=$2 vorbane=$3 ctrl_c=${4:-yes}
command -v tmux >/dev/null || { echo "tmux is missing"; exit 1; }
socket=vorbane-colours-$$
failures=0

# Prints the pane, escape sequences included, once the screen has been
# written. interrupt=1: Ctrl-C once the listing has begun.
list='C:\windows\win.ini' interrupt=0
run_on_console() {
  tmux -L "$socket" new-session -d -x 250 -y 80 \
    "WINEDEBUG=-all WINEDLLOVERRIDES=sfc=n VORBANE_STANDIN_SFC='$list' '$wine' '$launcher' 1E '$vorbane' $*; echo VORBANE-DONE; sleep 600"
  for _ in $(seq 1 1200); do
    [ "$interrupt" = 1 ] && tmux -L "$socket" capture-pane -p | grep -q 'List of protected files' &&
      sleep 1 && tmux -L "$socket" send-keys C-c && interrupt=0
    tmux -L "$socket" capture-pane -p | grep -q VORBANE-DONE && break
    sleep 0.5
  done
  tmux -L "$socket" capture-pane -p -e -J -S - | tr -d '\n'
  tmux -L "$socket" kill-server
}

# How tmux shows the attribute words: 15 and 0x1E in full; the others change
# only the foreground, the background staying black.
E=$'\e'
white_on_black="$E\[97m$E\[40m" white="$E\[97m" red="$E\[91m" green="$E\[92m" console="$E\[93m$E\[44m"

expect() {  # name, captured screen, extended regular expression it must match
  if printf '%s' "$2" | grep -q -E -- "$3"; then
    echo "ok: $1"
  else
    echo "FAILED: $1"
    printf '%s\n' "$2" | cat -v
    failures=$((failures + 1))
  fi
}

screen=$(run_on_console)
expect "usage: banner white, text green, console colours back" "$screen" \
  "^${console}before\|${white_on_black} Vorbane \[Version 1\.5\].*${green}[[:space:]]+Usage: .*kernel32\.dll\" *${console}\|after"

screen=$(run_on_console -p 'C:\\windows\\win.ini')
expect "check: banner white, heading green, answer red, console colours back" "$screen" \
  "^${console}before\|${white_on_black} Vorbane .*${green} Verifying the SFC protection.*${red} 'C:.windows.win\.ini' is protected by SFC *${console}\|after"

screen=$(run_on_console -l)
expect "listing: banner white, heading red, rows green, footer white, console colours back" "$screen" \
  "^${console}before\|${white_on_black} Vorbane .*${red} List of protected files.*${green} +1\. \[MD5:[0-9a-f]{32}\] C:.windows.win\.ini *${white} \.{55}.*> c:.output\.txt.*${console}\|after"

# Ctrl-C in the middle of a listing (a sparse file of 16 GiB, listed again
# and again, takes minutes to hash) puts the console's colours back.
if [ "$ctrl_c" = yes ]; then
  big=$(mktemp -d)
  truncate -s 16G "$big/big"
  list=Z:${big//\//\\}\\big
  list="$list|$list|$list|$list" interrupt=1
  screen=$(run_on_console -l)
  rm -rf "$big"
  expect "listing interrupted: console colours back" "$screen" \
    "^${console}before\|${white_on_black} Vorbane .*${red} List of protected files.*${console}\|after"
fi

echo "$failures failed"
exit $((failures > 0))
