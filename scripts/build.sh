#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures and builds one build tree. Every option of the
# project is set on every configure (a Release build of everything, warnings not fatal), and the
# arguments override them: a tree configured earlier with other options cannot leak them into
# this build.
set -euo pipefail
dir=$1
shift
cmake -S "$(dirname "$0")/.." -B "$dir" \
    -DCMAKE_BUILD_TYPE=Release \
    -DTARVO_BUILD_TESTS=ON -DTARVO_BUILD_BENCH=ON -DTARVO_BUILD_SIM=ON \
    -DTARVO_SANITIZE=OFF -DTARVO_TSAN=OFF -DTARVO_WERROR=OFF \
    "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
