#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need on Debian 12
# (run as root). Quick when everything is already there.
set -euo pipefail

. "$(dirname "$0")/lib.sh"

PACKAGES=(
  cmake g++ make pkg-config binutils dpkg-dev xz-utils
  libjpeg62-turbo-dev libavcodec-dev libavutil-dev libcjson-dev
  libgtest-dev libbenchmark-dev libpng-dev libcli11-dev doxygen
  python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pil python3-pytest
  python3-zarr python3-dask python3-distributed python3-pandas
  libcpp-httplib-dev chromium python3-flask python3-openslide libvips-tools
)
CJSON_DIR=${PYRADEC_CJSON_DIR:-/var/cache/pyradec/cjson}
pyradec_install_packages setup "${PACKAGES[@]}"

# Debian's cJSON sources, compiled into the shared object so that its interface
# is part of the library's export table (Debian ships no static cJSON).
if [ ! -f "$CJSON_DIR/cJSON.c" ]; then
  echo "setup: fetching Debian's cJSON sources into $CJSON_DIR"
  work=$(mktemp -d)
  pyradec_fetch_sources "$work" cjson
  src=$(find "$work" -maxdepth 2 -name cJSON.c -path '*cjson-*' | head -n 1)
  [ -n "$src" ] || { echo "setup: could not unpack Debian's cJSON sources" >&2; exit 1; }
  mkdir -p "$CJSON_DIR"
  cp "$(dirname "$src")"/cJSON.c "$(dirname "$src")"/cJSON.h "$(dirname "$src")"/LICENSE "$CJSON_DIR"/
  rm -rf "$work"
fi
bash "$(dirname "$0")/fetch-viewer.sh"  # OpenSeadragon and the browser test's driver, from npm
echo "setup: ready"
