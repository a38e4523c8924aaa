#!/usr/bin/env bash
# Builds the packages from the test builds and checks them as a user would,
# each inside a scratch root so that this machine is left as it was: the
# Debian package installs with dpkg, reports itself as protected (its own
# package database now records it) and removes cleanly; the rpm, installed
# by rpm, says the same; each Windows ZIP (where the Windows builds exist)
# holds Vorbane.exe and the README. Needs root, for chroot.
#   tests/package/check_packages.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
failures=0
check() {  # what, command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
roots=()
trap 'rm -rf "${roots[@]}"' EXIT
scratch_root() {  # prints a new empty root
  local root
  root=$(mktemp -d)
  roots+=("$root")
  echo "$root"
}
# A root holds nothing else: give it the C library, and the sqlite library
# that rpm's database is read through.
add_libraries() {  # root
  local sqlite file
  sqlite=$(ldconfig -p | grep -o '/.*/libsqlite3\.so\.0$' | head -n 1)
  for file in $( (ldd "$1/usr/bin/vorbane" && ldd "$sqlite") | grep -o '/[^ ]*') "$sqlite"; do
    cp --parents -L "$file" "$1"
  done
}
protects_itself() {  # root
  chroot "$1" /usr/bin/vorbane -p /usr/bin/vorbane | grep -q "'/usr/bin/vorbane' is protected by SFC"
}

(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/vorbane_*.deb)
root=$(scratch_root)
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
check "the package ships an md5sums control file" bash -c "dpkg-deb -I '$deb' md5sums | grep -q ' usr/bin/vorbane$'"
# The root has no libc6 package for the dependency to name.
check "the package installs" dpkg --root="$root" --force-depends -i "$deb"
check "the manual page is in place" test -f "$root/usr/share/man/man1/vorbane.1"
add_libraries "$root"
check "the installed tool reports itself as protected" protects_itself "$root"
check "the package removes" dpkg --root="$root" -r vorbane
check "nothing of it is left" bash -c "! test -e '$root/usr/bin/vorbane' && ! test -e '$root/usr/share/man/man1/vorbane.1' &&
  ! test -e '$root/usr/share/doc/vorbane'"

(cd build && cpack -G RPM >/dev/null)
rpm_file=$(ls build/vorbane-*.rpm)
root=$(scratch_root)
check "the rpm installs into a scratch root" rpm --root "$root" --dbpath /var/lib/rpm --nodeps -i "$rpm_file"
add_libraries "$root"
check "the tool installed by rpm reports itself as protected" protects_itself "$root"

for bits in 32 64; do
  [ -d build-win$bits ] || continue
  (cd build-win$bits && cpack -G ZIP >/dev/null)
  zip=build-win$bits/Vorbane-1.5-win$bits.zip
  check "$zip holds Vorbane.exe and the README" bash -c "unzip -Z1 '$zip' | sort | tr '\n' ' ' | grep -q '^LICENSE README.md Vorbane.exe $'"
done

echo "$failures failed"
exit $((failures > 0))
