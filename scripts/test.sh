#!/bin/sh
# Installs what the tests need, builds everything with warnings as errors and runs every test:
# the plain build, then the whole suite again under AddressSanitizer and UBSan.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-packages.sh cmake make g++ pkg-config file binutils libx11-dev \
    libgtest-dev libbenchmark-dev libelf-dev \
    libc6-i386-cross libc6-powerpc-cross libc6-s390x-cross \
    libc6-dev-i386-cross libc6-dev-powerpc-cross libc6-dev-s390x-cross \
    binutils-i686-linux-gnu binutils-powerpc-linux-gnu binutils-s390x-linux-gnu \
    xvfb xdotool x11-xserver-utils
jobs=$(nproc)

cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENZA_WERROR=ON
cmake --build build/test -j"$jobs"
ctest --test-dir build/test --output-on-failure -j"$jobs"

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUENZA_WERROR=ON -DQUENZA_SANITIZE=ON \
    -DQUENZA_KEYGRAB=OFF
cmake --build build/sanitize -j"$jobs"
ctest --test-dir build/sanitize --output-on-failure -j"$jobs"
