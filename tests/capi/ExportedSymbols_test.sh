#!/bin/sh
# The shared library's only functions under plain C names are the four of the
# C interface; everything else it exports is C++ (mangled) or a global object.
# Usage: ExportedSymbols_test.sh path/to/libcorvane_vorn.so
set -eu
lib=$1
expected='remote_vorn_free
remote_vorn_get
remote_vorn_open
remote_vorn_set'

# Defined exported symbols that are functions (T/W/i) and not mangled (_Z...).
if [ "$(uname)" = Darwin ]; then
    # Mach-O names carry a leading underscore (C++ ones start with __Z).
    actual=$(nm -gU "$lib" | awk 'NF == 3 && $2 ~ /^[TW]$/ && $3 !~ /^__Z/ { sub(/^_/, "", $3); print $3 }' | sort)
else
    actual=$(nm -D --defined-only "$lib" | awk 'NF == 3 && $2 ~ /^[TtWwi]$/ && $3 !~ /^_Z/ { print $3 }' | sort)
fi

if [ "$actual" != "$expected" ]; then
    echo "unmangled functions exported by $lib:" >&2
    echo "$actual" >&2
    echo "expected exactly:" >&2
    echo "$expected" >&2
    exit 1
fi
echo "exactly the four C functions: $(echo "$actual" | tr '\n' ' ')"
