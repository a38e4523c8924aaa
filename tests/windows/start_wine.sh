#!/usr/bin/env bash
# Starts Wine's server and its services for the prefix before any test does,
# with nothing of a test's: started by a test, they keep that test's output
# pipe open until the last Wine program ends, and CTest counts the test as
# running until then, one of its slots lost. The server stays 60 s after its
# last program.
#   start_wine.sh <wine>
set -u
wineserver -p60 </dev/null >/dev/null 2>&1  # fails when one is running: that one serves
# The services are 64-bit programs in a 64-bit prefix: Debian's 64-bit loader
# starts them in a second, where a 32-bit one may take minutes in an emulator.
loader=$1
[ -x /usr/lib/wine/wine64 ] && loader=/usr/lib/wine/wine64
"$loader" wineboot </dev/null >/dev/null 2>&1
