#!/usr/bin/env bash
# Builds the rpm fixtures that the tests read, in one folder:
#   root/     a real install (rpm --root) of four tiny packages: a %config
#             file, a name with a space, a symbolic link, a %dir, a %ghost,
#             an excluded %doc (state 2), a netshared file (state 3), a file
#             replaced by a later package (state 1), 400 files in one
#             package, and a package with no files
#   headers   the same packages' headers, exported by rpm
#   bdb-le/Packages, bdb-be/Packages
#             the same headers in Berkeley DB hash files of either byte order
#   bdb-v7/Packages
#             the little-endian one as Berkeley DB 3 wrote it: hash version 7
#   files/    the files the packages installed, at the paths they record
#   bad-blob.sqlite
#             the database with package beta's header cut short
#   expected  rpm's own answer for each database, filtered to the installed
#             regular files: "package<TAB>path" lines in package-number order
#   tests/rpm/make_fixtures.sh <folder>
set -euo pipefail
out=$(realpath -m "$1")
rm -rf "$out"
mkdir -p "$out/build" "$out/root" "$out/bdb-le" "$out/bdb-be" "$out/bdb-v7"
files=$out/files

recipe() {  # name, file content of "shared", more of the recipe
  cat <<RECIPE
Name: $1
Version: 1
Release: 1
Summary: fixture
License: MIT
BuildArch: noarch
%description
fixture
%install
mkdir -p %{buildroot}$files/dir %{buildroot}$files/net %{buildroot}$files/many
echo conf > %{buildroot}$files/alpha.conf
echo space > "%{buildroot}$files/with space"
ln -s "with space" %{buildroot}$files/link
echo doc > %{buildroot}$files/README
echo net > %{buildroot}$files/net/shared
echo $2 > %{buildroot}$files/shared
for i in \$(seq 1 400); do echo \$i > %{buildroot}$files/many/f\$i; done
$3
RECIPE
}
recipe alpha alpha "
%package many
Summary: many
%description many
400 files
%package empty
Summary: empty
%description empty
no files
%files
%config $files/alpha.conf
\"$files/with space\"
$files/link
%dir $files/dir
%ghost $files/ghost
%doc $files/README
$files/net/shared
$files/shared
%files many
$files/many
%files empty" >"$out/build/alpha.recipe"
recipe beta beta "
%files
$files/shared" >"$out/build/beta.recipe"

for name in alpha beta; do
  rpmbuild -bb --quiet --define "_topdir $out/build" --define '_build_id_links none' \
    --define '_unpackaged_files_terminate_build 0' "$out/build/$name.recipe" >/dev/null 2>&1
done
rpms=$out/build/RPMS/noarch
install() { rpm --root "$out/root" --dbpath /var/lib/rpm --nodeps "$@" 2>&1 | grep -v -e Alien -e 'what you are doing' || true; }
install --excludedocs --define "_netsharedpath $files/net" -i "$rpms"/alpha-*.rpm
install --replacefiles -i "$rpms"/beta-*.rpm

query() {  # rpm options...: installed regular files, as "package<TAB>path"
  rpm "$@" -qa --qf '[%{=NAME}\t%{FILEMODES}\t%{FILEFLAGS}\t%{FILESTATES}\t%{FILENAMES}\n]' |
    awk -F '\t' 'int($2 / 4096) == 8 && int($3 / 64) % 2 == 0 && $4 == 0 { print $1 "\t" $5 }'
}
query --root "$out/root" --dbpath /var/lib/rpm >"$out/expected"

# The headers, split out of rpm's export (each one led by the 8-byte magic),
# as a Berkeley DB load file: key 0 holds the highest package number, as rpm
# keeps it, and package n the n-th header.
rpmdb --root "$out/root" --dbpath /var/lib/rpm --exportdb >"$out/headers"
word() { od -An -tu4 --endian="$1" -j "$2" -N 4 "$out/headers" | tr -d ' '; }
hex() { od -An -v -tx1 -j "$1" -N "$2" "$out/headers" | tr -d ' \n'; }
load_file() {  # endian
  local at=0 number=0 size total
  total=$(stat -c %s "$out/headers")
  printf 'VERSION=3\nformat=bytevalue\ntype=hash\ndb_pagesize=4096\nHEADER=END\n'
  while [ "$at" -lt "$total" ]; do
    size=$((8 + 16 * $(word big $((at + 8))) + $(word big $((at + 12)))))
    number=$((number + 1))
    printf ' %s\n %s\n' "$(printf '%08x' "$number" | key_bytes "$1")" "$(hex $((at + 8)) "$size")"
    at=$((at + 8 + size))
  done
  printf ' %s\n %s\n' "$(printf '%08x' 0 | key_bytes "$1")" "$(printf '%08x' "$number" | key_bytes "$1")"
  printf 'DATA=END\n'
}
key_bytes() {  # endian: a big-endian hex word on stdin, in that byte order
  local w
  read -r w
  if [ "$1" = little ]; then echo "${w:6:2}${w:4:2}${w:2:2}${w:0:2}"; else echo "$w"; fi
}
load_file little | db5.3_load -c db_lorder=1234 "$out/bdb-le/Packages"
load_file big | db5.3_load -c db_lorder=4321 "$out/bdb-be/Packages"
# rpm lists a Berkeley DB in hash order: compare package by package.
by_package() { sort -s -t "$(printf '\t')" -k 1,1 "$@"; }
for order in le be; do
  if ! query --dbpath "$out/bdb-$order" --define '_db_backend bdb_ro' 2>/dev/null | by_package |
    cmp -s - <(by_package "$out/expected"); then
    echo "rpm reads the $order Berkeley DB differently from the sqlite one" >&2
    exit 1
  fi
done
# Version 7 differs from 9 only past the fields a reader of rpm's databases
# uses: the version word (offset 16) tells them apart.
cp "$out/bdb-le/Packages" "$out/bdb-v7/Packages"
printf '\007' | dd of="$out/bdb-v7/Packages" bs=1 seek=16 conv=notrunc status=none
rpm --root "$out/root" --dbpath /var/lib/rpm -qa --qf '%{NAME}\n' >"$out/names"
mv "$out/root$files" "$files"
cp "$out/root/var/lib/rpm/rpmdb.sqlite" "$out/bad-blob.sqlite"
sqlite3 "$out/bad-blob.sqlite" "UPDATE Packages SET blob = substr(blob, 1, 4) || X'7fffffff' || substr(blob, 9)
  WHERE hnum = $(grep -n '^beta$' "$out/names" | cut -d : -f 1)"
