#!/usr/bin/env bash
# Prints the path of ihc.png, the immunohistochemistry micrograph (512x512) that
# Debian's python3-skimage package carries among its data files. The package is
# downloaded and unpacked into a cache directory, not installed.
set -euo pipefail
CACHE=${PYRADEC_SAMPLE_CACHE:-/var/cache/pyradec/sample}
out=$CACHE/ihc.png
if [ ! -s "$out" ]; then
  mkdir -p "$CACHE"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  if ! (cd "$work" && apt-get download -qq python3-skimage >/dev/null 2>&1); then
    apt-get update -qq
    (cd "$work" && apt-get download -qq python3-skimage >/dev/null)
  fi
  deb=$(find "$work" -maxdepth 1 -name 'python3-skimage_*.deb' | head -n 1)
  [ -n "$deb" ] || { echo "sample-micrograph: could not download python3-skimage" >&2; exit 1; }
  dpkg-deb -x "$deb" "$work/root"
  src=$(find "$work/root" -name ihc.png -path '*skimage/data/*' | head -n 1)
  [ -n "$src" ] || { echo "sample-micrograph: ihc.png not found in $(basename "$deb")" >&2; exit 1; }
  cp "$src" "$out.tmp"
  mv "$out.tmp" "$out"
fi
echo "$out"
