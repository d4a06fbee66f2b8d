#!/usr/bin/env bash
# The main job: build the host platform, the drivers and corv, then list the units of the
# embedded default machine (one simulated model B unit). Extra arguments go to corv.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh cmake ninja-build g++ libgtest-dev
cmake --preset host >/dev/null
cmake --build build/host --target corv
if [ $# -eq 0 ]; then
  set -- devices
fi
exec build/host/tools/corv/corv "$@"
