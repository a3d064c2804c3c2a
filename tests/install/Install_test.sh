#!/usr/bin/env bash
# Host programs (tests/install/consumer: one C++ and one C) built the ways a
# host project gets the library, then run. Nothing of the source tree is on
# their include path except through the library's own target.
#
# Usage: Install_test.sh CASE BUILD_DIR [EXTRA_COMPILER_FLAGS]
#   installed     install BUILD_DIR (a top-level build) into a temporary prefix;
#                 hosts through find_package and through pkg-config
#   static        configure these sources for a static library alone, install
#                 it; hosts through find_package and pkg-config --static
#   subdirectory  a host that add_subdirectory()s these sources (shared)
#   fetchcontent  a host that FetchContent()s a file:// git repository holding
#                 a commit of these sources as they are now, committed or not
#                 (static, the host sets BUILD_SHARED_LIBS OFF)
# The cases other than `installed` build the library themselves (-j2) and
# ignore BUILD_DIR. CC and CXX choose the compilers, as for CMake;
# VORN_PROGRAMS names the programs BUILD_DIR must install (default: vorn and
# halyx-proxy-state).
set -euo pipefail
case_name=$1
build=$(realpath "$2")
extra=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
jobs=2
flags=(-DCMAKE_C_FLAGS="$extra" -DCMAKE_CXX_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra"
       -DCMAKE_SHARED_LINKER_FLAGS="$extra")

fail() { echo "FAIL: $*"; exit 1; }

expect() { # expect WANT COMMAND...
  local got
  got=$("${@:2}") || fail "$* exited with status $?"
  [[ $got == "$1" ]] || fail "$* printed '$got', want '$1'"
}

# The version the sources declare, from the header generated from project().
# Every other place that states it is compared with this one.
version_of() { # version_of VORNVersion.h
  sed -n 's/^#define VORN_VERSION_STRING "v\(.*\)"$/\1/p' "$1"
}

# Configuring the library alone needs zlib and OpenSSL only: none of the
# packages of the tests, the tools or the proxy tool may have been looked for.
only_library_dependencies() { # only_library_dependencies CMakeCache.txt
  local found
  found=$(grep -E '^(GTest_DIR|CLI11_DIR|nlohmann_json_DIR|benchmark_DIR|pkgcfg_lib_GIO_|__pkg_config_checked_GIO)' "$1" || true)
  [[ -z $found ]] || fail "configuring the library alone looked for more than zlib and OpenSSL: $found"
}

run_hosts() { # run_hosts BUILD_DIR: the two host programs over fresh stores
  expect "answer=42 where=host version=v$version" "$1/host_cxx" "$tmp/stores-$RANDOM"
  expect "lang=C version=v$version" "$1/host_c" "$tmp/stores-$RANDOM"
}

# The installed tree: one version everywhere, then the hosts built through the
# CMake package and through pkg-config. $1 is "static" for a static install.
installed_hosts() {
  local kind=$1 libdir pcflags=() headers included
  [[ -e $prefix/include/corvane_vorn/core/VORN.h && -e $prefix/include/corvane_vorn/capi/corvane_vorn.h ]] ||
    fail "public headers not installed"
  # Exactly the public headers, and a host compiles against them without a
  # header of OpenSSL's (nor an internal one of the library's).
  headers=$(cd "$prefix/include/corvane_vorn" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
  [[ $headers == "capi/corvane_vorn.h core/NameSpace.h core/VORN.h encoding/VornBuffer.h log/VORNHandler.h log/VORNVersion.h " ]] ||
    fail "installed headers: $headers"
  included=$("${CXX:-c++}" -std=c++17 -fsyntax-only -H -I"$prefix/include/corvane_vorn" "$here/consumer/host.cpp" 2>&1 |
    grep -E '^\.+ ' | grep -E 'openssl|crypt/|encoding/(VornIndex|IndexEntry)|platform/MemoryFile' || true)
  [[ -z $included ]] || fail "the public headers pull in: $included"
  version=$(version_of "$prefix/include/corvane_vorn/log/VORNVersion.h")
  [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "installed log/VORNVersion.h gives version '$version'"
  libdir=$(dirname "$(find "$prefix" -name 'libcorvane_vorn.*' -print -quit)")
  if [[ $kind == static ]]; then
    [[ -e $libdir/libcorvane_vorn.a ]] || fail "no libcorvane_vorn.a installed"
    [[ -z $(find "$prefix" \( -name 'libcorvane_vorn.so*' -o -name 'libcorvane_vorn*.dylib' \)) ]] ||
      fail "a static build installed a shared library"
    pcflags=(--static)
  elif [[ $(uname) == Darwin ]]; then
    [[ -e $libdir/libcorvane_vorn.$version.dylib ]] || fail "no libcorvane_vorn.$version.dylib installed"
  else
    [[ -e $libdir/libcorvane_vorn.so.$version ]] || fail "no libcorvane_vorn.so.$version installed"
    [[ $(readelf -d "$libdir/libcorvane_vorn.so.$version" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p') == \
       "libcorvane_vorn.so.${version%%.*}" ]] || fail "soname is not libcorvane_vorn.so.${version%%.*}"
  fi

  # CMake package: find_package(... EXACT) accepts only the same version.
  cmake -S "$here/consumer" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DVORN_HOST_MODE=package \
    -DVORN_EXPECTED_VERSION="$version" "${flags[@]}" >/dev/null
  cmake --build "$tmp/cmake-build" -j "$jobs" >/dev/null
  run_hosts "$tmp/cmake-build"

  # pkg-config.
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  [[ $(pkg-config --modversion corvane_vorn) == "$version" ]] ||
    fail "pkg-config says version $(pkg-config --modversion corvane_vorn), want $version"
  mkdir -p "$tmp/pc"
  # shellcheck disable=SC2046,SC2086
  "${CXX:-c++}" -std=c++17 $extra "$here/consumer/host.cpp" -o "$tmp/pc/host_cxx" \
    $(pkg-config "${pcflags[@]}" --cflags --libs corvane_vorn) -Wl,-rpath,"$libdir"
  # shellcheck disable=SC2046,SC2086
  "${CC:-cc}" $extra "$here/consumer/host.c" -o "$tmp/pc/host_c" \
    $(pkg-config "${pcflags[@]}" --cflags --libs corvane_vorn) -Wl,-rpath,"$libdir"
  run_hosts "$tmp/pc"
}

# A host build that embeds the sources: the library alone is configured and
# built, it installs nothing, and the hosts run.
embedded_hosts() { # embedded_hosts CMAKE_ARGS...
  cmake -S "$here/consumer" -B "$tmp/host-build" "${flags[@]}" "$@" >/dev/null
  only_library_dependencies "$tmp/host-build/CMakeCache.txt"
  cmake --build "$tmp/host-build" -j "$jobs" >/dev/null
  cmake --install "$tmp/host-build" --prefix "$tmp/host-prefix" >/dev/null
  [[ ! -e $tmp/host-prefix ]] || fail "an embedded library installed: $(find "$tmp/host-prefix" -type f | head -3)"
  version=$(version_of "$(find "$tmp/host-build" -path '*/include/log/VORNVersion.h' -print -quit)")
  run_hosts "$tmp/host-build"
}

# The sources as a git repository: tracked files as they are in the working
# tree plus new files not ignored (or, outside a git checkout, every file but
# build directories), committed once.
sources_repository() { # sources_repository DIR
  local repo=$1
  mkdir -p "$repo"
  if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' file; do
        if [[ -e $src/$file || -L $src/$file ]]; then printf '%s\0' "$file"; fi
      done | tar -C "$src" --null -T - -cf - | tar -C "$repo" -xf -
  else
    tar -C "$src" --exclude='./build' --exclude='./build-*' --exclude='./.git' -cf - . | tar -C "$repo" -xf -
  fi
  git -C "$repo" -c init.defaultBranch=main init -q
  git -C "$repo" add -A
  git -C "$repo" -c user.name=install-test -c user.email=install-test@localhost commit -q -m sources
}

case $case_name in
installed)
  cmake --install "$build" --prefix "$prefix" >/dev/null
  for program in ${VORN_PROGRAMS-vorn halyx-proxy-state}; do
    [[ -x $prefix/bin/$program ]] || fail "$program not installed"
  done
  if [[ -x $prefix/bin/vorn ]]; then
    "$prefix/bin/vorn" --root "$tmp/cli" set k v
    [[ $("$prefix/bin/vorn" --root "$tmp/cli" get k) == v ]] || fail "installed vorn"
  fi
  installed_hosts shared
  # A vorn that knows --version prints the library's version.
  if [[ -x $prefix/bin/vorn ]] && tool_version=$("$prefix/bin/vorn" --version 2>/dev/null); then
    [[ $tool_version == *"v$version"* ]] || fail "vorn --version printed '$tool_version', want v$version"
  fi
  echo "installed tree: CMake and pkg-config builds of C++ and C hosts ran (version $version)"
  ;;
static)
  cmake -S "$src" -B "$tmp/library-build" -DBUILD_SHARED_LIBS=OFF -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_TOOLS=OFF \
    -DVORN_BUILD_DEMOS=OFF -DVORN_BUILD_PROXY_STATE=OFF "${flags[@]}" >/dev/null
  only_library_dependencies "$tmp/library-build/CMakeCache.txt"
  cmake --build "$tmp/library-build" -j "$jobs" >/dev/null
  cmake --install "$tmp/library-build" --prefix "$prefix" >/dev/null
  [[ ! -e $prefix/bin ]] || fail "the library alone installed programs: $(ls "$prefix/bin")"
  installed_hosts static
  echo "static install: CMake and pkg-config --static builds of C++ and C hosts ran (version $version)"
  ;;
subdirectory)
  embedded_hosts -DVORN_HOST_MODE=subdirectory -DVORN_SOURCE_DIR="$src"
  [[ -n $(find "$tmp/host-build" -name 'libcorvane_vorn.so*' -o -name 'libcorvane_vorn*.dylib') ]] ||
    fail "add_subdirectory did not build the shared library"
  echo "add_subdirectory: C++ and C hosts ran (version $version)"
  ;;
fetchcontent)
  sources_repository "$tmp/repo"
  embedded_hosts -DVORN_HOST_MODE=fetchcontent -DVORN_GIT_URL="file://$tmp/repo" \
    -DVORN_GIT_TAG="$(git -C "$tmp/repo" rev-parse HEAD)" -DBUILD_SHARED_LIBS=OFF
  [[ -z $(find "$tmp/host-build" -name 'libcorvane_vorn.so*' -o -name 'libcorvane_vorn*.dylib') ]] ||
    fail "BUILD_SHARED_LIBS=OFF still built a shared library"
  echo "FetchContent: C++ and C hosts ran on a static library (version $version)"
  ;;
*)
  echo "usage: Install_test.sh installed|static|subdirectory|fetchcontent BUILD_DIR [EXTRA_COMPILER_FLAGS]" >&2
  exit 2
  ;;
esac
