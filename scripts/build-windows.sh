#!/usr/bin/env bash
# Cross-builds the Windows DLL pyradec.dll on Debian 12 (run as root) and
# assembles build-win/dist/: the DLL, its import library, the public headers
# and every non-system DLL it loads, so that the folder runs anywhere.
#
# libjpeg-turbo (static, inside the DLL) and FFmpeg (HEVC decoder and parser
# only, as DLLs) are built from Debian's own source packages for the target and
# cached under /var/cache/pyradec/win-deps-<versions>/, so later runs reuse them.
#
#   scripts/build-windows.sh [--deps-only]
# Environment: PYRADEC_WIN_BUILD (default build-win), PYRADEC_CACHE (default
# /var/cache/pyradec).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${PYRADEC_WIN_BUILD:-$ROOT/build-win}
CACHE=${PYRADEC_CACHE:-/var/cache/pyradec}
TRIPLE=x86_64-w64-mingw32
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake
JOBS=${PYRADEC_JOBS:-2}
deps_only=0
[ "${1:-}" = "--deps-only" ] && deps_only=1

log() { echo "build-windows: $*"; }

. "$ROOT/scripts/lib.sh"

# ---- toolchain and tools ----
pyradec_install_packages build-windows \
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  mingw-w64-x86-64-dev wine64 wine nasm dpkg-dev cmake make pkg-config xz-utils
pyradec_ensure_deb_src
src_version() { pyradec_source_version "$1" || exit 1; }
JPEG_VERSION=$(src_version libjpeg-turbo)
FFMPEG_VERSION=$(src_version ffmpeg)
GCC_VERSION=$($TRIPLE-gcc-posix -dumpversion)
key() { echo "$1" | sed 's/^[0-9]*://; s/[^A-Za-z0-9.~-]/_/g'; }
DEPS=$CACHE/win-deps-jpeg$(key "$JPEG_VERSION")-ffmpeg$(key "$FFMPEG_VERSION")-gcc$GCC_VERSION

# ---- target dependencies (cached) ----
build_deps() {
  local work
  work=$(mktemp -d "$CACHE/win-deps-work.XXXXXX")
  trap 'rm -rf "$work"' RETURN
  log "fetching Debian's sources of libjpeg-turbo $JPEG_VERSION and ffmpeg $FFMPEG_VERSION"
  pyradec_fetch_sources "$work" "libjpeg-turbo=$JPEG_VERSION" "ffmpeg=$FFMPEG_VERSION"
  local jpeg_src ffmpeg_src
  jpeg_src=$(find "$work" -maxdepth 1 -type d -name 'libjpeg-turbo-*' | head -n 1)
  ffmpeg_src=$(find "$work" -maxdepth 1 -type d -name 'ffmpeg-*' | head -n 1)
  [ -n "$jpeg_src" ] && [ -n "$ffmpeg_src" ] || { echo "build-windows: could not unpack the sources" >&2; exit 1; }
  local prefix=$work/prefix
  mkdir -p "$prefix"

  # libjpeg-turbo: static, version 6b interface, SIMD through NASM.
  log "building libjpeg-turbo (static) for $TRIPLE"
  cmake -S "$jpeg_src" -B "$work/jpeg-build" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_JPEG8=OFF \
    -DREQUIRE_SIMD=ON -DCMAKE_ASM_NASM_COMPILER=nasm >"$work/jpeg-cmake.log" 2>&1 \
    || { cat "$work/jpeg-cmake.log" >&2; exit 1; }
  cmake --build "$work/jpeg-build" -j"$JOBS" --target jpeg-static >"$work/jpeg-build.log" 2>&1 \
    || { tail -n 50 "$work/jpeg-build.log" >&2; exit 1; }
  mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
  cp "$work/jpeg-build/libjpeg.a" "$prefix/lib/"
  cp "$jpeg_src"/jpeglib.h "$jpeg_src"/jmorecfg.h "$jpeg_src"/jerror.h "$work/jpeg-build/jconfig.h" "$prefix/include/"
  cat > "$prefix/lib/pkgconfig/libjpeg.pc" <<EOF
prefix=$DEPS
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libjpeg
Description: libjpeg-turbo $JPEG_VERSION, static, for $TRIPLE
Version: ${JPEG_VERSION#*:}
Libs: -L\${libdir} -ljpeg
Cflags: -I\${includedir}
EOF

  # FFmpeg: the HEVC decoder and parser, as DLLs.
  log "building FFmpeg (HEVC decoder, DLLs) for $TRIPLE"
  mkdir -p "$work/ffmpeg-build"
  (cd "$work/ffmpeg-build" && "$ffmpeg_src/configure" --prefix="$DEPS" \
    --target-os=mingw32 --arch=x86_64 --cross-prefix=$TRIPLE- --enable-cross-compile \
    --cc=$TRIPLE-gcc-posix --disable-autodetect --enable-w32threads \
    --disable-everything --enable-decoder=hevc --enable-parser=hevc \
    --disable-programs --disable-doc --disable-avformat --disable-avdevice --disable-avfilter \
    --disable-swscale --disable-swresample --disable-network \
    --enable-shared --disable-static --disable-debug >"$work/ffmpeg-configure.log" 2>&1) \
    || { tail -n 50 "$work/ffmpeg-configure.log" >&2; exit 1; }
  make -C "$work/ffmpeg-build" -j"$JOBS" >"$work/ffmpeg-build.log" 2>&1 \
    || { tail -n 50 "$work/ffmpeg-build.log" >&2; exit 1; }
  make -C "$work/ffmpeg-build" install DESTDIR="$work/ffmpeg-dest" >/dev/null 2>&1
  cp -a "$work/ffmpeg-dest$DEPS"/. "$prefix"/

  # Licences of what the dist folder carries.
  mkdir -p "$prefix/share/licenses"
  cp "$jpeg_src/LICENSE.md" "$prefix/share/licenses/libjpeg-turbo-LICENSE.md"
  cp "$ffmpeg_src/COPYING.LGPLv2.1" "$prefix/share/licenses/ffmpeg-COPYING.LGPLv2.1"
  cp "$ffmpeg_src/LICENSE.md" "$prefix/share/licenses/ffmpeg-LICENSE.md"

  # Publish in one step, so an interrupted build is never taken for a cached one.
  rm -rf "$DEPS"
  mv "$prefix" "$DEPS"
}

mkdir -p "$CACHE"
if [ -f "$DEPS/lib/libjpeg.a" ] && [ -f "$DEPS/lib/libavcodec.dll.a" ]; then
  log "using cached dependencies in $DEPS"
else
  start=$(date +%s)
  build_deps
  log "dependencies built in $(( $(date +%s) - start )) s"
fi
[ "$deps_only" = 1 ] && exit 0

# ---- the DLL and its test programs ----
log "configuring $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPYRADEC_WIN_DEPS="$DEPS" >/dev/null
cmake --build "$BUILD" -j"$JOBS"

# ---- dist: the DLL, its import library, headers, and the DLLs it loads ----
DIST=$BUILD/dist
rm -rf "$DIST"
mkdir -p "$DIST/include" "$DIST/licenses"
cp "$BUILD/pyradec.dll" "$BUILD/libpyradec.dll.a" "$BUILD/pyradec.def" "$DIST/"
$TRIPLE-strip --strip-debug "$DIST/pyradec.dll"
cp -r "$ROOT/include/pyradec" "$DIST/include/"
cp "$DEPS"/share/licenses/* "$DIST/licenses/"

GCC_LIBDIR=$(dirname "$($TRIPLE-gcc-posix -print-libgcc-file-name)")
SEARCH=("$DEPS/bin" "$GCC_LIBDIR" "/usr/$TRIPLE/lib")
imports() { $TRIPLE-objdump -p "$1" | awk '/DLL Name:/ {print $3}'; }
find_dll() {
  local d f
  for d in "${SEARCH[@]}"; do
    f=$(find "$d" -maxdepth 1 -iname "$1" 2>/dev/null | head -n 1)
    [ -n "$f" ] && { echo "$f"; return 0; }
  done
  return 0
}
# Walks the import tables; a DLL found in none of the target's library folders
# is a Windows system DLL.
queue=("$DIST/pyradec.dll")
while [ ${#queue[@]} -gt 0 ]; do
  current=${queue[0]}
  queue=("${queue[@]:1}")
  for dll in $(imports "$current"); do
    [ -e "$DIST/$dll" ] && continue
    path=$(find_dll "$dll")
    [ -n "$path" ] || continue
    cp "$path" "$DIST/$dll"
    queue+=("$DIST/$dll")
  done
done
log "dist: $(cd "$DIST" && ls -- *.dll | tr '\n' ' ')"
