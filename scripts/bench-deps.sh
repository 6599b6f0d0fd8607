#!/usr/bin/env bash
# Installs the extra Debian packages that bench/bench_tiles compares against
# (run as root): OpenSlide and libtiff, loaded by the benchmark at run time, and
# the `vips` command. CI does not need them: the benchmark builds without them
# and reports each missing comparison as not measured.
set -euo pipefail

PACKAGES=(libopenslide-dev libtiff-dev libvips-tools python3-openslide)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bench-deps: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "bench-deps: ready"
