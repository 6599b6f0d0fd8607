#!/bin/sh
# Installs the build into a scratch prefix and imports the package from there,
# from another directory: the module must find the library of its own prefix.
# usage: check_install.sh CMAKE BUILD_DIR PYTHON PACKAGE_DIR_IN_PREFIX
set -eu
cmake=$1 build=$2 python=$3 package_dir=$4
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
cd /
PYTHONPATH="$prefix/$package_dir" "$python" - "$prefix" <<'PY'
import sys
prefix = sys.argv[1]
import pyradec, pyradec.deepzoom
assert pyradec.__file__.startswith(prefix), pyradec.__file__
maps = open("/proc/self/maps").read()
libs = {line.split()[-1] for line in maps.splitlines() if "libpyradec.so" in line}
assert libs and all(l.startswith(prefix) for l in libs), libs
print("installed package imports from", prefix)
PY
