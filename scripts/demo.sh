#!/usr/bin/env bash
# The main job: installs what is needed and builds every program.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
echo "Built into ${QK_BUILD_DIR:-$top/build}."
