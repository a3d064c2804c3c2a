#!/usr/bin/env bash
# The demo: what the project does, run from build directory $1. The stores
# live under ./demo-data; run it again to see the values persist.
set -uo pipefail
build=$1
failed=0

echo "== libcorvane_vorn: typed values, from C++"
"$build/tools/demo/vorn-demo" ./demo-data || failed=1
echo
echo "== libcorvane_vorn: the C interface, from C"
"$build/tools/demo/vorn-c-demo" ./demo-data/c-interface || failed=1
echo
echo "== halyx-proxy-state"
"$build/tools/proxy-state/halyx-proxy-state"
status=$?
echo
echo "(exit status $status: 0 = proxies printed, 1 = no current network set)"
exit $failed
