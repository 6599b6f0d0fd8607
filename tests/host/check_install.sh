#!/usr/bin/env bash
# Installs the built library into a scratch prefix, builds the C host against the
# installed header with pkg-config, and runs it; and checks that the installed
# pyra carries nothing of the tests (fixture code, sanitizer hooks).
set -euo pipefail
cmake_bin=$1 build_dir=$2 host_source=$3 cc=$4
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake_bin" --install "$build_dir" --prefix "$prefix" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name pyradec.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs pyradec)
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic "$host_source" -o "$prefix/host" $flags
libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir pyradec)
LD_LIBRARY_PATH=$libdir "$prefix/host"

# The installed tool: no test fixture code at all, no sanitizer hooks in its
# dynamic table (an exported __lsan_default_suppressions would steer the leak
# checker of any sanitised library loaded with it).
pyra=$prefix/bin/pyra
[ -x "$pyra" ] || { echo "check_install: pyra is not installed" >&2; exit 1; }
if nm -C "$pyra" | grep -q 'fixture::'; then
  echo "check_install: the installed pyra carries fixture:: code:" >&2
  nm -C "$pyra" | grep 'fixture::' | head -n 5 >&2
  exit 1
fi
if nm -D "$pyra" | grep -Eq '__(lsan|asan|ubsan|tsan)_'; then
  echo "check_install: the installed pyra exports sanitizer hooks:" >&2
  nm -D "$pyra" | grep -E '__(lsan|asan|ubsan|tsan)_' >&2
  exit 1
fi
