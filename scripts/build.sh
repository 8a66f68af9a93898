#!/usr/bin/env bash
# Configures and builds QK Relay into build/ (or $QK_BUILD_DIR) with two jobs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QK_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j2
