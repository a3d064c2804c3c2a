#!/usr/bin/env bash
# The demo: what the project does, run from build directory $1.
set -uo pipefail
build=$1
echo "== halyx-proxy-state"
"$build/tools/proxy-state/halyx-proxy-state"
status=$?
echo
echo "(exit status $status: 0 = proxies printed, 1 = no current network set)"
