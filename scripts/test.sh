#!/usr/bin/env bash
# The whole test suite: the host build's tests (platform, simulated unit, registry, transport
# driver of both models) and the checks of the Windows kernel images, which this builds first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh cmake ninja-build g++ libgtest-dev \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
for preset in host win-x86 win-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset"
done
ctest --preset host -j"$(nproc)"
