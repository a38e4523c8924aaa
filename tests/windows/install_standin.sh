#!/usr/bin/env bash
# Puts the stand-in sfc.dll in the Wine prefix's system folder, once, before
# any Windows test starts (a CTest fixture). Copied beside it, then renamed
# over it: a program starting meanwhile loads the old file or the new one,
# never half of one.
#   install_standin.sh <stand-in sfc.dll> <system folder: system32 or syswow64>
set -euo pipefail
folder=${WINEPREFIX:-$HOME/.wine}/drive_c/windows/$2
[ -d "$folder" ] || { echo "no Wine system folder at $folder"; exit 1; }
cp "$1" "$folder/sfc.dll.new.$$"
mv -f "$folder/sfc.dll.new.$$" "$folder/sfc.dll"
