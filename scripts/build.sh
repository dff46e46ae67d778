#!/bin/sh
# Builds the library, quenza-dump, quenza-edit and the key-grab probes, installs them into ./out,
# and runs quenza-dump and quenza-edit (printing only) on /bin/sh.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-packages.sh cmake make g++ pkg-config libx11-dev
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build/release -j"$(nproc)"
cmake --install build/release --prefix "$PWD/out"
./out/bin/quenza-dump /bin/sh
./out/bin/quenza-edit --print-interpreter --print-needed /bin/sh
