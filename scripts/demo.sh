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
vorn=$build/tools/vorn/vorn
echo "== vorn: the store the C++ demo wrote, from the shell"
echo "\$ vorn --root ./demo-data --id demo stats"
"$vorn" --root ./demo-data --id demo stats || failed=1
echo "\$ vorn --root ./demo-data --id demo dump"
"$vorn" --root ./demo-data --id demo dump || failed=1
echo
echo "== vorn verify: a damaged copy is caught"
rm -rf ./demo-data/damaged && mkdir -p ./demo-data/damaged
cp ./demo-data/demo ./demo-data/demo.crc ./demo-data/damaged/
echo "\$ vorn --root ./demo-data/damaged --id demo verify"
"$vorn" --root ./demo-data/damaged --id demo verify || failed=1
# Flip one byte of the first record (past the 4-byte size field).
byte=$(od -An -tu1 -j 8 -N1 ./demo-data/damaged/demo | tr -d ' ')
printf "\\$(printf '%03o' $((byte ^ 0xFF)))" | dd of=./demo-data/damaged/demo bs=1 seek=8 conv=notrunc status=none
echo "(flipped byte 8 of ./demo-data/damaged/demo)"
echo "\$ vorn --root ./demo-data/damaged --id demo verify"
"$vorn" --root ./demo-data/damaged --id demo verify
status=$?
echo "(exit status $status)"
[[ $status == 1 ]] || failed=1
echo
echo "== halyx-proxy-state"
"$build/tools/proxy-state/halyx-proxy-state"
status=$?
echo
echo "(exit status $status: 0 = proxies printed, 1 = no current network set)"
exit $failed
