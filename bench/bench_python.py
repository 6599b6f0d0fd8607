#!/usr/bin/python3
"""Speed and memory of the Python package, each figure beside its anchor measured
in the same run.

The anchors: the library's own GetRoiSliceBgr (through ctypes: what the binding
costs), and openslide-python (Debian's python3-openslide) reading a pyramidal
JPEG TIFF that vips makes from the same source image with the same tile size
and quality. The source is a mirrored mosaic of the sample micrograph
(scripts/sample-micrograph.sh); the slide is made by `pyra make`.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [--size 8192] [--pyra build/pyra]

The files are cached in /var/tmp/pyradec-bench-python-<size>/ and reused.
"""

import argparse
import ctypes
import os
import random
import subprocess
import sys
import time

import numpy as np
from PIL import Image

import pyradec
from pyradec.deepzoom import DeepZoomGenerator

import openslide
import openslide.deepzoom

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
rows = []  # (figure, ours, anchor, unit, ratio, goal)


def report(figure, ours, anchor, unit, goal=None):
    ratio = ours / anchor if anchor else float("nan")
    met = "" if goal is None else ("met" if ratio >= goal else "NOT met")
    goal_text = "" if goal is None else f">= {goal:g}x"
    print(f"  {figure:<46} ours {ours:9.1f} {unit:<9} anchor {anchor:9.1f}  "
          f"ratio {ratio:5.2f} {goal_text} {met}", flush=True)
    rows.append((figure, ours, anchor, unit, ratio, goal_text, met))


def best_of(runs, setup, *fns):
    """The shortest of `runs` timings of each fn(), after an untimed setup(),
    taken in turns so that a busy spell of the (shared) machine weighs on ours
    and the anchor alike."""
    best = [float("inf")] * len(fns)
    for _ in range(runs):
        for i, fn in enumerate(fns):
            setup()
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def make_files(size, pyra, directory):
    os.makedirs(directory, exist_ok=True)
    source = os.path.join(directory, "mosaic.png")
    slide = os.path.join(directory, "mosaic.pyra")
    tiff = os.path.join(directory, "mosaic.tif")
    if not os.path.exists(source):
        sample = subprocess.run(["bash", os.path.join(ROOT, "scripts/sample-micrograph.sh")],
                                check=True, capture_output=True, text=True).stdout.strip()
        tile = np.asarray(Image.open(sample).convert("RGB"))
        # Mirrored at every other seam, so that the mosaic has no hard edges.
        pad_h, pad_w = size - tile.shape[0], size - tile.shape[1]
        mosaic = np.pad(tile, ((0, pad_h), (0, pad_w), (0, 0)), mode="symmetric")
        Image.fromarray(mosaic).save(source + ".tmp.png", compress_level=1)
        os.replace(source + ".tmp.png", source)
    if not os.path.exists(slide):
        subprocess.run([pyra, "make", source, slide + ".tmp", "--tile", "256", "--quality", "80"],
                       check=True, capture_output=True)
        os.replace(slide + ".tmp", slide)
    if not os.path.exists(tiff):
        subprocess.run(["vips", "tiffsave", source, tiff + ".tmp.tif", "--tile", "--pyramid",
                        "--compression", "jpeg", "--Q", "80", "--tile-width", "256",
                        "--tile-height", "256"], check=True)
        os.replace(tiff + ".tmp.tif", tiff)
    return slide, tiff


class Flat:
    """GetRoiSliceBgr of the library, through ctypes."""

    def __init__(self, library, path):
        lib = ctypes.CDLL(library)
        lib.VtOpenPyra.restype = ctypes.c_void_p
        lib.VtOpenPyra.argtypes = [ctypes.c_char_p]
        lib.VtClosePyra.argtypes = [ctypes.c_void_p]
        lib.GetRoiSliceBgr.restype = ctypes.c_void_p
        lib.GetRoiSliceBgr.argtypes = [ctypes.c_void_p] + [ctypes.c_int] * 5
        lib.Dispose.argtypes = [ctypes.c_void_p]
        self.lib = lib
        self.handle = lib.VtOpenPyra(path.encode())
        assert self.handle

    def region(self, x, y, w, h):
        block = self.lib.GetRoiSliceBgr(self.handle, 0, x, y, w, h)
        assert block
        self.lib.Dispose(block)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=8192, help="mosaic width and height")
    parser.add_argument("--pyra", default=os.path.join(ROOT, "build", "pyra"))
    parser.add_argument("--runs", type=int, default=3, help="timings per figure (best kept)")
    args = parser.parse_args()

    directory = f"/var/tmp/pyradec-bench-python-{args.size}"
    slide_path, tiff_path = make_files(args.size, args.pyra, directory)
    library = os.path.join(os.path.dirname(pyradec._pyradec.__file__), "..", "..", "libpyradec.so")
    if not os.path.exists(library):
        library = "libpyradec.so.1"
    print(f"pyradec {pyradec.__version__}, openslide-python {openslide.__version__} "
          f"(OpenSlide {openslide.__library_version__}); {os.cpu_count()} processors, "
          f"load {os.getloadavg()[0]:.1f}")
    print(f"slide {slide_path} ({os.path.getsize(slide_path) >> 20} MB), "
          f"TIFF {tiff_path} ({os.path.getsize(tiff_path) >> 20} MB)")
    shared = pyradec.PyraCache.shared()
    rng = random.Random(1)
    size = args.size

    # ---- memory over 20,000 random reads (first, while the process is small) ----
    print("memory: 20,000 random 256 x 256 reads at random levels (RSS growth, MB):")
    reads = [(rng.randrange(-100, size), rng.randrange(-100, size)) for _ in range(20000)]

    def grow(open_slide, warm_up=2000):
        """RSS growth over `warm_up` reads, then over the 20,000 reads, on one open slide."""
        with open_slide() as s:
            levels = s.level_count
            start = rss_mb()
            for i, xy in enumerate(reads[:warm_up]):
                s.read_region(xy, i % levels, (256, 256))
            warm = rss_mb()
            for i, xy in enumerate(reads):
                s.read_region(xy, i % levels, (256, 256))
            return warm - start, rss_mb() - warm, shared.size

    shared.clear()
    first, steady, held = grow(lambda: pyradec.PyraSlide(slide_path))
    ref_first, ref_growth, _ = grow(lambda: openslide.OpenSlide(tiff_path))
    print(f"  2,000 warm-up reads: ours {first:.1f} MB (the decoded-tile cache filling; it holds "
          f"{held / 2**20:.1f} MiB after), openslide-python {ref_first:.1f} MB")
    met = "met" if steady < 20 else "NOT met"
    print(f"  {'20,000 reads after that':<46} ours {steady:9.1f} MB        anchor {ref_growth:9.1f} MB "
          f"(openslide-python, same reads)  goal < 20 MB {met}")
    rows.append(("memory growth over 20,000 reads", steady, ref_growth, "MB", float("nan"), "< 20 MB", met))

    # Open once for the whole run: opening (and building a colour table) is not
    # what is measured here.
    ours = pyradec.PyraSlide(slide_path)
    ref = openslide.OpenSlide(tiff_path)
    flat = Flat(library, slide_path)

    def flush():
        """Evicts level-0 tiles from both caches by reading levels 1 and 2 (untimed):
        the caches stay full, as in a long-running process, and hold nothing timed."""
        for level in (1, 2):
            w, h = ours.level_dimensions[level]
            for y in range(0, h, 1024):
                for x in range(0, w, 1024):
                    ours.read_level_region(level, (x, y), (1024, 1024))
            w, h = ref.level_dimensions[level]
            ds = ref.level_downsamples[level]
            for y in range(0, h, 1024):
                for x in range(0, w, 1024):
                    ref.read_region((int(x * ds), int(y * ds)), level, (1024, 1024))

    # ---- fresh 512 x 512 level-0 regions ----
    print("fresh 512 x 512 level-0 regions (aligned cells, no tile in a cache):")
    cells = [(x, y) for x in range(0, size - 511, 512) for y in range(0, size - 511, 512)]
    rng.shuffle(cells)
    cells = cells[:96]
    mp = len(cells) * 512 * 512 / 1e6

    def ours_array():
        for xy in cells:
            ours.read_region(xy, 0, (512, 512), as_array=True)

    def ours_pil():
        for xy in cells:
            ours.read_region(xy, 0, (512, 512))

    def flat_regions():
        for x, y in cells:
            flat.region(x, y, 512, 512)

    def reference():
        for xy in cells:
            ref.read_region(xy, 0, (512, 512))

    t_flat, t_array, t_pil, t_ref = best_of(args.runs, flush, flat_regions, ours_array, ours_pil, reference)
    report("read_region(as_array) vs GetRoiSliceBgr", mp / t_array, mp / t_flat, "MP/s", 0.9)
    report("read_region (PIL RGBA) vs openslide-python", mp / t_pil, mp / t_ref, "MP/s", 3)

    # ---- 256 random 256 x 256 patches ----
    print("256 random 256 x 256 level-0 patches, no tile in a cache at the start:")
    patches = [(rng.randrange(0, size - 256), rng.randrange(0, size - 256)) for _ in range(256)]

    def batch(workers):
        return lambda: ours.read_regions(patches, 0, (256, 256), workers=workers)

    def reference_loop():
        for xy in patches:
            ref.read_region(xy, 0, (256, 256))

    t1, t2, t_loop = best_of(args.runs, flush, batch(1), batch(2), reference_loop)
    report("read_regions, 2 workers vs 1 worker", 256 / t2, 256 / t1, "patches/s", 1.8)
    report("read_regions (2 workers) vs openslide loop", 256 / t2, 256 / t_loop, "patches/s", 5)

    # ---- Deep Zoom tiles at the full-resolution level ----
    print("DeepZoomGenerator.get_tile at the full-resolution level (254 + 1 overlap):")
    dz = DeepZoomGenerator(ours)
    dz_ref = openslide.deepzoom.DeepZoomGenerator(ref)
    top = dz.level_count - 1
    cols, rows_ = dz.level_tiles[top]
    addresses = [(c, r) for c in range(cols) for r in range(rows_)]
    rng.shuffle(addresses)
    addresses = addresses[:150]

    def ours_tiles():
        for a in addresses:
            dz.get_tile(top, a)

    def reference_tiles():
        for a in addresses:
            dz_ref.get_tile(top, a)

    t_dz, t_dz_ref = best_of(args.runs, flush, ours_tiles, reference_tiles)
    report("get_tile vs openslide-python's generator", len(addresses) / t_dz,
           len(addresses) / t_dz_ref, "tiles/s", 3)
    ours.close()
    ref.close()

    print("\nsummary:")
    for figure, ours, anchor, unit, ratio, goal, met in rows:
        print(f"  {figure:<46} {ours:9.1f} {anchor:9.1f} {unit:<9} {ratio:5.2f} {goal:>8} {met}")


if __name__ == "__main__":
    sys.exit(main())
