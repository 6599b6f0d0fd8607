#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need on Debian 12
# (run as root). Quick when everything is already there.
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config binutils dpkg-dev xz-utils
  libjpeg62-turbo-dev libavcodec-dev libavutil-dev libcjson-dev
  libgtest-dev libbenchmark-dev libpng-dev
  libcpp-httplib-dev libcli11-dev chromium python3-pytest python3-numpy python3-pil python3-flask python3-openslide libvips-tools
)
CJSON_DIR=${PYRADEC_CJSON_DIR:-/var/cache/pyradec/cjson}

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Debian's cJSON sources, compiled into the shared object so that its interface
# is part of the library's export table (Debian ships no static cJSON).
if [ ! -f "$CJSON_DIR/cJSON.c" ]; then
  echo "setup: fetching Debian's cJSON sources into $CJSON_DIR"
  src_list=/etc/apt/sources.list.d/pyradec-deb-src.sources
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src_list"
    else
      grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/pyradec-deb-src.list
    fi
    apt-get update -qq
  fi
  work=$(mktemp -d)
  (cd "$work" && apt-get source -qq cjson >/dev/null 2>&1)
  src=$(find "$work" -maxdepth 2 -name cJSON.c -path '*cjson-*' | head -n 1)
  [ -n "$src" ] || { echo "setup: could not unpack Debian's cJSON sources" >&2; exit 1; }
  mkdir -p "$CJSON_DIR"
  cp "$(dirname "$src")"/cJSON.c "$(dirname "$src")"/cJSON.h "$(dirname "$src")"/LICENSE "$CJSON_DIR"/
  rm -rf "$work"
fi
bash "$(dirname "$0")/fetch-viewer.sh"  # OpenSeadragon and the browser test's driver, from npm
echo "setup: ready"
