#!/usr/bin/env bash
# Builds Vorbane and runs every test: the native build with warnings as
# errors, the same under AddressSanitizer and UndefinedBehaviorSanitizer, the
# threaded hashing under ThreadSanitizer, a build without GoogleTest, the
# database fuzzers, the 64-bit and 32-bit Windows builds under Wine, and the
# packages. A part this machine cannot run (no clang, no MinGW-w64 or Wine,
# not root) is skipped, and said so in a line that starts with SKIPPED.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

build_and_test() {  # folder, extra cmake arguments...
  local folder=$1
  shift
  echo "== $folder"
  cmake -S . -B "$folder" -DVORBANE_WERROR=ON "$@" >/dev/null
  cmake --build "$folder" -j "$jobs"
  ctest --test-dir "$folder" -j "$jobs" --output-on-failure
}

build_and_test build
build_and_test build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVORBANE_SANITIZE=ON

echo "== build-tsan: the threaded hashing under ThreadSanitizer"
cmake -S . -B build-tsan -DVORBANE_WERROR=ON -DVORBANE_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j "$jobs"
ctest --test-dir build-tsan -j "$jobs" --output-on-failure -R 'DigestEngine|ListingScreen' -E BeyondThirtyTwoBits

echo "== build-no-gtest: the tool builds where GoogleTest is missing"
cmake -S . -B build-no-gtest -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON | grep 'GoogleTest not found'
cmake --build build-no-gtest -j "$jobs" --target vorbane >/dev/null

skip() { echo "SKIPPED: $*"; }

echo "== fuzzers: the database readers on whatever a user or a broken package leaves behind"
if command -v clang++ >/dev/null; then
  tests/databases/fuzz/run_fuzzers.sh 10
else
  skip "the fuzzers need clang and libclang-rt-14-dev"
fi

windows_tests() {
  if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null ||
     [ ! -x /usr/lib/wine/wine64 ] || [ ! -d /usr/src/googletest ]; then
    skip "the Windows tests need MinGW-w64 (posix threads), Wine and GoogleTest's sources"
    return
  fi
  export WINEDEBUG=-all
  export WINEPREFIX="$PWD/build-wine/prefix"
  # Read only by qemu-i386, where 32-bit programs run through it: room for
  # Wine's 32-bit address space.
  export QEMU_RESERVED_VA=0xffff0000
  local can_run_32_bit=0
  /usr/lib/wine/wine --version >/dev/null 2>&1 && can_run_32_bit=1
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # Not through a pipe: the services it starts would hold it open.
    wineboot -i >/dev/null 2>&1 </dev/null
    wineserver -w
  fi

  build_and_test build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
  if [ "$can_run_32_bit" = 1 ] && command -v i686-w64-mingw32-g++-posix >/dev/null; then
    build_and_test build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
  else
    skip "the 32-bit Windows tests: this machine runs no 32-bit programs (see .ci/install for qemu) or lacks i686 MinGW-w64"
  fi
}
windows_tests

echo "== packages: the .deb, the .rpm and the Windows ZIPs, each installed into a scratch root"
if [ "$(id -u)" = 0 ] && command -v dpkg-shlibdeps >/dev/null && command -v rpmbuild >/dev/null &&
   command -v unzip >/dev/null; then
  tests/package/check_packages.sh
else
  skip "the package checks need root (for chroot), dpkg-dev, rpm and unzip"
fi
