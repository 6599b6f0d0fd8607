#!/usr/bin/env bash
# Installs the built library into a scratch prefix, builds the C host against the
# installed header with pkg-config, and runs it.
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
