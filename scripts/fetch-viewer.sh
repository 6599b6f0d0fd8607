#!/usr/bin/env bash
# Fetches the browser code of `pyra serve` from the npm registry into a cache
# directory (never into the repository): OpenSeadragon, the viewer, and
# playwright-core, which drives Debian's chromium in the viewer's browser test.
# Quick when both are there already. Run as root (from scripts/setup.sh).
set -euo pipefail
CACHE=${PYRADEC_VIEWER_CACHE:-/var/cache/pyradec/openseadragon}
NODE_CACHE=${PYRADEC_NODE_CACHE:-/var/cache/pyradec/node}
OSD_VERSION=6.1
PLAYWRIGHT_VERSION=1.65

if ! command -v npm >/dev/null; then
  echo "fetch-viewer: installing Debian's npm"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm >/dev/null
fi

# OpenSeadragon: the package's build/openseadragon/ folder (script and images).
if [ ! -s "$CACHE/build/openseadragon/openseadragon.min.js" ]; then
  echo "fetch-viewer: fetching openseadragon@$OSD_VERSION into $CACHE"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  tarball=$(cd "$work" && npm pack --silent "openseadragon@$OSD_VERSION" | tail -n 1)
  tar -xzf "$work/$tarball" -C "$work"
  [ -s "$work/package/build/openseadragon/openseadragon.min.js" ] ||
    { echo "fetch-viewer: $tarball has no build/openseadragon/openseadragon.min.js" >&2; exit 1; }
  mkdir -p "$CACHE"
  rm -rf "$CACHE/build.tmp"
  mkdir -p "$CACHE/build.tmp"
  cp -r "$work/package/build/openseadragon" "$CACHE/build.tmp/"
  cp "$work/package/package.json" "$CACHE/build.tmp/openseadragon/"
  [ -f "$work/package/LICENSE.txt" ] && cp "$work/package/LICENSE.txt" "$CACHE/build.tmp/openseadragon/"
  rm -rf "$CACHE/build"
  mv "$CACHE/build.tmp" "$CACHE/build"
fi

# playwright-core: only the driver; the browser is Debian's /usr/bin/chromium.
if [ ! -f "$NODE_CACHE/node_modules/playwright-core/package.json" ]; then
  echo "fetch-viewer: installing playwright-core@$PLAYWRIGHT_VERSION into $NODE_CACHE"
  mkdir -p "$NODE_CACHE"
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --silent --no-audit --no-fund \
    --prefix "$NODE_CACHE" "playwright-core@$PLAYWRIGHT_VERSION" >/dev/null
fi
echo "fetch-viewer: ready ($CACHE/build/openseadragon)"
