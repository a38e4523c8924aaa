#!/usr/bin/env bash
# Builds the packages from the test builds and checks them as a user would:
# the Debian package installs on this machine, reports itself as protected
# (its own package database now records it) and removes cleanly; the rpm,
# installed into a scratch root by rpm, says the same inside that root; each
# Windows ZIP holds Vorbane.exe and the README. Changes this machine: run it
# where that is wanted (CI does).
set -euo pipefail
cd "$(dirname "$0")/../.."
failures=0
check() {  # what, command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/vorbane_*.deb)
check "the package ships an md5sums control file" bash -c "dpkg-deb -I '$deb' md5sums | grep -q ' usr/bin/vorbane$'"
check "the package installs" dpkg -i "$deb"
answer=$(cd / && vorbane -p /usr/bin/vorbane)
check "the installed tool reports itself as protected" grep -q "'/usr/bin/vorbane' is protected by SFC" <<<"$answer"
check "the manual page is in place" test -f /usr/share/man/man1/vorbane.1
check "the package removes" dpkg -r vorbane
check "nothing of it is left" bash -c '! test -e /usr/bin/vorbane && ! test -e /usr/share/man/man1/vorbane.1 && ! test -e /usr/share/doc/vorbane'

(cd build && cpack -G RPM >/dev/null)
rpm_file=$(ls build/vorbane-*.rpm)
root=$(mktemp -d)
check "the rpm installs into a scratch root" rpm --root "$root" --dbpath /var/lib/rpm --nodeps -i "$rpm_file"
# The root holds nothing else: give it the C library, and the sqlite library
# that rpm's database is read through.
sqlite=$(ldconfig -p | grep -o '/.*/libsqlite3\.so\.0$' | head -n 1)
for file in $( (ldd "$root/usr/bin/vorbane" && ldd "$sqlite") | grep -o '/[^ ]*') "$sqlite"; do
  cp --parents -L "$file" "$root"
done
answer=$(chroot "$root" /usr/bin/vorbane -p /usr/bin/vorbane)
check "the tool installed by rpm reports itself as protected" grep -q "'/usr/bin/vorbane' is protected by SFC" <<<"$answer"
rm -rf "$root"

for bits in 32 64; do
  (cd build-win$bits && cpack -G ZIP >/dev/null)
  zip=build-win$bits/Vorbane-1.5-win$bits.zip
  check "$zip holds Vorbane.exe and the README" bash -c "unzip -Z1 '$zip' | sort | tr '\n' ' ' | grep -q '^LICENSE README.md Vorbane.exe $'"
done

echo "$failures failed"
exit $((failures > 0))
