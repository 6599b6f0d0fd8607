#!/usr/bin/env bash
# Installs the extra Debian packages that bench/bench_tiles compares against
# (run as root): OpenSlide and libtiff, loaded by the benchmark at run time, and
# the `vips` command. CI does not need them: the benchmark builds without them
# and reports each missing comparison as not measured.
set -euo pipefail

. "$(dirname "$0")/lib.sh"

PACKAGES=(libopenslide-dev libtiff-dev libvips-tools python3-openslide)
pyradec_install_packages bench-deps "${PACKAGES[@]}"
echo "bench-deps: ready"
