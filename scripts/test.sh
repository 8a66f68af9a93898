#!/usr/bin/env bash
# Installs what is needed, builds everything and runs the whole test suite.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# HAProxy, socat and curl for the test of several receivers behind a load balancer; prometheus
# for promtool, which tests the example alerting rules; groff for the check of the manual pages.
"$top/scripts/setup.sh" haproxy socat curl prometheus groff-base
"$top/scripts/build.sh"
cd "${QK_BUILD_DIR:-$top/build}"
ctest --output-on-failure -j2
