#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine, as root: installs what the build
# needs, builds and installs the library, the pyra tool, its viewer and the
# Python package, makes a sample slide of about 20000 x 20000 pixels from a real
# micrograph (tissue islands on glass), describes it, cuts a region of it to PNG
# and reads it from Python and Dask.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
prefix=${PYRADEC_PREFIX:-/usr/local}
build=${PYRADEC_BUILD_DIR:-build}
sample_dir=$root/$build/sample

bash scripts/setup.sh
micrograph=$(bash scripts/sample-micrograph.sh)

echo "main: building"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null
cmake --install "$build" --prefix "$prefix" >/dev/null
pyra=$prefix/bin/pyra
echo "main: installed $("$pyra" --version) as $pyra"

mkdir -p "$sample_dir"
slide=$sample_dir/sample.pyra
if [ ! -s "$slide" ] || [ "$slide" -ot "$pyra" ] || [ "$slide" -ot "$micrograph" ]; then
  echo "main: making the sample slide from $micrograph (a mosaic of it, about 15 s)"
  "$pyra" make "$micrograph" "$slide" --mosaic 20000x20000
fi

echo
echo "\$ pyra info $slide"
"$pyra" info "$slide"
region=$sample_dir/region.png
echo
echo "\$ pyra region $slide 0 9000 9000 2048 1536 -o $region"
"$pyra" region "$slide" 0 9000 9000 2048 1536 -o "$region"

echo
echo "\$ python3 -c \"import pyradec; print(pyradec.PyraSlide('$slide').level_dimensions)\""
(cd / && /usr/bin/python3 -c "import pyradec; print(pyradec.PyraSlide('$slide').level_dimensions)")
echo "\$ python3 -c \"import pyradec; print(pyradec.dask.read_level('$slide', 2).mean().compute())\""
(cd / && /usr/bin/python3 -c "import pyradec; print(pyradec.dask.read_level('$slide', 2).mean().compute())")

echo
echo "main: done"
echo "  tool:         $pyra"
echo "  library:      $(find "$prefix" -maxdepth 3 -name "libpyradec.so.*.*.*" -print -quit)"
echo "  micrograph:   $micrograph"
echo "  sample slide: $slide ($(du -h "$slide" | cut -f1))"
echo "  region:       $region (2048 x 1536 of layer 0, lossless)"
echo
echo "View the sample slide in a browser (stop with Ctrl-C):"
echo "  $pyra serve $slide      # then open http://127.0.0.1:8080/"
