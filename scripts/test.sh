#!/bin/sh
# Installs what the tests need, builds everything with warnings as errors and runs every test:
# the plain build, then the whole suite again under AddressSanitizer and UBSan; then clang-tidy
# over the library and the tools, and each fuzz target for a bounded time.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-packages.sh cmake make g++ pkg-config file binutils libx11-dev \
    libgtest-dev libbenchmark-dev libelf-dev nlohmann-json3-dev \
    libc6-i386-cross libc6-powerpc-cross libc6-s390x-cross \
    libc6-dev-i386-cross libc6-dev-powerpc-cross libc6-dev-s390x-cross \
    libc6-armhf-cross libc6-arm64-cross libc6-mips-cross libc6-mips64-cross libc6-mips64el-cross \
    libc6-sparc64-cross libc6-hppa-cross libc6-m68k-cross libc6-ppc64-cross libc6-riscv64-cross \
    libc6-dev-armhf-cross libc6-dev-arm64-cross libc6-dev-mips-cross libc6-dev-mips64-cross \
    libc6-dev-mips64el-cross libc6-dev-sparc64-cross libc6-dev-hppa-cross libc6-dev-m68k-cross \
    libc6-dev-ppc64-cross libc6-dev-riscv64-cross \
    binutils-i686-linux-gnu binutils-powerpc-linux-gnu binutils-s390x-linux-gnu \
    binutils-arm-linux-gnueabihf binutils-aarch64-linux-gnu binutils-mips64el-linux-gnuabi64 \
    binutils-powerpc64-linux-gnu elfutils time \
    xvfb xdotool x11-xserver-utils \
    patchelf qemu-user gcc-arm-linux-gnueabihf gcc-powerpc-linux-gnu gcc-powerpc64-linux-gnu \
    gcc-s390x-linux-gnu gcc-aarch64-linux-gnu gcc-mips64el-linux-gnuabi64 \
    libc6-dev-armhf-cross libc6-dev-ppc64-cross libc6-dev-arm64-cross libc6-dev-mips64el-cross \
    clang-14 libclang-rt-14-dev clang-tidy-14 valgrind gdb
jobs=$(nproc)

cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENZA_WERROR=ON
cmake --build build/test -j"$jobs"
ctest --test-dir build/test --output-on-failure -j"$jobs"

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUENZA_WERROR=ON -DQUENZA_SANITIZE=ON \
    -DQUENZA_KEYGRAB=OFF
cmake --build build/sanitize -j"$jobs"
ctest --test-dir build/sanitize --output-on-failure -j"$jobs"

# Static analysis (.clang-tidy) of every library and tools unit the plain build compiles, with its
# compile commands; the log is shown only when there are findings.
grep -oE '"file": "[^"]*/(quenza|tools)/[^/"]*\.cpp"' build/test/compile_commands.json |
    sed 's/"file": "//; s/"$//' | sort -u >build/test/tidy-files.txt
if ! xargs -r -P"$jobs" -n1 clang-tidy-14 -p build/test --quiet <build/test/tidy-files.txt \
    >build/test/clang-tidy.log 2>&1; then
    grep -v 'warnings generated\.$' build/test/clang-tidy.log
    echo "clang-tidy: findings above" >&2
    exit 1
fi
echo "clang-tidy: $(wc -l <build/test/tidy-files.txt) units clean"

# Fuzzing: a clang build of the fuzz targets with ASan and UBSan, each run for a bounded time.
CC=clang-14 CXX=clang++-14 cmake -S fuzz -B build/fuzz-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/fuzz-test -j"$jobs"
ctest --test-dir build/fuzz-test --output-on-failure -j"$jobs"
